#include "model/Location.h"

#include <array>

namespace qby {
namespace {

constexpr std::array kKeys = {LocationField::name,      LocationField::region,
                              LocationField::moved,     LocationField::latitude,
                              LocationField::longitude, LocationField::radius,
                              LocationField::date,      LocationField::errorMessage};

}  // namespace

void Location::awakeFromInsert() {
  setDate(Date::now());
}

Dictionary Location::attributes() const {
  Dictionary result;
  for (int field : kKeys) {
    const Value& value = primitiveValue(field);
    if (!value.isNull()) result.set(entity().attributes[field].name, value);
  }
  return result;
}

void Location::setAttributes(const Dictionary& attributes) {
  setName(attributes["name"].asString());
  setRegion(attributes["region"].asString());
  if (auto moved = attributes["moved"].asBool()) {
    setMoved(*moved);
  } else {
    setPrimitiveValue(LocationField::moved, Value());
  }
  for (int field : {LocationField::latitude, LocationField::longitude, LocationField::radius}) {
    const Value& value = attributes[entity().attributes[field].name];
    if (auto number = value.asReal()) {
      setDoubleAt(field, *number);
    } else {
      setPrimitiveValue(field, Value());
    }
  }
  setDate(attributes["date"].asDate());
  setErrorMessage(attributes["errorMessage"].asString());
}

bool Location::isExpired() const {
  if (moved()) return false;
  const double lifetime = errorMessage() ? kErrorLifetime : kLifetime;
  // A location without a date was never placed: treat it as long gone.
  const Date placed = date().value_or(Date(0));
  return placed.addingTimeInterval(lifetime) < Date::now();
}

}  // namespace qby
