#include "manager/QBYNotification.h"

#include <algorithm>
#include <utility>

#include "platform/QBYUserDefaults.h"
#include "store/QBYDataStore.h"

namespace qby {

namespace {

constexpr const char* kIdentifier = "identifier";
constexpr const char* kUUID = "uuid";
constexpr const char* kTitle = "title";
constexpr const char* kMessage = "message";
constexpr const char* kCategory = "category";
constexpr const char* kAction = "action";

constexpr const char* kBackgroundUpdatesKey = "QBYBackgroundUpdates";

void addIfSet(Dictionary& dictionary, const char* key, const std::optional<std::string>& value) {
  if (value) dictionary.set(key, *value);
}

QBYUserDefaults& defaultsOr(QBYUserDefaults* defaults) {
  return defaults ? *defaults : QBYDataStore::sharedDefaults();
}

}  // namespace

QBYNotification QBYNotification::notificationWithUUID(const std::optional<std::string>& uuid) {
  QBYNotification notification;
  notification.uuid = uuid;
  return notification;
}

QBYNotification QBYNotification::notificationWithDictionary(const Dictionary& dictionary) {
  QBYNotification notification;
  notification.identifier = dictionary[kIdentifier].asString();
  notification.uuid = dictionary[kUUID].asString();
  notification.title = dictionary[kTitle].asString();
  notification.message = dictionary[kMessage].asString();
  notification.category = dictionary[kCategory].asString();
  notification.action = dictionary[kAction].asString();
  return notification;
}

std::optional<QBYNotification> QBYNotification::notificationWithValue(const Value& value) {
  const auto* dictionary = value.dictionaryPtr();
  if (!dictionary) return std::nullopt;
  return notificationWithDictionary(*dictionary);
}

Dictionary QBYNotification::dictionary() const {
  Dictionary result;
  addIfSet(result, kIdentifier, identifier);
  addIfSet(result, kUUID, uuid);
  addIfSet(result, kTitle, title);
  addIfSet(result, kMessage, message);
  addIfSet(result, kCategory, category);
  addIfSet(result, kAction, action);
  return result;
}

QBYNotification QBYNotification::initWithCoder(const Value& archive) {
  return notificationWithValue(archive).value_or(QBYNotification{});
}

bool QBYNotifications::enabled(QBYUserDefaults* defaults) {
  return defaultsOr(defaults).boolForKey(kBackgroundUpdatesKey);
}

std::size_t QBYNotifications::addUUIDToBadge(const std::string& uuid, QBYUserDefaults* defaults) {
  auto& store = defaultsOr(defaults);
  Array uuids = store.arrayForKey(QBYBadgeUUIDsKey).value_or(Array{});
  const Value entry(uuid);
  if (std::find(uuids.begin(), uuids.end(), entry) == uuids.end()) {
    uuids.push_back(entry);
  }
  const std::size_t count = uuids.size();
  store.setObject(Value(std::move(uuids)), QBYBadgeUUIDsKey);
  return count;
}

std::size_t QBYNotifications::removeUUIDFromBadge(const std::string& uuid,
                                                  QBYUserDefaults* defaults) {
  auto& store = defaultsOr(defaults);
  auto uuids = store.arrayForKey(QBYBadgeUUIDsKey);
  if (!uuids) return 0;
  const Value entry(uuid);
  std::erase(*uuids, entry);
  const std::size_t count = uuids->size();
  store.setObject(Value(std::move(*uuids)), QBYBadgeUUIDsKey);
  return count;
}

void QBYNotifications::removeAllBadgeUUIDs(QBYUserDefaults* defaults) {
  defaultsOr(defaults).removeObjectForKey(QBYBadgeUUIDsKey);
}

}  // namespace qby
