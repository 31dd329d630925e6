// The common part of every record that syncs between devices: its identity (uuid), the
// archived flag, the local change time and the cloud database's change tag and system fields.
// Delivery is the one record type built on it.
//
// Threads: like every record, used only on the queue of the context that holds it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "model/QBYModel.h"
#include "platform/Value.h"
#include "store/core/QBYManagedObject.h"

namespace qby {

class QBYCloudKitData;
class QBYManagedObjectContext;

class QBYSyncObject : public QBYManagedObject {
 public:
  std::optional<std::string> uuid() const;
  void setUuid(std::optional<std::string> uuid);
  bool archived() const;
  void setArchived(bool archived);
  // Seconds since 1970 of the user's last change to the settings; 0 when never.
  double modified() const;
  void setModified(double modified);
  std::optional<std::string> cloudKitTag() const;
  void setCloudKitTag(std::optional<std::string> tag);
  std::shared_ptr<QBYCloudKitData> cloudKitData() const;
  void setCloudKitData(const std::shared_ptr<QBYCloudKitData>& data);

  // "uuid", "archived", "modified", each only when set.
  virtual Dictionary attributes() const;
  // What sync sends; subclasses add their own fields.
  virtual Dictionary attributesToSync() const;
  // "&uuid=…" with the uuid encoded for a query.
  virtual std::string queryString() const;

  // True when the record was changed locally after the given moment (which must be given
  // and at least 0.1 s after 1970).
  bool modifiedSince(const std::optional<Date>& date) const;
  // True when the record already carries this cloud change tag; never for no tag.
  bool matchesCloudKitTag(const std::optional<std::string>& tag) const;
  // An incoming cloud record is ignored when this record carries its tag already, or was
  // changed here after the incoming change.
  bool shouldIgnoreUpdateWithCloudKitTag(const std::optional<std::string>& tag,
                                         const std::optional<Date>& modifiedDate) const;
  // Takes over the tag (also an absent one) and the cloud system fields. Without data the
  // stored fields are cleared only when allowDelete is set; the CloudKitData record itself is
  // kept. A missing CloudKitData record is inserted into the context.
  void updateCloudKitData(const std::optional<Data>& data, const std::optional<std::string>& tag,
                          bool allowDelete, QBYManagedObjectContext* context);

 protected:
  // The fields every synced entity lists first, in this order.
  static constexpr int kUUID = DeliveryField::uuid;
  static constexpr int kArchived = DeliveryField::archived;
  static constexpr int kModified = DeliveryField::modified;
  static constexpr int kCloudKitTag = DeliveryField::cloudKitTag;
  static constexpr int kCloudKitData = DeliveryField::cloudKitData;

  // Copies the attribute into the dictionary under its own name when it is set.
  void addIfSet(Dictionary& dictionary, int attribute) const;
};

}  // namespace qby
