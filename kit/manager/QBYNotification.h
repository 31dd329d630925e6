// One delivery notification as the programs of the suite hand it to each other: which
// notification on screen it is (identifier), which delivery it belongs to (uuid), its two lines
// of text, its category and the action it offers. A removal request carries only the uuid and
// no message. The dictionary form is what crosses processes; the archive form is the same six
// keys, each read back only when it holds a text.
//
// QBYNotifications keeps, in the shared defaults, the list of delivery uuids counted in the
// application badge.
//
// A value type; any thread. The badge operations read and write the shared defaults, which are
// safe from any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "platform/Value.h"

namespace qby {

class QBYUserDefaults;

// Category of a delivery change, and the action that offers to archive a delivered delivery.
inline constexpr const char* QBYNotificationCategoryUpdate = "update";
inline constexpr const char* QBYNotificationActionArchive = "archive";
// Shared-defaults key of the badge list.
inline constexpr const char* QBYBadgeUUIDsKey = "QBYBadgeUUIDs";

class QBYNotification {
 public:
  std::optional<std::string> identifier;
  std::optional<std::string> uuid;
  std::optional<std::string> title;
  std::optional<std::string> message;
  std::optional<std::string> category;
  std::optional<std::string> action;

  // A notification with only the uuid set (the removal request).
  static QBYNotification notificationWithUUID(const std::optional<std::string>& uuid);
  // Reads the six keys; a missing key, or one that is not a text, gives nothing.
  static QBYNotification notificationWithDictionary(const Dictionary& dictionary);
  // Nothing when the value is not a dictionary (the receiver ignores it).
  static std::optional<QBYNotification> notificationWithValue(const Value& value);

  // "identifier", "uuid", "title", "message", "category", "action", each only when set.
  Dictionary dictionary() const;

  // The archive form: the same keys as dictionary(). initWithCoder reads each key only when it
  // holds a text, so a damaged archive gives absent properties rather than wrong kinds.
  Dictionary encodeWithCoder() const { return dictionary(); }
  static QBYNotification initWithCoder(const Value& archive);
  static constexpr bool supportsSecureCoding() { return true; }

  bool operator==(const QBYNotification&) const = default;
};

// The badge list and whether notifications are posted at all.
class QBYNotifications {
 public:
  // The shared-defaults boolean "QBYBackgroundUpdates": notifications are posted only while
  // the background updater runs.
  static bool enabled(QBYUserDefaults* defaults = nullptr);
  // Appends the uuid unless it is there already; answers the list's length.
  static std::size_t addUUIDToBadge(const std::string& uuid, QBYUserDefaults* defaults = nullptr);
  // Removes every occurrence; answers the list's length, 0 (and nothing stored) without a list.
  static std::size_t removeUUIDFromBadge(const std::string& uuid,
                                         QBYUserDefaults* defaults = nullptr);
  static void removeAllBadgeUUIDs(QBYUserDefaults* defaults = nullptr);
};

}  // namespace qby
