// The keys of a delivery's dictionary forms (settings, sync attributes, watch data) and of a
// location's. Every part that builds or reads such a dictionary uses these names, so the
// forms stay the same between the programs of the suite and across devices.
#pragma once

namespace qby {

inline constexpr const char* QBYDeliveryUUID = "uuid";
inline constexpr const char* QBYDeliveryName = "name";
inline constexpr const char* QBYDeliveryNo = "no";
inline constexpr const char* QBYDeliveryFrom = "from";
inline constexpr const char* QBYDeliveryExtra = "extra";
inline constexpr const char* QBYDeliveryDate = "date";
inline constexpr const char* QBYDeliveryModified = "modified";
inline constexpr const char* QBYDeliveryArchived = "archived";
inline constexpr const char* QBYDeliveryRemoved = "removed";
inline constexpr const char* QBYDeliverySelected = "selected";
inline constexpr const char* QBYDeliveryChangedPassword = "changedPassword";
inline constexpr const char* QBYDeliveryCloudKitTag = "cloudKitTag";
inline constexpr const char* QBYDeliveryCloudKitData = "cloudKitData";
inline constexpr const char* QBYDeliveryDetailsJSON = "detailsJSON";
inline constexpr const char* QBYDeliveryDetailsLanguage = "detailsLanguage";
inline constexpr const char* QBYDeliveryServiceUpdateVersion = "serviceUpdateVersion";
inline constexpr const char* QBYDeliveryUpdatedTime = "updatedTime";
inline constexpr const char* QBYDeliveryStatusChangedDate = "statusChangedDate";
inline constexpr const char* QBYDeliveryHash = "hash";
inline constexpr const char* QBYDeliveryItemCacheJSON = "itemCacheJSON";

inline constexpr const char* QBYLocationNameKey = "name";
inline constexpr const char* QBYLocationRegionKey = "region";

}  // namespace qby
