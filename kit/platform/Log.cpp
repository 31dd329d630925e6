#include "platform/Log.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace qby {
namespace {

struct Observers {
  std::mutex mutex;
  std::vector<std::pair<int, std::shared_ptr<std::function<void(std::string_view)>>>> list;
  int nextId = 1;
};

Observers& observers() {
  static Observers instance;
  return instance;
}

std::atomic<bool>& consoleEnabled() {
  static std::atomic<bool> enabled{true};
  return enabled;
}

// One write() per line: the kernel keeps a single write to a file or pipe of this size whole,
// so lines of several threads or processes sharing the log file never mix.
void writeLine(const std::string& line) {
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace

void logLine(std::string_view line) {
  std::string text(line);
  text.push_back('\n');
  if (consoleEnabled().load(std::memory_order_relaxed)) writeLine(text);

  std::vector<std::shared_ptr<std::function<void(std::string_view)>>> callbacks;
  {
    auto& o = observers();
    std::lock_guard lock(o.mutex);
    for (const auto& [id, callback] : o.list) callbacks.push_back(callback);
  }
  for (const auto& callback : callbacks) (*callback)(line);
}

void setConsoleLogEnabled(bool enabled) {
  consoleEnabled().store(enabled);
}

bool consoleLogEnabled() {
  return consoleEnabled().load();
}

LogObserver::LogObserver(std::function<void(std::string_view line)> callback) {
  auto& o = observers();
  std::lock_guard lock(o.mutex);
  id_ = o.nextId++;
  o.list.emplace_back(id_,
                      std::make_shared<std::function<void(std::string_view)>>(std::move(callback)));
}

LogObserver::~LogObserver() {
  auto& o = observers();
  std::lock_guard lock(o.mutex);
  std::erase_if(o.list, [this](const auto& entry) { return entry.first == id_; });
}

}  // namespace qby
