#include "model/QBYSyncObject.h"

#include "model/ModelText.h"
#include "model/QBYCloudKitData.h"
#include "model/QBYDeliveryKeys.h"
#include "store/core/QBYManagedObjectContext.h"

namespace qby {

static_assert(DeliveryField::uuid == 0 && DeliveryField::archived == 1 &&
                  DeliveryField::modified == 2 && DeliveryField::cloudKitTag == 3 &&
                  DeliveryField::cloudKitData == 0,
              "synced entities list the synced fields first");

std::optional<std::string> QBYSyncObject::uuid() const {
  return stringAt(kUUID);
}
void QBYSyncObject::setUuid(std::optional<std::string> uuid) {
  setStringAt(kUUID, std::move(uuid));
}
bool QBYSyncObject::archived() const {
  return boolAt(kArchived);
}
void QBYSyncObject::setArchived(bool archived) {
  setBoolAt(kArchived, archived);
}
double QBYSyncObject::modified() const {
  return doubleAt(kModified);
}
void QBYSyncObject::setModified(double modified) {
  setDoubleAt(kModified, modified);
}
std::optional<std::string> QBYSyncObject::cloudKitTag() const {
  return stringAt(kCloudKitTag);
}
void QBYSyncObject::setCloudKitTag(std::optional<std::string> tag) {
  setStringAt(kCloudKitTag, std::move(tag));
}
std::shared_ptr<QBYCloudKitData> QBYSyncObject::cloudKitData() const {
  return toOneAs<QBYCloudKitData>(kCloudKitData);
}
void QBYSyncObject::setCloudKitData(const std::shared_ptr<QBYCloudKitData>& data) {
  setToOneAt(kCloudKitData, data);
}

void QBYSyncObject::addIfSet(Dictionary& dictionary, int attribute) const {
  const Value& value = primitiveValue(attribute);
  if (!value.isNull()) dictionary.set(entity().attributes[attribute].name, value);
}

Dictionary QBYSyncObject::attributes() const {
  Dictionary result;
  addIfSet(result, kUUID);
  addIfSet(result, kArchived);
  addIfSet(result, kModified);
  return result;
}

Dictionary QBYSyncObject::attributesToSync() const {
  return attributes();
}

std::string QBYSyncObject::queryString() const {
  return "&uuid=" + modeltext::queryValue(uuid());
}

bool QBYSyncObject::modifiedSince(const std::optional<Date>& date) const {
  if (!date) return false;
  const double since = date->timeIntervalSince1970();
  if (!(since >= 0.1)) return false;
  return hasValueAt(kModified) && modified() > since;
}

bool QBYSyncObject::matchesCloudKitTag(const std::optional<std::string>& tag) const {
  if (!tag) return false;
  return modeltext::sameText(cloudKitTag(), tag);
}

bool QBYSyncObject::shouldIgnoreUpdateWithCloudKitTag(
    const std::optional<std::string>& tag, const std::optional<Date>& modifiedDate) const {
  return matchesCloudKitTag(tag) || modifiedSince(modifiedDate);
}

void QBYSyncObject::updateCloudKitData(const std::optional<Data>& data,
                                       const std::optional<std::string>& tag, bool allowDelete,
                                       QBYManagedObjectContext* context) {
  setCloudKitTag(tag);
  auto record = cloudKitData();
  if (data) {
    if (!record) {
      if (!context) context = managedObjectContext();
      if (!context) return;
      record = context->insert<QBYCloudKitData>("CloudKitData");
      if (!record) return;
      setCloudKitData(record);
    }
    record->setData(*data);
  } else if (allowDelete && record) {
    record->setData(std::nullopt);
  }
}

}  // namespace qby
