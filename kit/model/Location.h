// A geocoded place name, cached for the route map: where the name was placed (or the
// geocoder's error), when, and whether the user moved the pin. Names are geocoded again once
// their entry expires.
//
// Threads: used only on the queue of the context that holds it.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "model/QBYModel.h"
#include "platform/Value.h"
#include "store/core/QBYManagedObject.h"

namespace qby {

class Location : public QBYManagedObject {
 public:
  // A place found by the geocoder lives 30 days; a name it could not place is retried after
  // 7 days.
  static constexpr double kLifetime = 2592000;
  static constexpr double kErrorLifetime = 604800;

  std::optional<std::string> name() const { return stringAt(LocationField::name); }
  void setName(std::optional<std::string> name) {
    setStringAt(LocationField::name, std::move(name));
  }
  std::optional<std::string> region() const { return stringAt(LocationField::region); }
  void setRegion(std::optional<std::string> region) {
    setStringAt(LocationField::region, std::move(region));
  }
  bool moved() const { return boolAt(LocationField::moved); }
  void setMoved(bool moved) { setBoolAt(LocationField::moved, moved); }
  double latitude() const { return doubleAt(LocationField::latitude); }
  void setLatitude(double latitude) { setDoubleAt(LocationField::latitude, latitude); }
  double longitude() const { return doubleAt(LocationField::longitude); }
  void setLongitude(double longitude) { setDoubleAt(LocationField::longitude, longitude); }
  double radius() const { return doubleAt(LocationField::radius); }
  void setRadius(double radius) { setDoubleAt(LocationField::radius, radius); }
  std::optional<Date> date() const { return dateAt(LocationField::date); }
  void setDate(std::optional<Date> date) { setDateAt(LocationField::date, date); }
  std::optional<std::string> errorMessage() const { return stringAt(LocationField::errorMessage); }
  void setErrorMessage(std::optional<std::string> message) {
    setStringAt(LocationField::errorMessage, std::move(message));
  }

  // (latitude, longitude).
  std::pair<double, double> coordinate() const { return {latitude(), longitude()}; }

  // "name", "region", "moved", "latitude", "longitude", "radius", "date", "errorMessage",
  // each when set.
  Dictionary attributes() const;
  // Writes the same eight fields from the same keys; a missing key clears its field.
  void setAttributes(const Dictionary& attributes);

  // A moved location never expires; others once their lifetime has passed.
  bool isExpired() const;

 protected:
  void awakeFromInsert() override;
};

}  // namespace qby
