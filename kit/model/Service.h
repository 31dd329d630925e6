// One carrier or shop that deliveries are tracked with, as the services list describes it:
// its key, display name, region, the input fields it asks for and its colours. The catalogue
// of services is imported and kept current by the deliveries manager.
//
// Threads: used only on the queue of the context that holds it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/QBYModel.h"
#include "store/core/QBYManagedObject.h"

namespace qby {

class Delivery;
class Setting;

class Service : public QBYManagedObject {
 public:
  std::optional<std::string> defaultExtra() const { return stringAt(ServiceField::defaultExtra); }
  void setDefaultExtra(std::optional<std::string> value) {
    setStringAt(ServiceField::defaultExtra, std::move(value));
  }
  bool favorite() const { return boolAt(ServiceField::favorite); }
  void setFavorite(bool favorite) { setBoolAt(ServiceField::favorite, favorite); }
  std::optional<std::string> from() const { return stringAt(ServiceField::from); }
  void setFrom(std::optional<std::string> from) {
    setStringAt(ServiceField::from, std::move(from));
  }
  std::optional<std::string> keywords() const { return stringAt(ServiceField::keywords); }
  void setKeywords(std::optional<std::string> keywords) {
    setStringAt(ServiceField::keywords, std::move(keywords));
  }
  // The localisation key of the display name.
  std::optional<std::string> name() const { return stringAt(ServiceField::name); }
  void setName(std::optional<std::string> name);
  std::optional<std::string> region() const { return stringAt(ServiceField::region); }
  void setRegion(std::optional<std::string> region) {
    setStringAt(ServiceField::region, std::move(region));
  }
  std::optional<std::string> shortName() const { return stringAt(ServiceField::shortName); }
  void setShortName(std::optional<std::string> shortName) {
    setStringAt(ServiceField::shortName, std::move(shortName));
  }
  // Two-digit ordinal ("07") that orders the service list.
  std::optional<std::string> sort() const { return stringAt(ServiceField::sort); }
  void setSort(std::optional<std::string> sort) {
    setStringAt(ServiceField::sort, std::move(sort));
  }
  std::int64_t useCount() const { return integerAt(ServiceField::useCount); }
  void setUseCount(std::int64_t count) { setIntegerAt(ServiceField::useCount, count); }

  // Colours, stored as their text form ("#rrggbb" or "#rrggbbaa").
  std::optional<std::string> backgroundColor() const {
    return stringAt(ServiceField::backgroundColor);
  }
  void setBackgroundColor(std::optional<std::string> c) {
    setStringAt(ServiceField::backgroundColor, std::move(c));
  }
  std::optional<std::string> iconAccentColor() const {
    return stringAt(ServiceField::iconAccentColor);
  }
  void setIconAccentColor(std::optional<std::string> c) {
    setStringAt(ServiceField::iconAccentColor, std::move(c));
  }
  std::optional<std::string> iconColor() const { return stringAt(ServiceField::iconColor); }
  void setIconColor(std::optional<std::string> c) {
    setStringAt(ServiceField::iconColor, std::move(c));
  }
  std::optional<std::string> spinnerColor() const { return stringAt(ServiceField::spinnerColor); }
  void setSpinnerColor(std::optional<std::string> c) {
    setStringAt(ServiceField::spinnerColor, std::move(c));
  }
  std::optional<std::string> smallTextColor() const {
    return stringAt(ServiceField::smallTextColor);
  }
  void setSmallTextColor(std::optional<std::string> c) {
    setStringAt(ServiceField::smallTextColor, std::move(c));
  }
  std::optional<std::string> largeTextColor() const {
    return stringAt(ServiceField::largeTextColor);
  }
  void setLargeTextColor(std::optional<std::string> c) {
    setStringAt(ServiceField::largeTextColor, std::move(c));
  }

  std::vector<std::shared_ptr<Delivery>> deliveries() const;
  void addDelivery(const std::shared_ptr<Delivery>& delivery);
  void removeDelivery(const std::shared_ptr<Delivery>& delivery);
  std::vector<std::shared_ptr<Setting>> settings() const;
  void addSetting(const std::shared_ptr<Setting>& setting);
  void removeSetting(const std::shared_ptr<Setting>& setting);

  // The localised display name; remembered while the record is in memory.
  std::optional<std::string> localizedName() const;
  // The plain-web-page service.
  bool isOther() const;
  // 0 without settings, else the number of settings plus 2 (the name and the service fields).
  std::size_t settingsCount() const;
  bool hasSettingOfType(std::string_view type) const;
  std::shared_ptr<Setting> settingOfType(std::string_view type) const;
  // The localised label of that setting, or the type with its first letter capitalised when
  // the service has no such setting ("extra" → "Extra").
  std::string localizedNameForSettingOfType(std::string_view type) const;
  // The label of a field the service does not describe: its type, first letter capitalised.
  static std::string defaultNameForSettingOfType(std::string_view type);

  // The region of the service with this key, not localised; nothing for unknown keys.
  static std::optional<std::string> regionNameForDomain(const std::optional<std::string>& key);

 protected:
  void didTurnIntoFault() override { localizedName_.reset(); }

 private:
  mutable std::optional<std::optional<std::string>> localizedName_;
};

}  // namespace qby
