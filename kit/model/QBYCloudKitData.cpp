#include "model/QBYCloudKitData.h"

#include "model/QBYSyncObject.h"

namespace qby {

std::shared_ptr<QBYSyncObject> QBYCloudKitData::object() const {
  return toOneAs<QBYSyncObject>(CloudKitDataField::object);
}

void QBYCloudKitData::setObject(const std::shared_ptr<QBYSyncObject>& object) {
  setToOneAt(CloudKitDataField::object, object);
}

}  // namespace qby
