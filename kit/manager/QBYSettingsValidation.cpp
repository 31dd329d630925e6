#include "manager/QBYSettingsValidation.h"

#include <algorithm>

#include "model/QBYDeliverySettings.h"
#include "model/Service.h"
#include "model/Setting.h"
#include "platform/Format.h"
#include "platform/Localization.h"
#include "util/StringUtilities.h"

namespace qby {
namespace {

// The settings' text for a field type. The named fields are read directly; any other type
// is looked up in the dictionary form, so a service may ask for a field this code does not
// know by name.
std::optional<std::string> valueForType(const QBYDeliverySettings& settings,
                                        const std::string& type) {
  if (type == "name") return settings.name;
  if (type == "no") return settings.no;
  if (type == "extra") return settings.extra;
  if (type == "date") return settings.date;
  return settings.dictionary()[type].asString();
}

// The service's settings in the order they were imported: saved rows by row id (the store
// loads them that way), then unsaved ones in insertion order.
std::vector<std::shared_ptr<Setting>> orderedSettings(const Service& service) {
  auto settings = service.settings();
  std::stable_sort(settings.begin(), settings.end(), [](const auto& a, const auto& b) {
    const auto idA = a->objectID();
    const auto idB = b->objectID();
    if (idA.isTemporary() != idB.isTemporary()) return !idA.isTemporary();
    if (idA.isTemporary()) return idA.temporaryID < idB.temporaryID;
    return idA.rowID < idB.rowID;
  });
  return settings;
}

}  // namespace

bool validateSettings(const QBYDeliverySettings& settings, const std::shared_ptr<Service>& service,
                      bool checkPassword, QBYError* error) {
  if (!service) {
    if (auto missing = validationErrorForFields({"From"}, std::vector<std::string>{"from"}))
      setError(error, std::move(*missing));
    return false;
  }

  std::vector<std::string> fields;
  std::vector<std::string> keys;
  for (const auto& setting : orderedSettings(*service)) {
    if (!setting->required()) continue;
    const auto type = setting->type();
    // A field that names no settings value cannot be filled in, so it cannot be demanded.
    if (!hasValue(type)) continue;
    bool missing;
    if (*type == "password") {
      if (!checkPassword) continue;
      missing = !hasValue(settings.password);
    } else {
      missing = !hasTrimmedValue(valueForType(settings, *type));
    }
    if (!missing) continue;
    fields.push_back(setting->name().value_or(Service::defaultNameForSettingOfType(*type)));
    keys.push_back(*type);
  }

  if (fields.empty()) return true;
  if (auto missing = validationErrorForFields(fields, keys)) setError(error, std::move(*missing));
  return false;
}

std::optional<QBYError> validationErrorForFields(
    const std::vector<std::string>& fields, const std::optional<std::vector<std::string>>& keys) {
  if (fields.empty()) return std::nullopt;
  std::vector<std::string> names;
  for (std::size_t i = 0; i < fields.size() && i < 3; ++i)
    names.push_back(QBYLocalizedString(fields[i]));

  std::string message;
  switch (names.size()) {
    case 1:
      message = format(QBYLocalizedString("%@ is required."), names[0]);
      break;
    case 2:
      message = format(QBYLocalizedString("%@ and %@ are required."), names[0], names[1]);
      break;
    default:
      message =
          format(QBYLocalizedString("%@, %@, and %@ are required."), names[0], names[1], names[2]);
      break;
  }

  Dictionary userInfo;
  userInfo.set(QBYDeliveriesErrorDescriptionKey, Value(message));
  if (keys) {
    Array missing;
    for (const auto& key : *keys) missing.emplace_back(key);
    userInfo.set(QBYDeliveriesMissingFields, Value(std::move(missing)));
  }
  return QBYError::make(QBYDeliveriesErrorDomain, QBYDeliveriesMissingFieldsErrorCode,
                        std::move(message), std::move(userInfo));
}

}  // namespace qby
