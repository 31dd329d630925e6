#include "model/Service.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "model/Delivery.h"
#include "model/Setting.h"
#include "platform/Localization.h"
#include "util/QBYRegions.h"

namespace qby {
namespace {

std::string capitalizedFirstLetter(std::string_view text) {
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  if (unicode.isEmpty()) return {};
  const UChar32 first = unicode.char32At(0);
  icu::UnicodeString result;
  result.append(u_toupper(first));
  result.append(unicode, U16_LENGTH(first), INT32_MAX);
  std::string out;
  result.toUTF8String(out);
  return out;
}

}  // namespace

void Service::setName(std::optional<std::string> name) {
  setStringAt(ServiceField::name, std::move(name));
  localizedName_.reset();
}

std::vector<std::shared_ptr<Delivery>> Service::deliveries() const {
  return toManyAs<Delivery>(ServiceField::deliveries);
}
void Service::addDelivery(const std::shared_ptr<Delivery>& delivery) {
  addToManyAt(ServiceField::deliveries, delivery);
}
void Service::removeDelivery(const std::shared_ptr<Delivery>& delivery) {
  removeToManyAt(ServiceField::deliveries, delivery);
}
std::vector<std::shared_ptr<Setting>> Service::settings() const {
  return toManyAs<Setting>(ServiceField::settings);
}
void Service::addSetting(const std::shared_ptr<Setting>& setting) {
  addToManyAt(ServiceField::settings, setting);
}
void Service::removeSetting(const std::shared_ptr<Setting>& setting) {
  removeToManyAt(ServiceField::settings, setting);
}

std::optional<std::string> Service::localizedName() const {
  if (!localizedName_) {
    auto key = name();
    localizedName_ = key ? std::optional<std::string>(QBYLocalizedString(*key)) : std::nullopt;
  }
  return *localizedName_;
}

bool Service::isOther() const {
  return from() == std::optional<std::string>(ServiceKey::Other);
}

std::size_t Service::settingsCount() const {
  const std::size_t count = settings().size();
  return count == 0 ? 0 : count + 2;
}

bool Service::hasSettingOfType(std::string_view type) const {
  return settingOfType(type) != nullptr;
}

std::shared_ptr<Setting> Service::settingOfType(std::string_view type) const {
  for (const auto& setting : settings()) {
    if (auto settingType = setting->type(); settingType && *settingType == type) return setting;
  }
  return nullptr;
}

std::string Service::localizedNameForSettingOfType(std::string_view type) const {
  if (auto setting = settingOfType(type)) {
    if (auto label = setting->name()) return QBYLocalizedString(*label);
  }
  return defaultNameForSettingOfType(type);
}

std::string Service::defaultNameForSettingOfType(std::string_view type) {
  return capitalizedFirstLetter(type);
}

std::optional<std::string> Service::regionNameForDomain(const std::optional<std::string>& key) {
  if (!key) return std::nullopt;
  return regionForServiceKey(*key);
}

}  // namespace qby
