#include "sync/QBYTroubleshootReport.h"

#include <algorithm>

#include "model/Delivery.h"
#include "platform/Localization.h"

namespace qby {

namespace {

struct KeyInfo {
  const char* key;
  const char* displayName;
};

// The display order.
constexpr KeyInfo kKeys[] = {
    {"comments", "Comments"},
    {"logs", "Logs"},
    {"vendor-id", "Device Identifier"},
    {"from", "From"},
    {"no", "Tracking No."},
    {"extra", "Additional Info"},
    {"platform", "Platform"},
    {"system-version", "System Version"},
    {"app-version", "App Version"},
    {"service-update", "Service Update"},
    {"success", "Success"},
};

bool inTable(std::string_view key) {
  return std::any_of(std::begin(kKeys), std::end(kKeys),
                     [&](const KeyInfo& info) { return key == info.key; });
}

void setIfPresent(Dictionary& values, const char* key, const std::optional<std::string>& value) {
  if (value) values.set(key, Value(*value));
}

}  // namespace

QBYTroubleshootReport QBYTroubleshootReport::reportForDelivery(
    const Delivery& delivery, const std::optional<std::string>& logs,
    const Environment& environment) {
  QBYTroubleshootReport report;
  report.success_ = !delivery.lastErrorDate() && !delivery.hasError();
  setIfPresent(report.values_, "from", delivery.from());
  setIfPresent(report.values_, "no", delivery.no());
  setIfPresent(report.values_, "extra", delivery.extra());
  setIfPresent(report.values_, "platform", environment.platform);
  setIfPresent(report.values_, "system-version", environment.systemVersion);
  setIfPresent(report.values_, "app-version", environment.appVersion);
  setIfPresent(report.values_, "service-update", environment.serviceUpdate);
  setIfPresent(report.values_, "vendor-id", environment.vendorIdentifier);
  setIfPresent(report.values_, "logs", logs);
  return report;
}

QBYTroubleshootReport QBYTroubleshootReport::reportFromDictionary(const Dictionary& dictionary) {
  QBYTroubleshootReport report;
  for (const auto& [key, value] : dictionary) {
    if (key == "success") {
      report.success_ = value.asString() == "1";
    } else {
      report.values_.set(key, value);
    }
  }
  return report;
}

const std::vector<std::string>& QBYTroubleshootReport::defaultKeys() {
  static const std::vector<std::string> keys = [] {
    std::vector<std::string> result;
    for (const auto& info : kKeys) result.emplace_back(info.key);
    return result;
  }();
  return keys;
}

std::string QBYTroubleshootReport::displayNameForKey(std::string_view key) {
  for (const auto& info : kKeys)
    if (key == info.key) return QBYLocalizedString(info.displayName);
  return std::string(key);
}

bool QBYTroubleshootReport::keyIsEditable(std::string_view key) {
  return key == "comments" || key == "logs";
}

Dictionary QBYTroubleshootReport::dictionary() const {
  Dictionary result = values_;
  result.set("success", Value(std::string(success_ ? "1" : "0")));
  return result;
}

std::optional<std::string> QBYTroubleshootReport::valueForKey(std::string_view key) const {
  if (key == "success") return std::string(success_ ? "1" : "0");
  return values_[key].asString();
}

void QBYTroubleshootReport::setValueForKey(std::string_view key, const std::string& value) {
  if (key == "success") {
    success_ = value == "1";
    return;
  }
  values_.set(key, Value(value));
}

std::vector<std::string> QBYTroubleshootReport::keys() const {
  std::vector<std::string> result;
  for (const auto& info : kKeys) {
    const Value& value = values_[info.key];
    const auto* text = value.stringPtr();
    const bool presentWithoutText = !value.isNull() && (!text || text->empty());
    if (presentWithoutText && !keyIsEditable(info.key)) continue;
    result.emplace_back(info.key);
  }
  for (const auto& [key, value] : values_) {
    const auto* text = value.stringPtr();
    if (!inTable(key) && text && !text->empty()) result.push_back(key);
  }
  return result;
}

}  // namespace qby
