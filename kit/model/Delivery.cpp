#include "model/Delivery.h"

#include <unicode/locid.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "model/DeliveryText.h"
#include "model/Detail.h"
#include "model/HTML.h"
#include "model/ModelText.h"
#include "model/QBYAddLink.h"
#include "model/QBYDeliveryKeys.h"
#include "model/Service.h"
#include "platform/Format.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/QBYError.h"
#include "platform/Resources.h"
#include "presentation/QBYDateFormatter.h"
#include "util/QBYRegions.h"

namespace qby {
namespace {

using F = DeliveryField::Attribute;
using R = DeliveryField::Relationship;
using modeltext::hasNonBlankText;
using modeltext::hasText;

constexpr const char* kSignIn = "signin";
constexpr const char* kUnknownItem = "Unknown Item";

constexpr const char* kEmailRow =
    "<tr><td class=\"label\" style=\"padding:10px 0 0 0\">%@</td></tr>"
    "<tr><td class=\"data\" style=\"padding:0 0 5px 0\">%@</td></tr>";
constexpr const char* kEmailView = "<a href=\"%@\">open the tracking page</a> or ";
// Without a web service there is no add link: the template's add section (between these
// markers) makes way for the tracking page alone, when there is one.
constexpr const char* kEmailAddStart = "<!--add-->";
constexpr const char* kEmailAddEnd = "<!--/add-->";
constexpr const char* kEmailViewOnly =
    "<p class=\"actions\"><a href=\"%@\">Open the tracking page</a></p>";

std::optional<std::string> readFile(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream contents;
  contents << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return contents.str();
}

// The language code of the user's current locale ("de" of "de_CH"), when it has one.
std::optional<std::string> currentLanguageCode() {
  const char* language = icu::Locale::getDefault().getLanguage();
  if (!language || !*language) return std::nullopt;
  return std::string(language);
}

}  // namespace

// --- Stored attributes ---

std::optional<Date> Delivery::siteChangedDate() const {
  return dateAt(F::siteChangedDate);
}
void Delivery::setSiteChangedDate(std::optional<Date> d) {
  setDateAt(F::siteChangedDate, d);
}
std::optional<std::string> Delivery::date() const {
  return stringAt(F::date);
}
void Delivery::setDate(std::optional<std::string> v) {
  setStringAt(F::date, std::move(v));
}
std::optional<std::string> Delivery::extra() const {
  return stringAt(F::extra);
}
void Delivery::setExtra(std::optional<std::string> v) {
  setStringAt(F::extra, std::move(v));
}
std::optional<std::string> Delivery::from() const {
  return stringAt(F::from);
}
void Delivery::setFrom(std::optional<std::string> v) {
  setStringAt(F::from, std::move(v));
}
bool Delivery::removed() const {
  return boolAt(F::removed);
}
void Delivery::setRemoved(bool v) {
  setBoolAt(F::removed, v);
}
std::optional<std::string> Delivery::historyTitle() const {
  return stringAt(F::historyTitle);
}
void Delivery::setHistoryTitle(std::optional<std::string> v) {
  setStringAt(F::historyTitle, std::move(v));
}
std::int64_t Delivery::manualSortIndex() const {
  return integerAt(F::manualSortIndex);
}
void Delivery::setManualSortIndex(std::int64_t v) {
  setIntegerAt(F::manualSortIndex, v);
}
std::optional<Date> Delivery::statusChangedDate() const {
  return dateAt(F::statusChangedDate);
}
void Delivery::setStatusChangedDate(std::optional<Date> d) {
  setDateAt(F::statusChangedDate, d);
}
std::optional<Date> Delivery::statusChangedOrModifiedDate() const {
  return dateAt(F::statusChangedOrModifiedDate);
}
void Delivery::setStatusChangedOrModifiedDate(std::optional<Date> d) {
  setDateAt(F::statusChangedOrModifiedDate, d);
}
std::optional<Date> Delivery::lastErrorDate() const {
  return dateAt(F::lastErrorDate);
}
void Delivery::setLastErrorDate(std::optional<Date> d) {
  setDateAt(F::lastErrorDate, d);
}
std::optional<std::string> Delivery::message() const {
  return stringAt(F::message);
}
void Delivery::setMessage(std::optional<std::string> v) {
  setStringAt(F::message, std::move(v));
}
std::optional<std::string> Delivery::name() const {
  return stringAt(F::name);
}
void Delivery::setName(std::optional<std::string> v) {
  setStringAt(F::name, std::move(v));
}
std::optional<std::string> Delivery::no() const {
  return stringAt(F::no);
}
void Delivery::setNo(std::optional<std::string> v) {
  setStringAt(F::no, std::move(v));
}
bool Delivery::password() const {
  return boolAt(F::password);
}
void Delivery::setPassword(bool v) {
  setBoolAt(F::password, v);
}
std::int64_t Delivery::selected() const {
  return integerAt(F::selected);
}
std::optional<std::string> Delivery::tap() const {
  return stringAt(F::tap);
}
void Delivery::setTap(std::optional<std::string> v) {
  setStringAt(F::tap, std::move(v));
}
double Delivery::updatedTime() const {
  return doubleAt(F::updatedTime);
}
void Delivery::setUpdatedTime(double v) {
  setDoubleAt(F::updatedTime, v);
}
double Delivery::nextUpdate() const {
  return doubleAt(F::nextUpdate);
}
void Delivery::setNextUpdate(double v) {
  setDoubleAt(F::nextUpdate, v);
}
double Delivery::backgroundUpdate() const {
  return doubleAt(F::backgroundUpdate);
}
void Delivery::setBackgroundUpdate(double v) {
  setDoubleAt(F::backgroundUpdate, v);
}
bool Delivery::updating() const {
  return boolAt(F::updating);
}
void Delivery::setUpdating(bool v) {
  setBoolAt(F::updating, v);
}
std::optional<std::string> Delivery::url() const {
  return stringAt(F::url);
}
void Delivery::setUrl(std::optional<std::string> v) {
  setStringAt(F::url, std::move(v));
}
std::optional<std::string> Delivery::mobileURL() const {
  return stringAt(F::mobileURL);
}
void Delivery::setMobileURL(std::optional<std::string> v) {
  setStringAt(F::mobileURL, std::move(v));
}
double Delivery::deliveryDateSortIndex() const {
  return doubleAt(F::deliveryDateSortIndex);
}
void Delivery::setDeliveryDateSortIndex(double v) {
  setDoubleAt(F::deliveryDateSortIndex, v);
}
std::int64_t Delivery::serviceUpdateVersion() const {
  return integerAt(F::serviceUpdateVersion);
}
void Delivery::setServiceUpdateVersion(std::int64_t v) {
  setIntegerAt(F::serviceUpdateVersion, v);
}
std::optional<std::string> Delivery::itemCacheJSON() const {
  return stringAt(F::itemCacheJSON);
}
void Delivery::setItemCacheJSON(std::optional<std::string> v) {
  setStringAt(F::itemCacheJSON, std::move(v));
}

// --- Relationships ---

std::vector<std::shared_ptr<Detail>> Delivery::details() const {
  return toManyAs<Detail>(R::details);
}
void Delivery::addDetail(const std::shared_ptr<Detail>& detail) {
  addToManyAt(R::details, detail);
}
void Delivery::removeDetail(const std::shared_ptr<Detail>& detail) {
  removeToManyAt(R::details, detail);
}
std::shared_ptr<HTML> Delivery::html() const {
  return toOneAs<HTML>(R::html);
}
void Delivery::setHtml(const std::shared_ptr<HTML>& html) {
  setToOneAt(R::html, html);
}
std::shared_ptr<Service> Delivery::service() const {
  return toOneAs<Service>(R::service);
}
void Delivery::setService(const std::shared_ptr<Service>& service) {
  setToOneAt(R::service, service);
}
std::shared_ptr<DeliveryText> Delivery::searchText() const {
  return toOneAs<DeliveryText>(R::searchText);
}
void Delivery::setSearchText(const std::shared_ptr<DeliveryText>& text) {
  setToOneAt(R::searchText, text);
}

// --- Dictionary and text forms ---

Dictionary Delivery::attributes() const {
  Dictionary result = QBYSyncObject::attributes();
  for (int field : {F::date, F::extra, F::from, F::name, F::no, F::selected}) {
    addIfSet(result, field);
  }
  return result;
}

Dictionary Delivery::attributesToSync() const {
  Dictionary result = attributes();
  addIfSet(result, F::removed);
  if (auto json = detailsJSON()) {
    result.set(QBYDeliveryDetailsJSON, *json);
    if (auto language = currentLanguageCode()) result.set(QBYDeliveryDetailsLanguage, *language);
    addIfSet(result, F::serviceUpdateVersion);
    addIfSet(result, F::updatedTime);
  }
  return result;
}

Dictionary Delivery::watchData() const {
  if (archived() || removed()) {
    Dictionary result;
    addIfSet(result, kUUID);
    addIfSet(result, kArchived);
    addIfSet(result, F::removed);
    return result;
  }
  Dictionary result = attributesToSync();
  addIfSet(result, F::statusChangedDate);
  return result;
}

std::string Delivery::queryString() const {
  using modeltext::queryValue;
  return format("&uuid=%@&from=%@&name=%@&no=%@&extra=%@&date=%@", queryValue(uuid()),
                queryValue(from()), queryValue(name()), queryValue(no()), queryValue(extra()),
                queryValue(date()));
}

std::string Delivery::settingsHash() const {
  // "(null)" for an absent value is part of the format: other devices compute the same text.
  const auto part = [](const std::optional<std::string>& value) {
    return value ? *value : std::string("(null)");
  };
  return modeltext::md5Hex(part(name()) + part(from()) + part(no()) + part(extra()) + part(date()));
}

std::string Delivery::defaultTitle() const {
  if (auto title = name(); hasNonBlankText(title)) return *title;
  if (auto number = no(); hasNonBlankText(number)) return *number;
  return QBYLocalizedString(kUnknownItem);
}

std::string Delivery::siriName() const {
  if (auto title = name()) {
    std::string trimmedName = modeltext::trimmed(*title);
    if (!trimmedName.empty()) return trimmedName;
  }
  if (auto service = serviceName(); hasNonBlankText(service)) return *service;
  return QBYLocalizedString(kUnknownItem);
}

std::optional<std::string> Delivery::serviceName() const {
  if (isOther()) {
    if (auto domain = extraDomain()) return domain;
  }
  const auto owner = service();
  if (!owner) return std::nullopt;
  const auto shortName = owner->shortName();
  if (!shortName) return std::nullopt;
  return QBYLocalizedString(*shortName);
}

std::string Delivery::titleForEmail() const {
  const auto title = historyTitle();
  if (modeltext::sameText(title, no())) {
    return format(QBYLocalizedString("Shipment from %@"), serviceName().value_or(""));
  }
  return modeltext::limitByWords(title.value_or(""), 32);
}

std::optional<std::string> Delivery::messageForEmail() const {
  const auto path = Resources::pathForResource("Email", "html", "templates");
  if (!path) return std::nullopt;
  auto body = readFile(*path);
  if (!body) return std::nullopt;

  using modeltext::escapeHTML;
  const auto owner = service();
  const bool other = isOther();
  const auto label = [&](const char* type) {
    return owner ? owner->localizedNameForSettingOfType(type)
                 : Service::defaultNameForSettingOfType(type);
  };

  std::string rows;
  const auto addRow = [&](const std::string& rowLabel, const std::optional<std::string>& value) {
    if (!hasNonBlankText(value)) return;
    rows += format(kEmailRow, escapeHTML(rowLabel), escapeHTML(*value));
  };
  addRow(QBYLocalizedString("Item Name"), name());
  addRow(label("no"), no());
  if (!other) addRow(QBYLocalizedString("From"), owner ? owner->localizedName() : std::nullopt);
  std::optional<std::string> extraText = extra();
  if (other) {
    if (auto host = modeltext::hostOfText(extraText)) extraText = host;
  }
  addRow(label("extra"), extraText);
  if (auto day = date()) {
    auto& formatter = QBYDateFormatter::sharedFormatter();
    if (auto parsed = formatter.dateFromString(std::string_view(*day))) {
      addRow(label("date"), formatter.displayDate(parsed, QBYDateFormatter::QBYRelativeNever));
    }
  }

  std::string serviceText;
  if (!other && owner) {
    if (auto shortName = owner->shortName()) serviceText = QBYLocalizedString(*shortName);
  }
  std::string view;
  const auto trackingPage = url();
  if (hasText(trackingPage)) view = format(kEmailView, escapeHTML(*trackingPage));
  const auto addLink = QBYAddLink(from(), name(), no(), extra(), date());

  std::string result = std::move(*body);
  if (!addLink) {
    const auto start = result.find(kEmailAddStart);
    const auto end = start == std::string::npos ? start : result.find(kEmailAddEnd, start);
    if (end != std::string::npos) {
      result.replace(start, end + std::strlen(kEmailAddEnd) - start,
                     hasText(trackingPage) ? format(kEmailViewOnly, escapeHTML(*trackingPage))
                                           : std::string());
    }
  }
  result = modeltext::replaceAll(std::move(result), "{TITLE}", escapeHTML(titleForEmail()));
  result = modeltext::replaceAll(std::move(result), "{SERVICE}", escapeHTML(serviceText));
  result = modeltext::replaceAll(std::move(result), "{DETAILS}", rows);
  result = modeltext::replaceAll(std::move(result), "{VIEW}", view);
  result = modeltext::replaceAll(std::move(result), "{ADD}", escapeHTML(addLink.value_or("")));
  return result;
}

std::optional<Date> Delivery::updatedDate() const {
  const double time = updatedTime();
  if (!(time > 1.0)) return std::nullopt;
  return Date(time);
}

// --- Rules ---

bool Delivery::shouldSoftUpdate() const {
  if (archived()) return false;
  const double now = Date::now().timeIntervalSince1970();
  if (now >= nextUpdate()) return true;
  if (updatedTime() + kSoftUpdatePause > now) return false;
  if (isComplete()) return false;
  return !requiresSignIn();
}

bool Delivery::statusChangedRecently() const {
  const auto changed = statusChangedOrModifiedDate();
  if (!changed) return false;
  const auto threeDaysAgo = QBYDateFormatter::sharedFormatter().calendar().dateDaysAgo(3);
  return threeDaysAgo && *changed > *threeDaysAgo;
}

bool Delivery::hasError() const {
  const auto lines = details();
  return std::any_of(lines.begin(), lines.end(), [](const auto& d) { return d->hasError(); });
}

bool Delivery::hasAnyError() const {
  return (lastErrorDate() && !archived()) || hasError();
}

bool Delivery::shouldShowError() const {
  if (isComplete()) return false;
  if (updatedTime() < 1.0 || hasError()) return true;
  if (const auto failed = lastErrorDate()) {
    return Date::now().timeIntervalSince(*failed) > kErrorGracePeriod;
  }
  return false;
}

bool Delivery::requiresSignIn() const {
  return tap() == std::optional<std::string>(kSignIn) && !archived();
}

bool Delivery::isUpdating() const {
  return !archived() && updating();
}

bool Delivery::isOther() const {
  return from() == std::optional<std::string>(ServiceKey::Other);
}

bool Delivery::isComplete() const {
  const auto lines = details();
  return !lines.empty() &&
         std::all_of(lines.begin(), lines.end(), [](const auto& d) { return d->isDelivered(); });
}

bool Delivery::isProbablyComplete() const {
  if (isComplete()) return true;
  const auto lines = details();
  if (lines.empty()) return false;
  if (statusChangedRecently()) return false;
  const auto startOfToday =
      QBYDateFormatter::sharedFormatter().calendar().startOfDayForDate(Date::now());
  for (const auto& line : lines) {
    auto day = line->deliveredDate();
    if (!day) day = line->shippedDate();
    if (!day) continue;
    if (!startOfToday || *day >= *startOfToday) return false;
  }
  return true;
}

// --- Details ---

std::vector<std::shared_ptr<Detail>> Delivery::sortedDetails() const {
  auto lines = details();
  std::stable_sort(lines.begin(), lines.end(),
                   [](const auto& a, const auto& b) { return a->index() < b->index(); });
  return lines;
}

std::shared_ptr<Detail> Delivery::selectedDetail() const {
  if (details().empty()) return nullptr;
  return detailWithIndex(selected());
}

std::shared_ptr<Detail> Delivery::detailWithIndex(std::int64_t index) const {
  for (const auto& line : details()) {
    if (line->index() == index) return line;
  }
  return nullptr;
}

std::optional<std::string> Delivery::detailsJSON() const {
  if (hasText(tap())) return std::nullopt;
  const auto lines = sortedDetails();
  if (lines.empty() || updatedTime() < 1.0) return std::string();

  Dictionary object;
  object.set("uuid", Value(uuid()));
  object.set("hash", settingsHash());
  object.set("interval", (nextUpdate() - Date::now().timeIntervalSince1970()) / 60.0);
  object.set("status", 2);
  addIfSet(object, F::url);
  addIfSet(object, F::mobileURL);
  Array items;
  items.reserve(lines.size());
  for (const auto& line : lines) items.emplace_back(line->attributes());
  object.set("items", std::move(items));

  QBYError error;
  auto json = Value(std::move(object)).toJSON(false, &error);
  if (!json) {
    log("Error converting details to JSON: %@, %@", error, Value(error.userInfo));
    return std::nullopt;
  }
  return json;
}

int Delivery::displayTypeForDetail(const std::shared_ptr<Detail>& detail) const {
  return detail ? detail->displayType() : 0;
}

// --- Links ---

std::optional<URL> Delivery::onlineURL() const {
  return onlineURLForMobile(false);
}

std::optional<URL> Delivery::onlineURLForMobile(bool mobile) const {
  const auto desktop = url();
  if (!hasText(desktop)) return std::nullopt;
  if (mobile) {
    if (auto phone = mobileURL(); hasText(phone)) return modeltext::addressFromText(phone);
  }
  return modeltext::addressFromText(desktop);
}

std::optional<URL> Delivery::showURL() const {
  return urlForAction("show", uuid());
}

std::optional<URL> Delivery::editURL() const {
  return urlForAction("edit", uuid());
}

std::optional<URL> Delivery::urlForAction(std::string_view action,
                                          const std::optional<std::string>& uuid) {
  if (!uuid) return std::nullopt;
  // Built from components so that an identifier from elsewhere cannot break the address.
  URLComponents components;
  components.scheme = "porvane";
  components.host = std::string(action);
  components.path = "/" + *uuid;
  return components.url();
}

std::optional<std::string> Delivery::extraDomain() const {
  const auto value = extra();
  if (!modeltext::isWebAddress(value)) return std::nullopt;
  const auto host = modeltext::hostOfText(value);
  if (!host) return std::nullopt;
  return modeltext::domainDisplayName(*host);
}

std::optional<std::string> Delivery::regionName() const {
  auto key = from();
  if (key == std::optional<std::string>(ServiceKey::AmazonOrderLink)) {
    const auto value = extra();
    if (!modeltext::isWebAddress(value)) return std::nullopt;
    key = modeltext::hostOfText(value);
    if (!key) return std::nullopt;
    // The charity shop front "smile." is the same national shop as "www.".
    for (std::string_view prefix : {"www.amazon.", "smile.amazon."}) {
      if (key->starts_with(prefix)) {
        *key = "www.amazon." + key->substr(prefix.size());
        break;
      }
    }
  }
  return Service::regionNameForDomain(key);
}

// --- Texts ---

std::string Delivery::pasteboardTitle() const {
  std::string title;
  if (const auto line = selectedDetail()) {
    title = modeltext::cutToLength(line->itemName().value_or(""), 50);
  }
  const auto number = no();
  if (hasText(number) && *number != title) {
    // Without an item name the number stands alone rather than after an empty title.
    title = title.empty() ? *number : format("%@: %@", title, *number);
  }
  return title;
}

std::string Delivery::pasteboardString() const {
  std::string text = pasteboardTitle();
  if (const auto link = url(); hasText(link)) text += " " + *link;
  return text;
}

std::vector<std::string> Delivery::basicSearchKeywords() const {
  std::vector<std::string> keywords;
  const auto add = [&](const std::optional<std::string>& value) {
    if (hasText(value)) keywords.push_back(*value);
  };
  add(name());
  add(no());
  if (const auto owner = service()) add(owner->localizedName());
  add(extra());
  add(url());
  return keywords;
}

std::string Delivery::basicSearchText() const {
  std::string text;
  for (const auto& keyword : basicSearchKeywords()) {
    if (!text.empty()) text += ' ';
    text += keyword;
  }
  return text;
}

std::string Delivery::generatedSearchText() const {
  std::string text = basicSearchText();
  for (const auto& line : details()) text += " " + line->generatedSearchText();
  return text;
}

std::vector<std::string> Delivery::generatedSearchKeywordsForDetail(
    const std::shared_ptr<Detail>& detail) const {
  auto keywords = basicSearchKeywords();
  if (detail) {
    if (auto day = detail->deliveredDateString(); hasText(day)) keywords.push_back(*day);
  }
  return keywords;
}

std::string Delivery::titleLimitedToLength(std::size_t n) const {
  return modeltext::limitByWords(historyTitle().value_or(""), n);
}

// --- Changes ---

void Delivery::setSelected(std::optional<std::int64_t> selected) {
  const auto count = static_cast<std::int64_t>(details().size());
  std::int64_t index = selected.value_or(0);
  if (index < 0) index = count - 1;
  if (index != 0 && index >= count) index = 0;
  // A negative request on a delivery without details would otherwise store -1.
  if (index < 0) index = 0;
  setIntegerAt(F::selected, index);
  updateDeliveryDateSortIndex();
}

std::int64_t Delivery::incrementSelected(std::int64_t delta) {
  if (details().size() < 2) return selected();
  setSelected(selected() + delta);
  return selected();
}

void Delivery::markForUpdate() {
  setNextUpdate(0);
  setBackgroundUpdate(0);
}

void Delivery::prepareForSignIn() {
  updateItemCache(ItemCacheClear);
  markForUpdate();
}

void Delivery::updateHistoryTitle() {
  const auto line = selectedDetail();
  setHistoryTitle(line ? line->itemName() : std::nullopt);
}

void Delivery::updateSortIndexes() {
  updateDeliveryDateSortIndex();
  updateStatusChangedOrModifiedDate();
}

void Delivery::updateDeliveryDateSortIndex() {
  const auto line = detailWithIndex(selected());
  setDeliveryDateSortIndex(line ? line->deliveryDateSortIndex() : kNoDetailSortIndex);
}

void Delivery::updateStatusChangedOrModifiedDate() {
  if (auto changed = statusChangedDate()) {
    setStatusChangedOrModifiedDate(changed);
  } else if (hasValueAt(kModified)) {
    setStatusChangedOrModifiedDate(Date(modified()));
  } else {
    setStatusChangedOrModifiedDate(std::nullopt);
  }
}

void Delivery::updateItemCache(int mode) {
  const auto lines = sortedDetails();
  if (mode == ItemCacheClear) {
    for (const auto& line : lines) line->setUrl(std::nullopt);
    setItemCacheJSON(std::nullopt);
    return;
  }
  Array items;
  for (const auto& line : lines) {
    const auto itemName = line->itemName();
    const auto link = line->url();
    if (hasText(itemName) && hasText(link)) {
      items.emplace_back(Dictionary{{"itemName", *itemName}, {"url", *link}});
    }
  }
  if (!items.empty() && items.size() == lines.size()) {
    // A cache that cannot be written keeps the previous one.
    if (auto json = Value(std::move(items)).toJSON()) setItemCacheJSON(std::move(json));
    return;
  }
  if (mode == ItemCacheReplace) setItemCacheJSON(std::nullopt);
}

}  // namespace qby
