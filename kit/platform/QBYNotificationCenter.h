// The in-process notification centre: named notifications with a sender and user
// information, delivered synchronously on the posting thread to every matching observer.
//
// Any thread may add, remove and post. Observers are called without the centre's lock held,
// so an observer may add or remove observers or post again. Tokens of a centre must not
// outlive it (the default centre lives as long as the process).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace qby {

struct Notification {
  std::string name;
  const void* sender = nullptr;
  Dictionary userInfo;
};

class QBYNotificationCenter;

// Removes its observer when destroyed (or on reset()). Move-only.
class ObserverToken {
 public:
  ObserverToken() = default;
  ~ObserverToken();
  ObserverToken(ObserverToken&& other) noexcept;
  ObserverToken& operator=(ObserverToken&& other) noexcept;
  ObserverToken(const ObserverToken&) = delete;
  ObserverToken& operator=(const ObserverToken&) = delete;

  void reset();
  explicit operator bool() const { return center_ != nullptr; }

 private:
  friend class QBYNotificationCenter;
  ObserverToken(QBYNotificationCenter* center, std::uint64_t id) : center_(center), id_(id) {}
  QBYNotificationCenter* center_ = nullptr;
  std::uint64_t id_ = 0;
};

class QBYNotificationCenter {
 public:
  using Handler = std::function<void(const Notification&)>;

  QBYNotificationCenter() = default;
  QBYNotificationCenter(const QBYNotificationCenter&) = delete;
  QBYNotificationCenter& operator=(const QBYNotificationCenter&) = delete;

  static QBYNotificationCenter& defaultCenter();

  // Observes notifications of that name (every name when absent) from that sender (every
  // sender when null). An observer added while a notification is delivered receives the
  // next post, not this one. A removed observer is not called again, also not by a delivery
  // already under way (its owner may be gone); a call running on another thread at that
  // moment is not waited for.
  [[nodiscard]] ObserverToken addObserver(std::optional<std::string> name, const void* sender,
                                          Handler handler);
  void removeObserver(ObserverToken& token) { token.reset(); }

  // Calls each matching observer on the calling thread, in the order they were added.
  void post(const std::string& name, const void* sender = nullptr, Dictionary userInfo = {});
  void post(const Notification& notification);

 private:
  friend class ObserverToken;
  void remove(std::uint64_t id);

  // Shared with deliveries under way, which check `removed` before each call.
  struct Entry {
    explicit Entry(Handler h) : handler(std::move(h)) {}
    Handler handler;
    std::atomic<bool> removed{false};
  };
  struct Observer {
    std::uint64_t id;
    std::optional<std::string> name;
    const void* sender;
    std::shared_ptr<Entry> entry;
  };
  mutable std::mutex mutex_;
  std::vector<Observer> observers_;
  std::uint64_t nextId_ = 1;
};

}  // namespace qby
