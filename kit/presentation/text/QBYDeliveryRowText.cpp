#include "presentation/text/QBYDeliveryRowText.h"

#include "model/Delivery.h"
#include "model/Detail.h"
#include "model/ModelText.h"
#include "presentation/QBYDateFormatter.h"
#include "presentation/text/TemplateMarkup.h"

namespace qby {

namespace {

constexpr const char* kBlank = " ";
// Opacity of the package dots: the compact style is drawn on a bright background; an archived
// row is dimmed.
constexpr double kCompactIndicatorOpacity = 0.85;
constexpr double kArchivedIndicatorOpacity = 0.45;
constexpr double kActiveIndicatorOpacity = 0.75;

struct FilledLine {
  std::string text = kBlank;
  std::string markup = kBlank;
};

FilledLine filledLine(const std::optional<std::string>& templateText, std::optional<Date> date,
                      bool bold, QBYDateFormatter& formatter) {
  if (!modeltext::hasText(templateText)) return {};
  const std::string day =
      formatter.displayDate(date, QBYDateFormatter::QBYRelativeYesterdayToWeekAhead);
  FilledLine line;
  line.text = validText(stringWithDate(*templateText, day));
  line.markup = attributedStringWithDate(*templateText, day, bold);
  if (line.text.empty()) line = {};
  return line;
}

std::string orBlank(std::string text) {
  return text.empty() ? std::string(kBlank) : text;
}

}  // namespace

QBYDeliveryRowText QBYDeliveryRowText::forDelivery(const Delivery* delivery, Detail* detail,
                                                   QBYDateFormatter& formatter, int displayStyle) {
  QBYDeliveryRowText row;
  if (!delivery || !detail) {
    if (delivery && modeltext::hasText(delivery->message())) {
      row.status = validText(*delivery->message());
      row.statusMarkup = markupEscaped(*delivery->message());
    }
    row.statusIsMessage = true;
    return row;
  }

  const bool compact = displayStyle == QBYDisplayStyleCompact;
  std::string title = detail->itemName().value_or("");
  // A carrier that names the item by its tracking number says nothing the short row can use.
  if (const auto number = delivery->no();
      compact && modeltext::hasText(number) && title.find(*number) != std::string::npos)
    title = delivery->titleForEmail();
  row.title = orBlank(validText(title));
  row.titleMarkup = orBlank(markupEscaped(title));

  if (const std::size_t count = delivery->details().size(); count >= 2) {
    QBYPackageIndicator indicator;
    indicator.number = delivery->selected() + 1;
    indicator.count = count;
    indicator.opacity = compact                ? kCompactIndicatorOpacity
                        : delivery->archived() ? kArchivedIndicatorOpacity
                                               : kActiveIndicatorOpacity;
    row.package = indicator;
  }

  const FilledLine status =
      filledLine(detail->shippedText(), detail->shippedDate(), detail->shippedBold(), formatter);
  row.status = status.text;
  row.statusMarkup = status.markup;
  const FilledLine deliver = filledLine(detail->deliveredText(), detail->deliveredDate(),
                                        detail->deliveredBold(), formatter);
  row.deliver = deliver.text;
  row.deliverMarkup = deliver.markup;
  row.daysNumber = validText(detail->daysNumber());
  row.daysText = validText(detail->daysText());
  return row;
}

}  // namespace qby
