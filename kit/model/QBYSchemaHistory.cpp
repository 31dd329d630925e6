#include "model/QBYSchemaHistory.h"

namespace qby {

namespace {

// Keys are plain integer columns without declared constraints: the contexts apply the delete
// rules themselves (as SQL, also for rows they never loaded), and a key whose row another
// process removed reads as "no destination". AUTOINCREMENT keeps row ids from ever being
// reused, so such a stale key can never come to name an unrelated new row.
constexpr const char* kVersion1 = R"sql(
CREATE TABLE "Delivery" (
  Z_PK INTEGER PRIMARY KEY AUTOINCREMENT,
  "uuid" TEXT, "archived" INTEGER, "modified" REAL, "cloudKitTag" TEXT,
  "siteChangedDate" REAL, "date" TEXT, "extra" TEXT, "from" TEXT, "removed" INTEGER,
  "historyTitle" TEXT, "manualSortIndex" INTEGER, "statusChangedDate" REAL,
  "statusChangedOrModifiedDate" REAL, "lastErrorDate" REAL, "message" TEXT, "name" TEXT,
  "no" TEXT, "password" INTEGER, "selected" INTEGER, "tap" TEXT, "updatedTime" REAL,
  "nextUpdate" REAL, "backgroundUpdate" REAL, "updating" INTEGER, "url" TEXT,
  "mobileURL" TEXT, "deliveryDateSortIndex" REAL, "serviceUpdateVersion" INTEGER,
  "itemCacheJSON" TEXT, "service" INTEGER);
CREATE TABLE "Detail" (
  Z_PK INTEGER PRIMARY KEY AUTOINCREMENT,
  "index" INTEGER, "itemName" TEXT, "shippedText" TEXT, "shippedDateString" TEXT,
  "shippedExtra" TEXT, "shippedBold" INTEGER, "deliveredText" TEXT,
  "deliveredDateString" TEXT, "deliveredExtra" TEXT, "deliveredBold" INTEGER,
  "statusDateString" TEXT, "dateString" TEXT, "location" TEXT, "route" TEXT, "icon" TEXT,
  "url" TEXT, "delivery" INTEGER);
CREATE TABLE "Service" (
  Z_PK INTEGER PRIMARY KEY AUTOINCREMENT,
  "defaultExtra" TEXT, "favorite" INTEGER, "from" TEXT, "keywords" TEXT, "name" TEXT,
  "region" TEXT, "shortName" TEXT, "sort" TEXT, "useCount" INTEGER, "backgroundColor" TEXT,
  "iconAccentColor" TEXT, "iconColor" TEXT, "spinnerColor" TEXT, "smallTextColor" TEXT,
  "largeTextColor" TEXT);
CREATE TABLE "Setting" (
  Z_PK INTEGER PRIMARY KEY AUTOINCREMENT,
  "inputType" TEXT, "type" TEXT, "name" TEXT, "required" INTEGER, "service" INTEGER);
CREATE TABLE "Location" (
  Z_PK INTEGER PRIMARY KEY AUTOINCREMENT,
  "name" TEXT, "region" TEXT, "moved" INTEGER, "latitude" REAL, "longitude" REAL,
  "radius" REAL, "date" REAL, "errorMessage" TEXT);
CREATE TABLE "HTML" (
  Z_PK INTEGER PRIMARY KEY AUTOINCREMENT,
  "lastHash" INTEGER, "html" TEXT, "delivery" INTEGER);
CREATE TABLE "DeliveryText" (
  Z_PK INTEGER PRIMARY KEY AUTOINCREMENT,
  "text" TEXT, "delivery" INTEGER);
CREATE TABLE "Queue" (
  Z_PK INTEGER PRIMARY KEY AUTOINCREMENT,
  "cmd" TEXT, "date" REAL, "query" TEXT, "uuid" TEXT);
CREATE TABLE "CloudKitData" (
  Z_PK INTEGER PRIMARY KEY AUTOINCREMENT,
  "data" BLOB, "object" INTEGER);
CREATE TABLE "HelpSearchItem" (
  Z_PK INTEGER PRIMARY KEY AUTOINCREMENT,
  "url" TEXT, "title" TEXT, "text" TEXT);
)sql";

// Word search matches a folded copy of the search text, and the named queries and the delete
// rules look rows up by these columns.
constexpr const char* kVersion2 = R"sql(
ALTER TABLE "DeliveryText" ADD COLUMN "foldedText" TEXT;
UPDATE "DeliveryText" SET "foldedText" = qby_fold("text");
CREATE INDEX "Delivery_uuid" ON "Delivery" ("uuid");
CREATE INDEX "Delivery_archived_removed" ON "Delivery" ("archived", "removed");
CREATE INDEX "Delivery_service" ON "Delivery" ("service");
CREATE INDEX "Detail_delivery" ON "Detail" ("delivery");
CREATE INDEX "DeliveryText_delivery" ON "DeliveryText" ("delivery");
CREATE INDEX "Service_from" ON "Service" ("from");
CREATE INDEX "Setting_service" ON "Setting" ("service");
CREATE INDEX "CloudKitData_object" ON "CloudKitData" ("object");
CREATE INDEX "HTML_delivery" ON "HTML" ("delivery");
)sql";

}  // namespace

const std::vector<QBYSchemaMigration>& QBYPorvaneSchemaMigrations() {
  static const std::vector<QBYSchemaMigration> migrations = {
      {1, kVersion1},
      {2, kVersion2},
  };
  return migrations;
}

}  // namespace qby
