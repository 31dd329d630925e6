#include "platform/QBYUserDefaults.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>
#include <utility>

#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/QBYError.h"
#include "platform/QBYNotificationCenter.h"

namespace qby {

namespace {

namespace fs = std::filesystem;

// What tells one version of the file from the next. Every write replaces the file by a
// rename, so the inode changes; size and times catch editors that write in place.
struct FileStamp {
  bool exists = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modifiedNanoseconds = 0;
  std::int64_t changedNanoseconds = 0;

  static FileStamp of(const struct stat& info) {
    FileStamp stamp;
    stamp.exists = true;
    stamp.device = info.st_dev;
    stamp.inode = info.st_ino;
    stamp.size = info.st_size;
    stamp.modifiedNanoseconds =
        static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    stamp.changedNanoseconds =
        static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    return stamp;
  }
  bool operator==(const FileStamp&) const = default;
};

// The cross-process lock of a defaults file lives on "<file>.lock".
std::optional<FileLock> lockDefaults(const fs::path& file, std::string* error = nullptr) {
  return FileSystem::current().lock(fs::path(file.string() + ".lock"), error);
}

// Reads an open file to its end.
std::optional<std::string> readAll(int fd) {
  std::string contents;
  char buffer[16384];
  while (true) {
    const ssize_t count = ::read(fd, buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (count == 0) return contents;
    contents.append(buffer, static_cast<std::size_t>(count));
  }
}

// A free name "<file>.corrupt-<UTC time>" for keeping a damaged file.
fs::path corruptFileName(const fs::path& file) {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  const std::string base = file.string() + ".corrupt-" + stamp;
  fs::path candidate = base;
  struct stat info {};
  for (int n = 2; ::lstat(candidate.c_str(), &info) == 0; ++n) {
    candidate = base + "-" + std::to_string(n);
  }
  return candidate;
}

std::string_view skipSpaces(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\n' ||
                           text.front() == '\r')) {
    text.remove_prefix(1);
  }
  return text;
}

// Texts read as numbers the way the platform's text-to-number conversions do: leading
// white space, an optional sign, then as many digits as there are; nothing readable is 0.
std::int64_t integerFromText(std::string_view text) {
  text = skipSpaces(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::int64_t result = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result);
  if (error == std::errc::result_out_of_range) {
    return !text.empty() && text.front() == '-' ? std::numeric_limits<std::int64_t>::min()
                                                : std::numeric_limits<std::int64_t>::max();
  }
  return error == std::errc() ? result : 0;
}

double doubleFromText(std::string_view text) {
  text = skipSpaces(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  double result = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), result);
  return error == std::errc() ? result : 0.0;
}

// True for "YES", "true", "1"…: the first letter after white space, a sign and leading zeros
// is one of Y, y, T, t or a digit 1 to 9.
bool boolFromText(std::string_view text) {
  text = skipSpaces(text);
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
  while (!text.empty() && text.front() == '0') text.remove_prefix(1);
  if (text.empty()) return false;
  const char c = text.front();
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

std::int64_t integerFromValue(const Value& value) {
  if (const std::string* text = value.stringPtr()) return integerFromText(*text);
  return value.asInteger().value_or(0);
}

std::mutex& programNameMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& programNameStorage() {
  static std::string name;
  return name;
}

std::string defaultProgramName() {
  // The full executable name; /proc/self/comm would be cut to 15 bytes.
  if (program_invocation_short_name && *program_invocation_short_name) {
    return program_invocation_short_name;
  }
  if (auto comm = Paths::readFile("/proc/self/comm")) {
    while (!comm->empty() && (comm->back() == '\n' || comm->back() == '\r')) comm->pop_back();
    if (!comm->empty()) return *comm;
  }
  return "porvane";
}

}  // namespace

struct QBYUserDefaults::Impl {
  explicit Impl(const fs::path& file) : file(file) {}

  const fs::path& file;
  mutable std::mutex mutex;
  Dictionary registered;
  // The file's contents as last read, and which version of the file that was. No stamp means
  // "read again before the next answer".
  mutable Dictionary contents;
  mutable std::optional<FileStamp> stamp;
  // The file exists but could not be read or parsed (and could not be moved aside). Writes
  // are refused then, so one changed key never replaces settings we failed to see.
  mutable bool unusable = false;

  // Brings `contents` up to date with the file. With `force` the file is read even when its
  // stamp did not change. `haveLock` tells whether the caller holds the cross-process lock,
  // which moving a damaged file aside needs. Call with `mutex` held.
  void load(bool force, bool haveLock) const {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      if (error == ENOENT) {
        contents.clear();
        stamp = FileStamp{};
        unusable = false;
        return;
      }
      struct stat info {};
      const FileStamp current =
          ::stat(file.c_str(), &info) == 0 ? FileStamp::of(info) : FileStamp{};
      if (!force && stamp == current && unusable) return;  // logged once already
      log("Error reading user defaults %@: %@", file.string(), strerror(error));
      contents.clear();
      stamp = current;
      unusable = true;
      return;
    }

    struct stat info {};
    if (::fstat(fd, &info) != 0) {
      ::close(fd);
      stamp.reset();
      return;
    }
    const FileStamp current = FileStamp::of(info);
    if (!force && stamp == current) {
      ::close(fd);
      return;
    }

    const std::optional<std::string> bytes = readAll(fd);
    const int readError = errno;
    ::close(fd);
    if (!bytes) {
      if (!(stamp == current && unusable)) {
        log("Error reading user defaults %@: %@", file.string(), strerror(readError));
      }
      contents.clear();
      stamp = current;
      unusable = true;
      return;
    }
    // An empty file holds no settings; nothing is lost by reading it as none.
    if (bytes->empty()) {
      contents.clear();
      stamp = current;
      unusable = false;
      return;
    }

    QBYError error;
    std::optional<Value> parsed = Value::fromPlist(*bytes, &error);
    if (parsed && parsed->isDictionary()) {
      contents = std::move(*parsed->dictionaryPtr());
      stamp = current;
      unusable = false;
      return;
    }
    const std::string reason =
        parsed ? std::string("not a dictionary") : error.localizedDescription;

    if (!haveLock) {
      // Moving the file aside must not race a writer that is replacing it right now: look
      // again under the lock, where the file cannot change.
      if (auto lock = lockDefaults(file)) {
        load(true, true);
        return;
      }
    }
    moveAside(current, reason);
  }

  // Keeps a damaged file under another name and starts with no settings, so the next write
  // does not replace what a person might still recover by hand.
  void moveAside(const FileStamp& current, const std::string& reason) const {
    contents.clear();
    const fs::path aside = corruptFileName(file);
    std::string renameError;
    if (FileSystem::current().rename(file, aside, &renameError)) {
      log("Error reading user defaults %@ (moved it to %@): %@", file.string(), aside.string(),
          reason);
      stamp = FileStamp{};
      unusable = false;
    } else {
      log("Error reading user defaults %@ (cannot move it aside: %@): %@", file.string(),
          renameError, reason);
      stamp = current;
      unusable = true;
    }
  }

  void refresh() const {
    if (!stamp) {
      load(true, false);
      return;
    }
    load(false, false);
  }

  Value lookup(std::string_view key) const {
    if (const Value* stored = contents.find(key)) return *stored;
    if (const Value* fallback = registered.find(key)) return *fallback;
    return Value();
  }

  // Applies one change to the file's current contents and writes them back, all under the
  // cross-process lock. Answers false (and logs) when the change could not be kept.
  // The change answers whether it changed anything; nothing is written when it did not.
  bool update(const std::function<bool(Dictionary&)>& change) {
    std::lock_guard guard(mutex);
    if (!Paths::ensureDirectory(file.parent_path())) {
      log("Error writing user defaults %@: %@", file.string(), strerror(errno));
      return false;
    }
    std::string lockError;
    const auto lock = lockDefaults(file, &lockError);
    if (!lock) {
      log("Error writing user defaults %@: cannot lock: %@", file.string(), lockError);
      return false;
    }
    // Another process may have written since we last looked; its changes must survive ours.
    load(true, true);
    if (unusable) {
      log("Error writing user defaults %@: %@", file.string(),
          "the existing file cannot be read, so it is left as it is");
      return false;
    }

    Dictionary updated = contents;
    if (!change(updated)) return true;

    QBYError error;
    const std::optional<std::string> bytes =
        Value(updated).toPlist(Value::PlistFormat::XML, &error);
    if (!bytes) {
      log("Error writing user defaults %@: %@", file.string(), error.localizedDescription);
      return false;
    }
    std::string writeError;
    if (!Paths::writeFileAtomically(file, *bytes, &writeError)) {
      log("Error writing user defaults %@: %@", file.string(), writeError);
      return false;
    }
    contents = std::move(updated);
    // Nobody else writes while we hold the lock, so this is the version we just wrote.
    struct stat info {};
    if (::stat(file.c_str(), &info) == 0) {
      stamp = FileStamp::of(info);
    } else {
      stamp.reset();
    }
    return true;
  }
};

QBYUserDefaults::QBYUserDefaults(std::filesystem::path file)
    : file_(std::move(file)), impl_(std::make_unique<Impl>(file_)) {}

QBYUserDefaults::~QBYUserDefaults() = default;

QBYUserDefaults& QBYUserDefaults::sharedDefaults() {
  static QBYUserDefaults defaults(Paths::sharedContainer() /
                                  (std::string(Paths::kAppGroupID) + ".plist"));
  return defaults;
}

QBYUserDefaults& QBYUserDefaults::standardDefaults() {
  static QBYUserDefaults defaults = [] {
    std::string name;
    {
      std::lock_guard lock(programNameMutex());
      name = programNameStorage();
    }
    if (name.empty()) name = defaultProgramName();
    return QBYUserDefaults(Paths::privateContainer() / (name + ".plist"));
  }();
  return defaults;
}

void QBYUserDefaults::setProgramName(std::string name) {
  std::lock_guard lock(programNameMutex());
  programNameStorage() = std::move(name);
}

void QBYUserDefaults::registerDefaults(const Dictionary& defaults) {
  std::lock_guard lock(impl_->mutex);
  for (const auto& [key, value] : defaults) {
    if (value.isNull()) {
      impl_->registered.erase(key);
    } else {
      impl_->registered.set(key, value);
    }
  }
}

Value QBYUserDefaults::objectForKey(std::string_view key) const {
  std::lock_guard lock(impl_->mutex);
  impl_->refresh();
  return impl_->lookup(key);
}

std::optional<std::string> QBYUserDefaults::stringForKey(std::string_view key) const {
  const Value value = objectForKey(key);
  if (value.isString()) return value.asString();
  // Numbers answer their text, as the platform's defaults do.
  if (value.isNumber()) return value.description();
  return std::nullopt;
}

std::int64_t QBYUserDefaults::integerForKey(std::string_view key) const {
  return integerFromValue(objectForKey(key));
}

bool QBYUserDefaults::boolForKey(std::string_view key) const {
  const Value value = objectForKey(key);
  if (const std::string* text = value.stringPtr()) return boolFromText(*text);
  if (value.isReal()) return value.asReal().value_or(0) != 0;
  return value.asInteger().value_or(0) != 0;
}

double QBYUserDefaults::doubleForKey(std::string_view key) const {
  const Value value = objectForKey(key);
  if (const std::string* text = value.stringPtr()) return doubleFromText(*text);
  return value.asReal().value_or(0);
}

std::optional<Dictionary> QBYUserDefaults::dictionaryForKey(std::string_view key) const {
  const Value value = objectForKey(key);
  if (const Dictionary* dictionary = value.dictionaryPtr()) return *dictionary;
  return std::nullopt;
}

std::optional<Array> QBYUserDefaults::arrayForKey(std::string_view key) const {
  const Value value = objectForKey(key);
  if (const Array* array = value.arrayPtr()) return *array;
  return std::nullopt;
}

bool QBYUserDefaults::setObject(const Value& value, std::string_view key) {
  return impl_->update([&](Dictionary& contents) {
    if (value.isNull()) return contents.erase(key);
    contents.set(key, value);
    return true;
  });
}

Dictionary QBYUserDefaults::dictionaryRepresentation() const {
  std::lock_guard lock(impl_->mutex);
  impl_->refresh();
  return impl_->contents;
}

void QBYUserDefaults::synchronize() {
  std::lock_guard lock(impl_->mutex);
  impl_->stamp.reset();
}

std::int64_t QBYUserDefaults::incrementedIntegerForKey(std::string_view key) {
  std::int64_t result = 0;
  impl_->update([&](Dictionary& contents) {
    const Value* stored = contents.find(key);
    const Value current = stored ? *stored : impl_->lookup(key);
    result = integerFromValue(current) + 1;
    contents.set(key, Value(result));
    return true;
  });
  return result;
}

std::optional<Date> QBYUserDefaults::dateOrNilForKey(std::string_view key) const {
  const Value value = objectForKey(key);
  if (value.isDate()) return value.asDate();
  return std::nullopt;
}

void QBYUserDefaults::setValue(const Value& value, std::string_view key, bool postNotification) {
  // A change that could not be kept is not announced: observers would act on a value the
  // defaults do not hold.
  if (setObject(value, key) && postNotification) postNotificationForKey(key, value);
}

void QBYUserDefaults::setBool(bool value, std::string_view key, bool postNotification) {
  setValue(Value(value), key, postNotification);
}

void QBYUserDefaults::setInteger(std::int64_t value, std::string_view key, bool postNotification) {
  setValue(Value(value), key, postNotification);
}

void QBYUserDefaults::removeObjectForKey(std::string_view key, bool postNotification) {
  setValue(Value(), key, postNotification);
}

void QBYUserDefaults::postNotificationForKey(std::string_view key, const Value& value) {
  Dictionary userInfo{{QBYUserDefaultsKey, Value(key)}};
  if (!value.isNull()) userInfo.set(QBYUserDefaultsValue, value);
  QBYNotificationCenter::defaultCenter().post(QBYUserDefaultsDidChangeNotification, this,
                                              std::move(userInfo));
}

}  // namespace qby
