#include "manager/QBYLocationCache.h"

#include "manager/QBYRoutePlaces.h"
#include "model/Location.h"
#include "platform/Log.h"
#include "platform/QBYError.h"
#include "store/core/QBYManagedObjectContext.h"

namespace qby {
namespace {

QBYFetchRequest requestFor(std::string_view name, std::string_view region, std::size_t limit) {
  QBYFetchRequest request;
  request.entityName = "Location";
  request.arguments.emplace_back(QBYLowercasePlaceText(name));
  if (region.empty()) {
    request.predicate = "t.\"name\" = ? AND t.\"region\" IS NULL";
  } else {
    request.predicate = "t.\"name\" = ? AND t.\"region\" = ?";
    request.arguments.emplace_back(QBYLowercasePlaceText(region));
  }
  request.fetchLimit = limit;
  return request;
}

}  // namespace

std::shared_ptr<Location> QBYLocationCache::lookup(std::string_view name, std::string_view region) {
  QBYError error;
  auto results = context_.executeFetchRequest(requestFor(name, region, 1), &error);
  if (!results) {
    log("Error getting location: {}, {}", error.localizedDescription, error.description());
    return nullptr;
  }
  if (results->empty()) return nullptr;
  auto location = results->as<Location>(0);
  if (!location) return nullptr;
  if (location->isExpired()) {
    context_.deleteObject(location);
    return nullptr;
  }
  return location;
}

std::shared_ptr<Location> QBYLocationCache::insert(std::string_view name, std::string_view region) {
  auto location = context_.insert<Location>("Location");
  location->setName(QBYLowercasePlaceText(name));
  if (!region.empty()) location->setRegion(QBYLowercasePlaceText(region));
  return location;
}

void QBYLocationCache::insertFound(std::string_view name, std::string_view region, double latitude,
                                   double longitude, double radius) {
  auto location = insert(name, region);
  location->setLatitude(latitude);
  location->setLongitude(longitude);
  if (radius > 0) location->setRadius(radius);
}

void QBYLocationCache::insertFailed(std::string_view name, std::string_view region,
                                    std::string_view message) {
  insert(name, region)->setErrorMessage(std::string(message));
}

void QBYLocationCache::deleteAll(std::string_view name, std::string_view region) {
  QBYError error;
  auto results = context_.executeFetchRequest(requestFor(name, region, 0), &error);
  if (!results) {
    log("Error getting location: {}, {}", error.localizedDescription, error.description());
    return;
  }
  for (auto& object : results->all()) {
    if (object) context_.deleteObject(object);
  }
}

std::shared_ptr<Location> QBYLocationCache::placeByHand(std::string_view name,
                                                        std::string_view region, double latitude,
                                                        double longitude) {
  deleteAll(name, region);
  auto location = insert(name, region);
  location->setLatitude(latitude);
  location->setLongitude(longitude);
  location->setMoved(true);
  return location;
}

void QBYLocationCache::forget(std::string_view name, std::string_view region) {
  deleteAll(name, region);
}

bool QBYLocationCache::save() {
  if (!context_.hasChanges()) return true;
  QBYError error;
  if (context_.save(&error)) return true;
  log("Error saving locations: {}, {}", error.localizedDescription, error.description());
  return false;
}

}  // namespace qby
