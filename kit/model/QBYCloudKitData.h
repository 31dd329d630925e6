// The cloud database's system fields of one synced record, archived as bytes, so that the
// next save to the cloud continues from the record's last known server state.
//
// Threads: used only on the queue of the context that holds it.
#pragma once

#include <memory>
#include <optional>

#include "model/QBYModel.h"
#include "store/core/QBYManagedObject.h"

namespace qby {

class QBYSyncObject;

class QBYCloudKitData : public QBYManagedObject {
 public:
  std::optional<Data> data() const { return dataAt(CloudKitDataField::data); }
  void setData(std::optional<Data> data) { setDataAt(CloudKitDataField::data, std::move(data)); }

  std::shared_ptr<QBYSyncObject> object() const;
  void setObject(const std::shared_ptr<QBYSyncObject>& object);
};

}  // namespace qby
