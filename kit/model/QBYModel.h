// The object model of the delivery store: eleven entities, their attributes and
// relationships. The attribute and relationship enums give each field's index in its entity
// description; record classes use them for their typed accessors.
#pragma once

#include <memory>

#include "store/core/QBYEntityDescription.h"

namespace qby {

// The schema version this build writes. Raise it together with a migration step in
// QBYPersistentStore whenever an entity changes.
inline constexpr int QBYModelVersion = 2;

// The model, made once.
std::shared_ptr<const QBYManagedObjectModel> QBYPorvaneModel();

inline constexpr const char* QBYSyncEntityName = "Delivery";

namespace DeliveryField {
// QBYSyncObject's fields come first, then Delivery's own.
enum Attribute : int {
  uuid,
  archived,
  modified,
  cloudKitTag,
  siteChangedDate,
  date,
  extra,
  from,
  removed,
  historyTitle,
  manualSortIndex,
  statusChangedDate,
  statusChangedOrModifiedDate,
  lastErrorDate,
  message,
  name,
  no,
  password,
  selected,
  tap,
  updatedTime,
  nextUpdate,
  backgroundUpdate,
  updating,
  url,
  mobileURL,
  deliveryDateSortIndex,
  serviceUpdateVersion,
  itemCacheJSON,
  attributeCount
};
enum Relationship : int { cloudKitData, details, html, service, searchText, relationshipCount };
}  // namespace DeliveryField

namespace DetailField {
enum Attribute : int {
  index,
  itemName,
  shippedText,
  shippedDateString,
  shippedExtra,
  shippedBold,
  deliveredText,
  deliveredDateString,
  deliveredExtra,
  deliveredBold,
  statusDateString,
  dateString,
  location,
  route,
  icon,
  url,
  attributeCount
};
enum Relationship : int { delivery, relationshipCount };
}  // namespace DetailField

namespace ServiceField {
enum Attribute : int {
  defaultExtra,
  favorite,
  from,
  keywords,
  name,
  region,
  shortName,
  sort,
  useCount,
  backgroundColor,
  iconAccentColor,
  iconColor,
  spinnerColor,
  smallTextColor,
  largeTextColor,
  attributeCount
};
enum Relationship : int { deliveries, settings, relationshipCount };
}  // namespace ServiceField

namespace SettingField {
enum Attribute : int { inputType, type, name, required, attributeCount };
enum Relationship : int { service, relationshipCount };
}  // namespace SettingField

namespace LocationField {
enum Attribute : int {
  name,
  region,
  moved,
  latitude,
  longitude,
  radius,
  date,
  errorMessage,
  attributeCount
};
}  // namespace LocationField

namespace HTMLField {
enum Attribute : int { lastHash, html, attributeCount };
enum Relationship : int { delivery, relationshipCount };
}  // namespace HTMLField

namespace DeliveryTextField {
// foldedText is the case- and diacritic-folded copy of text that word search matches against.
enum Attribute : int { text, foldedText, attributeCount };
enum Relationship : int { delivery, relationshipCount };
}  // namespace DeliveryTextField

namespace QueueField {
enum Attribute : int { cmd, date, query, uuid, attributeCount };
}  // namespace QueueField

namespace CloudKitDataField {
enum Attribute : int { data, attributeCount };
enum Relationship : int { object, relationshipCount };
}  // namespace CloudKitDataField

namespace HelpSearchItemField {
enum Attribute : int { url, title, text, attributeCount };
}  // namespace HelpSearchItemField

}  // namespace qby
