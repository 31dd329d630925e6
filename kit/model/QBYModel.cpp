#include "model/QBYModel.h"

#include "model/Delivery.h"
#include "model/DeliveryText.h"
#include "model/Detail.h"
#include "model/HTML.h"
#include "model/Location.h"
#include "model/QBYCloudKitData.h"
#include "model/QBYHelpSearchItem.h"
#include "model/QBYSchemaHistory.h"
#include "model/Queue.h"
#include "model/Service.h"
#include "model/Setting.h"

namespace qby {
namespace {

using A = AttributeType;

AttributeDescription attr(std::string name, AttributeType type, Value defaultValue = {}) {
  return AttributeDescription{std::move(name), type, std::move(defaultValue), false};
}

RelationshipDescription toOne(std::string name, std::string destination, std::string inverse,
                              bool ownsKey, DeleteRule rule = DeleteRule::Nullify) {
  return RelationshipDescription{
      std::move(name), std::move(destination), std::move(inverse), false, ownsKey, rule};
}

RelationshipDescription toMany(std::string name, std::string destination, std::string inverse,
                               DeleteRule rule) {
  return RelationshipDescription{
      std::move(name), std::move(destination), std::move(inverse), true, false, rule};
}

template <typename T>
QBYRecordMaker maker() {
  return &makeRecord<T>;
}

EntityDescription deliveryEntity() {
  EntityDescription e;
  e.name = "Delivery";
  e.parentName = "QBYSyncObject";
  e.attributes = {
      attr("uuid", A::String),
      attr("archived", A::Boolean),
      attr("modified", A::Double),
      attr("cloudKitTag", A::String),
      attr("siteChangedDate", A::Date),
      attr("date", A::String),
      attr("extra", A::String),
      attr("from", A::String),
      attr("removed", A::Boolean),
      attr("historyTitle", A::String, ""),
      attr("manualSortIndex", A::Integer),
      attr("statusChangedDate", A::Date),
      attr("statusChangedOrModifiedDate", A::Date),
      attr("lastErrorDate", A::Date),
      attr("message", A::String, ""),
      attr("name", A::String),
      attr("no", A::String),
      attr("password", A::Boolean),
      attr("selected", A::Integer),
      attr("tap", A::String, ""),
      attr("updatedTime", A::Double),
      attr("nextUpdate", A::Double),
      attr("backgroundUpdate", A::Double),
      attr("updating", A::Boolean),
      attr("url", A::String, ""),
      attr("mobileURL", A::String),
      attr("deliveryDateSortIndex", A::Double),
      attr("serviceUpdateVersion", A::Integer),
      attr("itemCacheJSON", A::String),
  };
  e.relationships = {
      toOne("cloudKitData", "CloudKitData", "object", false, DeleteRule::Cascade),
      toMany("details", "Detail", "delivery", DeleteRule::Cascade),
      toOne("html", "HTML", "delivery", false, DeleteRule::Cascade),
      toOne("service", "Service", "deliveries", true),
      toOne("searchText", "DeliveryText", "delivery", false, DeleteRule::Cascade),
  };
  e.make = maker<Delivery>();
  return e;
}

EntityDescription detailEntity() {
  EntityDescription e;
  e.name = "Detail";
  e.attributes = {
      attr("index", A::Integer),
      attr("itemName", A::String, ""),
      attr("shippedText", A::String, ""),
      attr("shippedDateString", A::String, ""),
      attr("shippedExtra", A::String, ""),
      attr("shippedBold", A::Boolean),
      attr("deliveredText", A::String, ""),
      attr("deliveredDateString", A::String, ""),
      attr("deliveredExtra", A::String, ""),
      attr("deliveredBold", A::Boolean),
      attr("statusDateString", A::String, ""),
      attr("dateString", A::String, ""),
      attr("location", A::String, ""),
      attr("route", A::String),
      attr("icon", A::String, ""),
      attr("url", A::String),
  };
  e.relationships = {toOne("delivery", "Delivery", "details", true)};
  e.make = maker<Detail>();
  return e;
}

EntityDescription serviceEntity() {
  EntityDescription e;
  e.name = "Service";
  e.attributes = {
      attr("defaultExtra", A::String),
      attr("favorite", A::Boolean),
      attr("from", A::String),
      attr("keywords", A::String),
      attr("name", A::String),
      attr("region", A::String),
      attr("shortName", A::String),
      attr("sort", A::String),
      attr("useCount", A::Integer),
      attr("backgroundColor", A::String),
      attr("iconAccentColor", A::String),
      attr("iconColor", A::String),
      attr("spinnerColor", A::String),
      attr("smallTextColor", A::String),
      attr("largeTextColor", A::String),
  };
  e.relationships = {
      toMany("deliveries", "Delivery", "service", DeleteRule::Nullify),
      toMany("settings", "Setting", "service", DeleteRule::Cascade),
  };
  e.make = maker<Service>();
  return e;
}

EntityDescription settingEntity() {
  EntityDescription e;
  e.name = "Setting";
  e.attributes = {attr("inputType", A::String), attr("type", A::String), attr("name", A::String),
                  attr("required", A::Boolean)};
  e.relationships = {toOne("service", "Service", "settings", true)};
  e.make = maker<Setting>();
  return e;
}

EntityDescription locationEntity() {
  EntityDescription e;
  e.name = "Location";
  e.attributes = {attr("name", A::String),      attr("region", A::String),
                  attr("moved", A::Boolean),    attr("latitude", A::Double),
                  attr("longitude", A::Double), attr("radius", A::Double),
                  attr("date", A::Date),        attr("errorMessage", A::String)};
  e.make = maker<Location>();
  return e;
}

EntityDescription htmlEntity() {
  EntityDescription e;
  e.name = "HTML";
  e.attributes = {attr("lastHash", A::Integer), attr("html", A::String, "")};
  e.relationships = {toOne("delivery", "Delivery", "html", true)};
  e.make = maker<HTML>();
  return e;
}

EntityDescription deliveryTextEntity() {
  EntityDescription e;
  e.name = "DeliveryText";
  e.attributes = {attr("text", A::String), attr("foldedText", A::String)};
  e.relationships = {toOne("delivery", "Delivery", "searchText", true)};
  e.make = maker<DeliveryText>();
  return e;
}

EntityDescription queueEntity() {
  EntityDescription e;
  e.name = "Queue";
  e.attributes = {attr("cmd", A::String), attr("date", A::Double), attr("query", A::String),
                  attr("uuid", A::String)};
  e.make = maker<Queue>();
  return e;
}

EntityDescription cloudKitDataEntity() {
  EntityDescription e;
  e.name = "CloudKitData";
  e.attributes = {attr("data", A::Binary)};
  e.relationships = {toOne("object", "Delivery", "cloudKitData", true)};
  e.make = maker<QBYCloudKitData>();
  return e;
}

EntityDescription helpSearchItemEntity() {
  EntityDescription e;
  e.name = "HelpSearchItem";
  e.attributes = {attr("url", A::String), attr("title", A::String), attr("text", A::String)};
  e.make = maker<QBYHelpSearchItem>();
  return e;
}

}  // namespace

std::shared_ptr<const QBYManagedObjectModel> QBYPorvaneModel() {
  static const auto model = std::make_shared<const QBYManagedObjectModel>(
      QBYModelVersion,
      std::vector<EntityDescription>{deliveryEntity(), detailEntity(), serviceEntity(),
                                     settingEntity(), locationEntity(), htmlEntity(),
                                     deliveryTextEntity(), queueEntity(), cloudKitDataEntity(),
                                     helpSearchItemEntity()},
      QBYPorvaneSchemaMigrations());
  return model;
}

}  // namespace qby
