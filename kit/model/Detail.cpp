#include "model/Detail.h"

#include <unicode/locid.h>
#include <unicode/numberformatter.h>

#include <array>

#include "model/Delivery.h"
#include "model/ModelText.h"
#include "model/TemplateText.h"
#include "platform/Format.h"
#include "platform/Localization.h"
#include "platform/QBYError.h"
#include "presentation/QBYDateFormatter.h"

namespace qby {
namespace {

constexpr const char* kCheckmark = "checkmark";
constexpr const char* kError = "error";
constexpr const char* kTransit = "transit";

// The stored attributes of the dictionary form, in its key order.
constexpr std::array kAttributeOrder = {
    DetailField::itemName,
    DetailField::shippedText,
    DetailField::shippedDateString,
    DetailField::shippedExtra,
    DetailField::deliveredText,
    DetailField::deliveredDateString,
    DetailField::deliveredExtra,
    DetailField::statusDateString,
    DetailField::dateString,
    DetailField::location,
    DetailField::route,
    DetailField::icon,
    DetailField::shippedBold,
    DetailField::deliveredBold,
    DetailField::url,
};

// The locale's plain number style, with the grouping the locale uses.
std::string plainNumber(long number) {
  UErrorCode status = U_ZERO_ERROR;
  const auto formatted = icu::number::NumberFormatter::withLocale(icu::Locale::getDefault())
                             .formatInt(number, status)
                             .toString(status);
  if (U_FAILURE(status)) return std::to_string(number);
  std::string result;
  formatted.toUTF8String(result);
  return result;
}

bool iconIs(const std::optional<std::string>& icon, const char* name) {
  return icon && *icon == name;
}

// Scripts report texts, but a number where a text belongs is taken as its text form.
std::optional<std::string> textValue(const Value& value) {
  if (auto text = value.asString()) return text;
  if (value.isNumber()) return value.description();
  return std::nullopt;
}

}  // namespace

std::shared_ptr<Delivery> Detail::delivery() const {
  return toOneAs<Delivery>(DetailField::delivery);
}

void Detail::setDelivery(const std::shared_ptr<Delivery>& delivery) {
  setToOneAt(DetailField::delivery, delivery);
}

void Detail::setShippedDateString(std::optional<std::string> v) {
  setStringAt(DetailField::shippedDateString, std::move(v));
  shippedDate_.reset();
}

void Detail::setDeliveredDateString(std::optional<std::string> v) {
  setStringAt(DetailField::deliveredDateString, std::move(v));
  deliveredDate_.reset();
}

void Detail::setStatusDateString(std::optional<std::string> v) {
  setStringAt(DetailField::statusDateString, std::move(v));
  statusDate_.reset();
}

void Detail::setDateString(std::optional<std::string> v) {
  setStringAt(DetailField::dateString, std::move(v));
  date_.reset();
  daysNumber_.reset();
  daysText_.reset();
}

void Detail::didTurnIntoFault() {
  date_.reset();
  deliveredDate_.reset();
  shippedDate_.reset();
  statusDate_.reset();
  daysNumber_.reset();
  daysText_.reset();
}

Dictionary Detail::attributes() const {
  Dictionary result;
  for (int field : kAttributeOrder) {
    const Value& value = primitiveValue(field);
    if (!value.isNull()) result.set(entity().attributes[field].name, value);
  }
  return result;
}

void Detail::setAttributes(const Dictionary& attributes) {
  const auto text = [&](const char* key) { return textValue(attributes[key]); };
  setItemName(text("itemName"));
  setShippedText(text("shippedText"));
  setShippedDateString(text("shippedDateString"));
  setShippedExtra(text("shippedExtra"));
  setDeliveredText(text("deliveredText"));
  setDeliveredDateString(text("deliveredDateString"));
  setDeliveredExtra(text("deliveredExtra"));
  setStatusDateString(text("statusDateString"));
  setDateString(text("dateString"));
  setLocation(text("location"));
  setRoute(text("route"));
  setIcon(text("icon"));
  for (int field : {DetailField::shippedBold, DetailField::deliveredBold}) {
    if (auto flag = attributes[entity().attributes[field].name].asBool()) {
      setBoolAt(field, *flag);
    } else {
      setPrimitiveValue(field, Value());
    }
  }
  setUrl(text("url"));
}

bool Detail::hasError() const {
  return iconIs(icon(), kError);
}

bool Detail::isDelivered() const {
  return iconIs(icon(), kCheckmark);
}

int Detail::displayType() {
  if (!daysNumber().empty()) return 1;
  if (isDelivered()) return 2;
  return 0;
}

std::optional<Date> Detail::cachedDate(std::optional<Date>& cache, int attribute) const {
  if (!cache) {
    const auto text = stringAt(attribute);
    if (!text) return std::nullopt;
    cache = QBYDateFormatter::sharedFormatter().dateFromString(std::string_view(*text));
  }
  return cache;
}

std::optional<Date> Detail::date() const {
  return cachedDate(date_, DetailField::dateString);
}
std::optional<Date> Detail::deliveredDate() const {
  return cachedDate(deliveredDate_, DetailField::deliveredDateString);
}
std::optional<Date> Detail::shippedDate() const {
  return cachedDate(shippedDate_, DetailField::shippedDateString);
}
std::optional<Date> Detail::statusDate() const {
  return cachedDate(statusDate_, DetailField::statusDateString);
}

std::string Detail::daysNumber() {
  if (!daysNumber_ || !daysText_) refreshDayCount();
  return *daysNumber_;
}

std::string Detail::daysText() {
  if (!daysNumber_ || !daysText_) refreshDayCount();
  return *daysText_;
}

void Detail::refreshDayCount() {
  daysNumber_ = "";
  daysText_ = "";
  if (modeltext::hasText(icon())) return;

  const auto expected = date();
  auto& formatter = QBYDateFormatter::sharedFormatter();
  const Calendar calendar = formatter.calendar();
  const long days = expected ? calendar.daysUntilDate(*expected) : -1;
  if (!expected || days < 0) {
    // A past day the user gave for a plain web page means the parcel has arrived.
    const auto owner = delivery();
    const char* newIcon = (owner && owner->isOther() && expected) ? kCheckmark : kTransit;
    if (!iconIs(icon(), newIcon)) setIcon(std::string(newIcon));
    return;
  }
  if (days > 99) {
    const long months = calendar.monthsUntilDate(*expected);
    daysNumber_ = months > 99 ? std::string("+") : plainNumber(months);
    daysText_ = QBYLocalizedString("months");
    return;
  }
  daysNumber_ = plainNumber(days);
  daysText_ = QBYLocalizedString(days == 1 ? "day" : "days");
}

double Detail::deliveryDateSortIndex() const {
  if (hasError()) return kErrorSortIndex;
  const double delivered = deliveredDate() ? deliveredDate()->timeIntervalSince1970() : 0;
  double index;
  if (delivered < 1.0) {
    const double shipped = shippedDate() ? shippedDate()->timeIntervalSince1970() : 0;
    index = shipped > 1.0 ? shipped + kShippedOnlyOffset : delivered;
  } else {
    index = isDelivered() ? delivered - kDeliveredAdvance : delivered;
  }
  if (index < 1.0) index = kUndatedSortIndex;
  return index;
}

std::string Detail::generatedSearchText() const {
  const auto orEmpty = [](const std::optional<std::string>& text) { return text.value_or(""); };
  std::string result =
      format("%@ %@ %@ ", orEmpty(itemName()), orEmpty(location()), orEmpty(shippedText()));
  const auto deliveredDay = deliveredDateString();
  if (isDelivered()) {
    const auto text = deliveredText();
    if (text && text->find("%@") != std::string::npos) {
      result += modeltext::replaceAll(*text, "%@", orEmpty(deliveredDay));
    } else if (text || deliveredDay) {
      result += orEmpty(text) + " " + orEmpty(deliveredDay);
    }
  } else if (deliveredDay) {
    result += *deliveredDay;
  }
  return result;
}

std::string Detail::summaryOfLength(std::size_t n) const {
  std::string summary = itemName().value_or("");
  if (const auto shipped = shippedText(); modeltext::hasText(shipped)) {
    summary = format("%@: %@", summary, *shipped);
  }
  return modeltext::cutToLength(summary, n);
}

std::optional<std::string> Detail::shippedTextWithDateFormatter(QBYDateFormatter& formatter,
                                                                int relative) const {
  const auto text = shippedText();
  if (!modeltext::hasText(text)) return std::nullopt;
  const auto day = shippedDate();
  std::optional<std::string> phrased;
  if (day) phrased = formatter.displayDate(day, relative);
  return stringWithDate(*text, phrased);
}

std::optional<std::string> Detail::deliveredTextWithDateFormatter(QBYDateFormatter& formatter,
                                                                  int relative) const {
  const auto text = deliveredText();
  if (!modeltext::hasText(text)) return std::nullopt;
  const auto day = deliveredDate();
  std::optional<std::string> phrased;
  if (day) phrased = formatter.displayDate(day, relative);
  return stringWithDate(*text, phrased);
}

}  // namespace qby
