#include "PanelStatus.h"

#include "SafeText.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "platform/Format.h"
#include "platform/Localization.h"
#include "presentation/QBYDateFormatter.h"

namespace porvane {
namespace {

// A panel shows a text as it is: a name from another machine must not break its line or
// carry a terminal's escape sequence into a bar that passes it on.
std::string panelText(const std::string& text) {
  return terminalText(validUTF8(text));
}

}  // namespace

PanelStatus panelStatus(const std::vector<std::shared_ptr<qby::Delivery>>& deliveries,
                        qby::QBYDateFormatter& formatter, bool updating, qby::Date now) {
  PanelStatus status;
  status.updating = updating;
  qby::Calendar calendar = formatter.calendar();
  std::optional<qby::Date> soonest;
  for (const auto& delivery : deliveries) {
    if (!delivery || delivery->archived() || delivery->removed()) continue;
    ++status.count;
    for (const auto& detail : delivery->sortedDetails()) {
      if (detail->hasError() || detail->isDelivered()) continue;
      const auto expected = detail->date();
      if (!expected) continue;
      const long days = calendar.daysUntilDate(*expected, now);
      if (days < 0) continue;
      // Ties keep the list's order: the first delivery the user sees wins.
      if (soonest && *expected >= *soonest) continue;
      soonest = expected;
      NextDelivery next;
      next.id = delivery->uuid().value_or("");
      const auto item = detail->itemName();
      next.title = item && !item->empty() ? *item : delivery->defaultTitle();
      next.service = delivery->serviceName().value_or("");
      next.date = formatter.stringFromDate(*expected).value_or("");
      next.days = days;
      next.dateText = formatter.displayDate(
          *expected, qby::QBYDateFormatter::QBYRelativeYesterdayToWeekAhead, now);
      status.next = std::move(next);
    }
  }
  return status;
}

std::string PanelStatus::text() const {
  std::string result = std::to_string(count);
  if (next) result += " · " + panelText(next->dateText);
  return result;
}

std::string PanelStatus::tooltip() const {
  std::string result =
      qby::format(qby::QBYLocalizedString("Active deliveries: %@"), std::to_string(count));
  if (next) {
    const std::string title =
        next->service.empty()
            ? next->title
            : qby::format(qby::QBYLocalizedString("%@ — %@"), next->title, next->service);
    result += "\n" + qby::format(qby::QBYLocalizedString("Next: %@, %@"), panelText(title),
                                 panelText(next->dateText));
  }
  if (updating) result += "\n" + qby::QBYLocalizedString("Updating…");
  return result;
}

std::string PanelStatus::cssClass() const {
  if (count == 0) return "empty";
  if (next && next->days == 0) return "today";
  return "active";
}

qby::Value PanelStatus::json() const {
  qby::Dictionary result;
  const std::string shortText = text();
  const std::string cls = cssClass();
  result.set("text", shortText);
  result.set("tooltip", tooltip());
  result.set("class", cls);
  result.set("alt", cls);
  result.set("full_text", shortText);
  result.set("short_text", std::to_string(count));
  result.set("count", static_cast<long long>(count));
  result.set("updating", updating);
  if (next) {
    result.set("next", qby::Dictionary{{"id", panelText(next->id)},
                                       {"title", panelText(next->title)},
                                       {"service", panelText(next->service)},
                                       {"date", next->date},
                                       {"days", static_cast<long long>(next->days)},
                                       {"dateText", panelText(next->dateText)}});
  } else {
    result.set("next", qby::Value());
  }
  return qby::Value(std::move(result));
}

}  // namespace porvane
