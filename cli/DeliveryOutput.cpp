#include "DeliveryOutput.h"

#include <cmath>
#include "AddInput.h"

#include "model/Delivery.h"
#include "model/Detail.h"
#include "model/ModelText.h"
#include "model/Service.h"
#include "model/Setting.h"
#include "model/TemplateText.h"
#include "platform/Format.h"
#include "platform/Localization.h"
#include "presentation/QBYDateFormatter.h"

namespace porvane {

namespace {

using qby::QBYLocalizedString;

constexpr const char* kUnknownItem = "Unknown Item";
// Width of the day-count column of the list, in characters.
constexpr std::size_t kBadgeWidth = 10;

std::string padded(const std::string& text, std::size_t width) {
  const std::size_t count = characterCount(text);
  return count >= width ? text + " " : text + std::string(width - count, ' ');
}

bool hasText(const std::optional<std::string>& text) {
  return qby::modeltext::hasText(text);
}

qby::Value textOrNull(const std::optional<std::string>& text) {
  return hasText(text) ? qby::Value(*text) : qby::Value();
}

qby::Value timeOrNull(double seconds, qby::QBYDateFormatter& formatter) {
  if (!(seconds > 1.0)) return {};
  return qby::Value(formatter.dateTimeStringFromDate(qby::Date(seconds)));
}

qby::Value timeOrNull(const std::optional<qby::Date>& date, qby::QBYDateFormatter& formatter) {
  if (!date) return {};
  return timeOrNull(date->timeIntervalSince1970(), formatter);
}

std::string line(const std::optional<std::string>& text) {
  return text.value_or("");
}

// "2/3": which of several packages the row shows.
std::string packageIndicator(std::int64_t index, std::size_t count) {
  if (count < 2) return "";
  return std::to_string(index + 1) + "/" + std::to_string(count);
}

std::string nextUpdateText(qby::Delivery& delivery, qby::QBYDateFormatter& formatter) {
  const double next = delivery.nextUpdate();
  if (delivery.archived()) return "";
  if (!(next > 1.0)) return "due now";
  const double seconds = next - qby::Date::now().timeIntervalSince1970();
  if (seconds < 60) return "due now";
  return "in " + formatter.durationText(seconds);
}

}  // namespace

std::string shortID(const std::optional<std::string>& uuid) {
  if (!hasText(uuid)) return "-";
  return uuid->substr(0, kShortIDLength);
}

DeliveryRow rowForDelivery(qby::Delivery& delivery, qby::QBYDateFormatter& formatter) {
  DeliveryRow row;
  row.id = delivery.uuid().value_or("");
  row.archived = delivery.archived();
  row.service = delivery.serviceName().value_or("");
  const auto detail = delivery.selectedDetail();
  if (!detail) {
    row.title = delivery.defaultTitle();
    row.status = qby::modeltext::trimmed(line(delivery.message()));
    return row;
  }
  row.title = hasText(detail->itemName()) ? *detail->itemName() : delivery.defaultTitle();
  row.package = packageIndicator(delivery.selected(), delivery.details().size());
  row.status = line(detail->shippedTextWithDateFormatter(
      formatter, qby::QBYDateFormatter::QBYRelativeYesterdayToWeekAhead));
  row.deliver = line(detail->deliveredTextWithDateFormatter(
      formatter, qby::QBYDateFormatter::QBYRelativeYesterdayToWeekAhead));
  row.days = detail->daysNumber();
  row.daysText = detail->daysText();
  return row;
}

std::string textForRow(const DeliveryRow& row) {
  const std::string indent(kShortIDLength + 2 + kBadgeWidth, ' ');
  std::string badge = row.days.empty() ? "" : row.days + " " + row.daysText;
  std::string text = padded(shortID(row.id), kShortIDLength + 2) + padded(badge, kBadgeWidth);
  text += row.title;
  if (!row.package.empty()) text += " (" + row.package + ")";
  if (!row.service.empty()) text += " · " + row.service;
  if (row.archived) text += " [archived]";
  text += "\n";
  for (const std::string* extra : {&row.status, &row.deliver}) {
    if (qby::modeltext::trimmed(*extra).empty()) continue;
    text += indent + *extra + "\n";
  }
  return text;
}

std::string detailText(qby::Delivery& delivery, qby::QBYDateFormatter& formatter) {
  using Mode = qby::QBYDateFormatter::RelativeMode;
  const auto service = delivery.service();
  const std::string number = qby::modeltext::trimmed(line(delivery.no()));
  const auto domain = delivery.extraDomain();
  const std::string extra = domain ? *domain : qby::modeltext::trimmed(line(delivery.extra()));
  const std::string name = qby::modeltext::trimmed(line(delivery.name()));
  bool showNumber = !number.empty();
  bool showExtra = !extra.empty();

  std::string title;
  if (!name.empty()) {
    title = name;
  } else if (showNumber) {
    title = number;
    showNumber = false;
  } else if (domain && !domain->empty()) {
    title = extra;
    showExtra = false;
  } else {
    title = QBYLocalizedString(kUnknownItem);
  }
  std::string text = title + "\n";

  const auto details = delivery.sortedDetails();
  const std::size_t count = details.size();
  for (std::size_t i = 0; i < count; ++i) {
    auto& detail = *details[i];
    std::string item =
        hasText(detail.itemName()) ? *detail.itemName() : QBYLocalizedString(kUnknownItem);
    // A carrier that repeats the delivery's name before each item says nothing new.
    const std::string prefix = name + ": ";
    if (!name.empty() && characterCount(item) > characterCount(name) + 2 &&
        item.starts_with(prefix))
      item.erase(0, prefix.size());
    const std::string indent = count >= 2 ? "  " : "";
    if (count >= 2)
      text += "(" + packageIndicator(static_cast<std::int64_t>(i), count) + ") " + item + "\n";
    else if (item != title)
      text += item + "\n";
    if (const std::string days = detail.daysNumber(); !days.empty())
      text += indent + qby::format("%@ %@", days, detail.daysText()) + "\n";
    const auto shipped = detail.shippedTextWithDateFormatter(formatter, Mode::QBYRelativeNever);
    if (hasText(shipped)) text += indent + *shipped + "\n";
    if (hasText(detail.shippedExtra()) && detail.shippedExtra() != detail.shippedText()) {
      const std::string day =
          formatter.displayDate(detail.statusDate(), Mode::QBYRelativeYesterdayToToday);
      text += indent + qby::stringWithDate(*detail.shippedExtra(), day) + "\n";
    }
    const auto delivered = detail.deliveredTextWithDateFormatter(formatter, Mode::QBYRelativeNever);
    if (hasText(delivered)) text += indent + *delivered + "\n";
    if (hasText(detail.deliveredExtra()) && detail.deliveredExtra() != detail.deliveredText()) {
      const std::string day = formatter.displayDate(detail.deliveredDate(), Mode::QBYRelativeNever);
      text += indent + qby::stringWithDate(*detail.deliveredExtra(), day) + "\n";
    }
  }

  std::vector<std::string> footer;
  if (!(service && service->isOther()) && !delivery.isOther()) {
    if (delivery.updating() && !delivery.archived()) {
      footer.push_back(hasText(delivery.message()) ? *delivery.message()
                                                   : QBYLocalizedString("Updating…"));
    } else {
      const auto refreshed = formatter.updatedText("Refreshed %@", delivery.updatedDate());
      footer.push_back(refreshed ? *refreshed : QBYLocalizedString("Never updated"));
    }
  }
  if (showNumber) {
    const std::string label = service && service->hasSettingOfType("no")
                                  ? service->localizedNameForSettingOfType("no")
                                  : QBYLocalizedString("Tracking No.");
    footer.push_back(qby::format("%@: %@", label, number));
  }
  if (showExtra) {
    const std::string label = service && service->hasSettingOfType("extra")
                                  ? service->localizedNameForSettingOfType("extra")
                                  : QBYLocalizedString("Extra");
    footer.push_back(qby::format("%@: %@", label, extra));
  }
  for (const auto& entry : footer) text += entry + "\n";

  // What a terminal user needs beyond the detail pane: the ID for the other commands, where
  // the delivery is tracked, when it is looked at next, and the carrier's page.
  text += "\n";
  text += "ID:          " + delivery.uuid().value_or("-") + "\n";
  const auto serviceName = delivery.serviceName();
  text += "Service:     " +
          (hasText(serviceName) ? *serviceName + " (" + line(delivery.from()) + ")"
                                : line(delivery.from())) +
          "\n";
  text += "State:       " + stateForDelivery(delivery) + "\n";
  if (const std::string next = nextUpdateText(delivery, formatter); !next.empty())
    text += "Next update: " + next + "\n";
  if (const auto url = delivery.onlineURL()) text += "Link:        " + url->absoluteString() + "\n";
  return text;
}

std::string stateForDelivery(qby::Delivery& delivery) {
  if (delivery.archived()) return "archived";
  if (delivery.isComplete()) return "delivered";
  if (delivery.requiresSignIn()) return "signin";
  // A saved delivery stays flagged for update until its first results arrive; until then it
  // is waiting, whether or not a run has picked it up yet.
  if (!(delivery.updatedTime() > 1.0) && !delivery.hasError()) return "pending";
  if (delivery.isUpdating()) return "updating";
  if (delivery.shouldShowError()) return "error";
  return "transit";
}

qby::Value jsonForDelivery(qby::Delivery& delivery, qby::QBYDateFormatter& formatter,
                           bool withItems) {
  const DeliveryRow row = rowForDelivery(delivery, formatter);
  qby::Dictionary object;
  object.set("id", qby::Value(delivery.uuid()));
  object.set("title", qby::Value(delivery.defaultTitle()));
  object.set("name", textOrNull(delivery.name()));
  object.set("service", textOrNull(delivery.from()));
  object.set("serviceName", textOrNull(delivery.serviceName()));
  object.set("number", textOrNull(delivery.no()));
  object.set("extra", textOrNull(delivery.extra()));
  object.set("date", textOrNull(delivery.date()));
  object.set("state", qby::Value(stateForDelivery(delivery)));
  object.set("archived", qby::Value(delivery.archived()));
  object.set("updating", qby::Value(delivery.updating()));
  object.set("complete", qby::Value(delivery.isComplete()));
  object.set("error", qby::Value(delivery.shouldShowError()));
  object.set("signIn", qby::Value(delivery.requiresSignIn()));
  object.set("message", textOrNull(delivery.message()));
  const auto url = delivery.onlineURL();
  object.set("url", url ? qby::Value(url->absoluteString()) : qby::Value());
  object.set("updated", timeOrNull(delivery.updatedTime(), formatter));
  object.set("updatedText",
             qby::Value(formatter.updatedText(std::nullopt, delivery.updatedDate())));
  object.set("nextUpdate", timeOrNull(delivery.nextUpdate(), formatter));
  object.set("backgroundUpdate", timeOrNull(delivery.backgroundUpdate(), formatter));
  object.set("statusChanged", timeOrNull(delivery.statusChangedDate(), formatter));
  object.set("modified", timeOrNull(delivery.modified(), formatter));
  object.set("packages", qby::Value(static_cast<std::int64_t>(delivery.details().size())));
  object.set("selected", qby::Value(delivery.selected()));
  object.set("row", qby::Value(qby::Dictionary{
                        {"title", qby::Value(row.title)},
                        {"package", qby::Value(row.package)},
                        {"status", qby::Value(row.status)},
                        {"deliver", qby::Value(row.deliver)},
                        {"days", qby::Value(row.days)},
                        {"daysText", qby::Value(row.daysText)},
                    }));
  if (withItems) {
    using Mode = qby::QBYDateFormatter::RelativeMode;
    qby::Array items;
    for (const auto& detail : delivery.sortedDetails()) {
      const std::string days = detail->daysNumber();
      items.emplace_back(qby::Dictionary{
          {"index", qby::Value(detail->index())},
          {"itemName", textOrNull(detail->itemName())},
          {"icon", textOrNull(detail->icon())},
          {"delivered", qby::Value(detail->isDelivered())},
          {"location", textOrNull(detail->location())},
          {"shipped",
           textOrNull(detail->shippedTextWithDateFormatter(formatter, Mode::QBYRelativeNever))},
          {"delivery",
           textOrNull(detail->deliveredTextWithDateFormatter(formatter, Mode::QBYRelativeNever))},
          {"shippedDate", textOrNull(detail->shippedDateString())},
          {"deliveredDate", textOrNull(detail->deliveredDateString())},
          {"expectedDate", textOrNull(detail->dateString())},
          {"statusDate", textOrNull(detail->statusDateString())},
          {"days", qby::Value(days)},
          {"daysText", qby::Value(detail->daysText())},
          {"error", qby::Value(detail->hasError())},
          {"url", textOrNull(detail->url())},
      });
    }
    object.set("items", qby::Value(std::move(items)));
  }
  return qby::Value(std::move(object));
}

qby::Value jsonForService(const qby::Service& service) {
  qby::Array settings;
  for (const auto& setting : service.settings()) {
    const std::string type = setting->type().value_or("");
    settings.emplace_back(qby::Dictionary{
        {"type", qby::Value(type)},
        {"label", qby::Value(service.localizedNameForSettingOfType(type))},
        {"required", qby::Value(setting->required())},
        {"inputType", textOrNull(setting->inputType())},
    });
  }
  return qby::Value(qby::Dictionary{
      {"key", textOrNull(service.from())},
      {"name", textOrNull(service.localizedName())},
      {"region", textOrNull(service.region())},
      {"favorite", qby::Value(service.useCount() > 0)},
      {"settings", qby::Value(std::move(settings))},
  });
}

std::string jsonText(const qby::Value& value) {
  return value.toJSON(true).value_or("null") + "\n";
}

}  // namespace porvane
