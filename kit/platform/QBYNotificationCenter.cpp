#include "platform/QBYNotificationCenter.h"

#include <algorithm>
#include <utility>

namespace qby {

ObserverToken::~ObserverToken() {
  reset();
}

ObserverToken::ObserverToken(ObserverToken&& other) noexcept
    : center_(std::exchange(other.center_, nullptr)), id_(std::exchange(other.id_, 0)) {}

ObserverToken& ObserverToken::operator=(ObserverToken&& other) noexcept {
  if (this != &other) {
    reset();
    center_ = std::exchange(other.center_, nullptr);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

void ObserverToken::reset() {
  if (QBYNotificationCenter* center = std::exchange(center_, nullptr)) center->remove(id_);
  id_ = 0;
}

QBYNotificationCenter& QBYNotificationCenter::defaultCenter() {
  static QBYNotificationCenter center;
  return center;
}

ObserverToken QBYNotificationCenter::addObserver(std::optional<std::string> name,
                                                 const void* sender, Handler handler) {
  if (!handler) return {};
  std::lock_guard lock(mutex_);
  const std::uint64_t id = nextId_++;
  observers_.push_back(
      Observer{id, std::move(name), sender, std::make_shared<Entry>(std::move(handler))});
  return ObserverToken(this, id);
}

void QBYNotificationCenter::remove(std::uint64_t id) {
  std::shared_ptr<Entry> removed;
  {
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(observers_.begin(), observers_.end(),
                                 [id](const Observer& observer) { return observer.id == id; });
    if (it == observers_.end()) return;
    it->entry->removed = true;
    removed = std::move(it->entry);
    observers_.erase(it);
  }
  // The handler (and what it captured) may be released here, outside the lock, unless a
  // delivery still holds it.
}

void QBYNotificationCenter::post(const std::string& name, const void* sender, Dictionary userInfo) {
  post(Notification{name, sender, std::move(userInfo)});
}

void QBYNotificationCenter::post(const Notification& notification) {
  std::vector<std::shared_ptr<Entry>> matching;
  {
    std::lock_guard lock(mutex_);
    for (const Observer& observer : observers_) {
      if (observer.name && *observer.name != notification.name) continue;
      if (observer.sender && observer.sender != notification.sender) continue;
      matching.push_back(observer.entry);
    }
  }
  for (const auto& entry : matching) {
    if (!entry->removed) entry->handler(notification);
  }
}

}  // namespace qby
