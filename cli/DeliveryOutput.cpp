#include "DeliveryOutput.h"

#include <cmath>

#include "AddInput.h"
#include "SafeText.h"

#include "model/Delivery.h"
#include "model/Detail.h"
#include "model/ModelText.h"
#include "model/Service.h"
#include "model/Setting.h"
#include "model/TemplateText.h"
#include "platform/Format.h"
#include "platform/Localization.h"
#include "presentation/QBYDateFormatter.h"
#include "presentation/text/QBYDeliveryDetailText.h"
#include "presentation/text/QBYDeliveryRowText.h"

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

bool isBlank(const std::string& text) {
  return qby::modeltext::trimmed(text).empty();
}

// A row line as the tool prints it: the single blank that keeps a row view's height is no
// text of its own.
std::string lineText(const std::string& text) {
  return text == " " ? std::string() : text;
}

// "2/3": which of several packages the row shows.
std::string packageIndicator(std::int64_t index, std::size_t count) {
  if (count < 2) return "";
  return std::to_string(index + 1) + "/" + std::to_string(count);
}

std::string nextUpdateText(qby::Delivery& delivery, const DeliveryStatus& status,
                           qby::QBYDateFormatter& formatter) {
  if (delivery.archived()) return "";
  if (status.updating) return "now";
  if (status.due) return "due now";
  const double seconds = delivery.nextUpdate() - qby::Date::now().timeIntervalSince1970();
  if (seconds < 60) return "due now";
  return "in " + formatter.durationText(seconds);
}

// The title the detail pane and the row show when no line names the delivery: its name, its
// number, the site of its web address (a web-page delivery has no number), "Unknown Item".
std::string titleOf(qby::Delivery& delivery) {
  if (const auto name = qby::modeltext::trimmed(line(delivery.name())); !name.empty()) return name;
  if (const auto number = qby::modeltext::trimmed(line(delivery.no())); !number.empty())
    return number;
  if (const auto domain = delivery.extraDomain(); domain && !domain->empty()) return *domain;
  return QBYLocalizedString(kUnknownItem);
}

// Whether the delivery's lines are what its failed first update reported (a "warning" line
// saying the update failed) rather than tracking lines.
bool linesReportFailure(qby::Delivery& delivery, const DeliveryStatus& status) {
  return status.error && !(delivery.updatedTime() >= 1.0);
}

}  // namespace

std::string shortID(const std::optional<std::string>& uuid) {
  if (!hasText(uuid)) return "-";
  return uuid->substr(0, kShortIDLength);
}

DeliveryRow rowForDelivery(qby::Delivery& delivery, qby::QBYDateFormatter& formatter) {
  const auto detail = delivery.selectedDetail();
  const auto text = qby::QBYDeliveryRowText::forDelivery(
      &delivery, detail.get(), formatter, qby::QBYDeliveryRowText::QBYDisplayStyleNormal);
  DeliveryRow row;
  row.id = delivery.uuid().value_or("");
  row.archived = delivery.archived();
  row.service = delivery.serviceName().value_or("");
  // The list's title column names every delivery; a row view would leave a blank there.
  row.title = isBlank(text.title) ? titleOf(delivery) : text.title;
  row.status = text.statusIsMessage ? qby::modeltext::trimmed(text.status) : lineText(text.status);
  row.deliver = lineText(text.deliver);
  if (text.package) row.package = packageIndicator(text.package->number - 1, text.package->count);
  row.days = text.daysNumber;
  row.daysText = text.daysText;
  return row;
}

std::string textForRow(const DeliveryRow& row) {
  // Every text here may come from another machine or a carrier's page: controls are shown,
  // not obeyed, and a line break in a name cannot start a row of its own.
  const std::string indent(kShortIDLength + 2 + kBadgeWidth, ' ');
  std::string badge = row.days.empty() ? "" : terminalText(row.days + " " + row.daysText);
  std::string text =
      padded(terminalText(shortID(row.id)), kShortIDLength + 2) + padded(badge, kBadgeWidth);
  text += terminalText(row.title);
  if (!row.package.empty()) text += " (" + terminalText(row.package) + ")";
  if (!row.service.empty()) text += " · " + terminalText(row.service);
  if (row.archived) text += " [archived]";
  text += "\n";
  for (const std::string* extra : {&row.status, &row.deliver}) {
    if (qby::modeltext::trimmed(*extra).empty()) continue;
    text += indent + terminalText(*extra) + "\n";
  }
  return text;
}

std::string detailText(qby::Delivery& delivery, qby::QBYDateFormatter& formatter,
                       bool updateRunning) {
  using Kind = qby::QBYDeliveryDetailText::LineKind;
  const DeliveryStatus status = statusForDelivery(delivery, updateRunning);
  // "Updating…" only while a run works on it: a delivery waiting for the next run is not
  // being updated, whatever its flag says.
  const auto pane =
      qby::QBYDeliveryDetailText::textForDelivery(&delivery, true, formatter, {}, status.updating);

  // Each line is made safe on its own: the texts come from other machines and carriers'
  // pages, and a control in one must neither steer the terminal nor break the line.
  std::string text;
  const auto addLine = [&text](const std::string& content) {
    text += terminalText(content) + "\n";
  };
  for (const auto& paneLine : pane.lines) {
    if (!paneLine.package || paneLine.packageCount < 2)
      addLine(paneLine.text);
    else if (paneLine.kind == Kind::Item)
      addLine("(" + packageIndicator(*paneLine.package, paneLine.packageCount) + ") " +
              paneLine.text);
    else
      addLine("  " + paneLine.text);
  }

  // What a terminal user needs beyond the detail pane: the ID for the other commands, where
  // the delivery is tracked, what it is doing, when it is looked at next, and the carrier's
  // page.
  text += "\n";
  addLine("ID:          " + delivery.uuid().value_or("-"));
  const auto serviceName = delivery.serviceName();
  addLine("Service:     " + (hasText(serviceName)
                                 ? *serviceName + " (" + line(delivery.from()) + ")"
                                 : line(delivery.from())));
  addLine("State:       " + status.state);
  if (status.error && status.message && !linesReportFailure(delivery, status))
    addLine("Problem:     " + *status.message);
  if (const std::string next = nextUpdateText(delivery, status, formatter); !next.empty())
    addLine("Next update: " + next);
  if (const auto url = delivery.onlineURL()) addLine("Link:        " + url->absoluteString());
  return text;
}

DeliveryStatus statusForDelivery(qby::Delivery& delivery, bool updateRunning) {
  DeliveryStatus status;
  const bool archived = delivery.archived();
  const bool everUpdated = delivery.updatedTime() >= 1.0;
  // Saved and not yet looked at: the flag stays until the first results arrive.
  const bool waiting = delivery.isUpdating();
  status.updating = waiting && updateRunning;
  status.due =
      !archived && (waiting || delivery.nextUpdate() <= qby::Date::now().timeIntervalSince1970());
  // The model counts a delivery that never got results as failing, which holds once a run
  // has tried; before that it is only new.
  status.error =
      !archived && delivery.shouldShowError() && !(waiting && !everUpdated && !delivery.hasError());

  if (archived)
    status.state = "archived";
  else if (delivery.isComplete())
    status.state = "delivered";
  else if (delivery.requiresSignIn())
    status.state = "signin";
  else if (status.updating)
    status.state = "updating";
  else if (status.error)
    status.state = "error";
  else if (!everUpdated)
    status.state = "pending";
  else
    status.state = "transit";

  if (const auto message = qby::modeltext::trimmed(line(delivery.message())); !message.empty()) {
    status.message = message;
  } else if (status.error) {
    // The failure's own words: an error line's text, or the line a failed first update left.
    for (const auto& detail : delivery.sortedDetails()) {
      if (!detail->hasError() && everUpdated) continue;
      const auto shipped = detail->shippedText();
      if (hasText(shipped)) {
        status.message = qby::stringWithDate(*shipped, std::nullopt);
        break;
      }
    }
  }
  return status;
}

std::string stateForDelivery(qby::Delivery& delivery, bool updateRunning) {
  return statusForDelivery(delivery, updateRunning).state;
}

qby::Value jsonForDelivery(qby::Delivery& delivery, qby::QBYDateFormatter& formatter,
                           bool withItems, bool updateRunning) {
  const DeliveryRow row = rowForDelivery(delivery, formatter);
  const DeliveryStatus status = statusForDelivery(delivery, updateRunning);
  qby::Dictionary object;
  object.set("id", qby::Value(delivery.uuid()));
  object.set("title", qby::Value(titleOf(delivery)));
  object.set("name", textOrNull(delivery.name()));
  object.set("service", textOrNull(delivery.from()));
  object.set("serviceName", textOrNull(delivery.serviceName()));
  object.set("number", textOrNull(delivery.no()));
  object.set("extra", textOrNull(delivery.extra()));
  object.set("date", textOrNull(delivery.date()));
  object.set("state", qby::Value(status.state));
  object.set("archived", qby::Value(delivery.archived()));
  object.set("updating", qby::Value(status.updating));
  object.set("complete", qby::Value(delivery.isComplete()));
  object.set("error", qby::Value(status.error));
  object.set("signIn", qby::Value(delivery.requiresSignIn()));
  object.set("message", status.message ? qby::Value(*status.message) : qby::Value());
  const auto url = delivery.onlineURL();
  object.set("url", url ? qby::Value(url->absoluteString()) : qby::Value());
  object.set("updated", timeOrNull(delivery.updatedTime(), formatter));
  object.set("updatedText",
             qby::Value(formatter.updatedText(std::nullopt, delivery.updatedDate())));
  object.set("nextUpdate", timeOrNull(delivery.nextUpdate(), formatter));
  object.set("due", qby::Value(status.due));
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
    const bool failureLines = linesReportFailure(delivery, status);
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
          {"error", qby::Value(detail->hasError() || failureLines)},
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

namespace {

// A copy of the value whose texts and keys are valid UTF-8.
qby::Value withValidTexts(const qby::Value& value) {
  if (const auto* text = value.stringPtr()) return qby::Value(validUTF8(*text));
  if (const auto* array = value.arrayPtr()) {
    qby::Array copy;
    copy.reserve(array->size());
    for (const auto& element : *array) copy.push_back(withValidTexts(element));
    return qby::Value(std::move(copy));
  }
  if (const auto* dictionary = value.dictionaryPtr()) {
    qby::Dictionary copy;
    for (const auto& [key, element] : *dictionary)
      copy.set(validUTF8(key), withValidTexts(element));
    return qby::Value(std::move(copy));
  }
  return value;
}

}  // namespace

std::optional<std::string> jsonTextOrError(const qby::Value& value, std::string* error) {
  qby::QBYError failure;
  auto text = value.toJSON(true, &failure);
  // Texts that are not UTF-8 are the one failure that can be mended; the copy is made only
  // then, so the common case costs nothing extra.
  if (!text) text = withValidTexts(value).toJSON(true, &failure);
  if (!text) {
    if (error) *error = "the output could not be written as JSON: " + failure.localizedDescription;
    return std::nullopt;
  }
  return *text + "\n";
}

std::string jsonText(const qby::Value& value) {
  return jsonTextOrError(value, nullptr).value_or("");
}

}  // namespace porvane
