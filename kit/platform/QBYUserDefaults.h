// User defaults: a dictionary of settings kept in one property-list file (XML, so a person can
// read and edit it; dates in it keep whole seconds).
//
// The shared defaults (sharedDefaults()) are the application group's suite in the shared
// container; every program of the suite reads and writes the same file. A program's own
// defaults (standardDefaults()) live in the private container, one file per program name.
//
// Writes are atomic (temporary file and rename) and serialised across processes by an
// exclusive lock on a lock file beside the plist: a write re-reads the file under the lock,
// applies its one change and writes the whole file back, so two processes changing different
// keys never lose each other's change. A read notices a file another process replaced (its
// inode, size or time changed) and loads it again, so a second process reading after a write
// sees the new value.
//
// Registered defaults answer keys the file does not hold; they are never written.
//
// A file that exists but does not hold a property-list dictionary is renamed to
// "<file>.corrupt-<UTC time>" (one log line) and the suite starts empty, so the next write
// does not silently replace settings somebody may still want back. A file that cannot be read
// at all (permissions) is left alone: reads answer registered values, writes fail and log.
//
// Any thread; an internal mutex guards the cached contents.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Value.h"

namespace qby {

inline constexpr const char* QBYUserDefaultsDidChangeNotification =
    "QBYUserDefaultsDidChangeNotification";
inline constexpr const char* QBYUserDefaultsKey = "QBYUserDefaultsKey";
inline constexpr const char* QBYUserDefaultsValue = "QBYUserDefaultsValue";

class QBYUserDefaults {
 public:
  // A suite kept in that file.
  explicit QBYUserDefaults(std::filesystem::path file);
  ~QBYUserDefaults();
  QBYUserDefaults(const QBYUserDefaults&) = delete;
  QBYUserDefaults& operator=(const QBYUserDefaults&) = delete;

  // The application group's suite, made once per process, at
  // <shared container>/<app group id>.plist (where the container was when first asked).
  static QBYUserDefaults& sharedDefaults();
  // This program's own suite, at <private container>/<program name>.plist.
  static QBYUserDefaults& standardDefaults();
  // The program name standardDefaults() uses; defaults to the executable's name. Set it
  // before the first use.
  static void setProgramName(std::string name);

  const std::filesystem::path& file() const { return file_; }

  void registerDefaults(const Dictionary& defaults);

  // The stored value, else the registered one, else null.
  Value objectForKey(std::string_view key) const;
  // Texts as they are, numbers as their text; nothing for other kinds.
  std::optional<std::string> stringForKey(std::string_view key) const;
  // 0 / false / 0.0 when missing or not a number (texts holding a number are read as one).
  std::int64_t integerForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  std::optional<Dictionary> dictionaryForKey(std::string_view key) const;
  std::optional<Array> arrayForKey(std::string_view key) const;

  // A null value removes the key. Answers false when the file could not be written (the
  // change is then not kept, and the failure is logged).
  bool setObject(const Value& value, std::string_view key);
  bool setBool(bool value, std::string_view key) { return setObject(Value(value), key); }
  bool setInteger(std::int64_t value, std::string_view key) { return setObject(Value(value), key); }
  bool setDouble(double value, std::string_view key) { return setObject(Value(value), key); }
  bool removeObjectForKey(std::string_view key) { return setObject(Value(), key); }

  // Everything stored in the file (registered defaults not included).
  Dictionary dictionaryRepresentation() const;

  // Forces the next read to load the file again.
  void synchronize();

  // --- Operations the whole system uses on defaults ---

  // The stored integer plus one, stored back and returned (missing counts as 0; a registered
  // value counts when nothing is stored). Done under the cross-process lock, so two processes
  // incrementing never lose a count. When the file cannot be written the failure is logged
  // and the count is not kept.
  std::int64_t incrementedIntegerForKey(std::string_view key);
  // The stored value when it is a date, otherwise nothing.
  std::optional<Date> dateOrNilForKey(std::string_view key) const;

  // Store (or remove) the value; when the flag is set, post the change notification with the
  // key and the value (nothing for a removal). A change that could not be written is logged
  // and not posted.
  void setValue(const Value& value, std::string_view key, bool postNotification);
  void setBool(bool value, std::string_view key, bool postNotification);
  void setInteger(std::int64_t value, std::string_view key, bool postNotification);
  void removeObjectForKey(std::string_view key, bool postNotification);

  // Posts "QBYUserDefaultsDidChangeNotification" on the default centre with this object as
  // sender and {QBYUserDefaultsKey: key, QBYUserDefaultsValue: value (when not null)}.
  void postNotificationForKey(std::string_view key, const Value& value);

 private:
  struct Impl;
  std::filesystem::path file_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qby
