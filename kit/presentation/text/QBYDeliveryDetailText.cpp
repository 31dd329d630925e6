#include "presentation/text/QBYDeliveryDetailText.h"

#include <glib.h>

#include "model/Delivery.h"
#include "model/Detail.h"
#include "model/ModelText.h"
#include "model/Service.h"
#include "platform/Format.h"
#include "platform/Localization.h"
#include "presentation/QBYDateFormatter.h"
#include "presentation/text/TemplateMarkup.h"

namespace qby {

namespace {

using Kind = QBYDeliveryDetailText::LineKind;
using Line = QBYDeliveryDetailText::Line;
using Mode = QBYDateFormatter::RelativeMode;

constexpr const char* kUnknownItem = "Unknown Item";
constexpr const char* kShowPackageLink = "porvane://%@/%ld";
// Stands where the pane draws its alert image.
constexpr const char* kAlertMarker = "⚠ ";
// More packages than this are counted, not dotted.
constexpr std::size_t kMaximumDots = 10;

std::size_t characterCount(const std::string& text) {
  return static_cast<std::size_t>(g_utf8_strlen(text.data(), static_cast<gssize>(text.size())));
}

std::string coloured(const std::string& markup, const std::optional<std::string>& colour) {
  if (!colour || markup.empty()) return markup;
  return "<span foreground=\"" + markupEscaped(*colour) + "\">" + markup + "</span>";
}

Line plainLine(Kind kind, const std::string& text) {
  Line line;
  line.kind = kind;
  line.text = validText(text);
  line.markup = markupEscaped(text);
  return line;
}

// One filled template of a package block; nothing when the template has no text.
std::optional<Line> templateLine(Kind kind, const std::optional<std::string>& templateText,
                                 std::optional<Date> date, int mode, bool bold,
                                 QBYDateFormatter& formatter) {
  if (!modeltext::hasText(templateText)) return std::nullopt;
  const std::string day = formatter.displayDate(date, mode);
  Line line;
  line.kind = kind;
  line.text = validText(stringWithDate(*templateText, day));
  line.markup = attributedStringWithDate(*templateText, day, bold);
  return line;
}

std::string settingLabel(const std::shared_ptr<Service>& service, std::string_view type,
                         const char* fallback) {
  if (service && service->hasSettingOfType(type))
    return service->localizedNameForSettingOfType(type);
  return QBYLocalizedString(fallback);
}

}  // namespace

std::string QBYDeliveryDetailText::packageDots(std::int64_t index, std::size_t count) {
  if (count > kMaximumDots || index < 0 || static_cast<std::size_t>(index) >= count)
    return std::to_string(index + 1) + "/" + std::to_string(count);
  std::string dots;
  for (std::size_t i = 0; i < count; ++i) dots += static_cast<std::int64_t>(i) == index ? "●" : "○";
  return dots;
}

QBYDeliveryDetailText QBYDeliveryDetailText::textForDelivery(const Delivery* delivery, bool plain,
                                                             QBYDateFormatter& formatter,
                                                             const QBYDetailTextColors& colors,
                                                             std::optional<bool> updating) {
  QBYDeliveryDetailText result;
  if (!delivery) return result;

  const auto service = delivery->service();
  const std::string number = modeltext::trimmed(delivery->no().value_or(""));
  const auto domain = delivery->extraDomain();
  // Trimmed like the number: blanks pasted around a postcode are no part of it.
  const std::string extra = domain ? *domain : modeltext::trimmed(delivery->extra().value_or(""));
  const std::string name = modeltext::trimmed(delivery->name().value_or(""));
  bool showNumber = !number.empty();
  bool showExtra = !extra.empty();

  Line title;
  if (!name.empty()) {
    title = plainLine(Kind::Title, name);
  } else if (showNumber) {
    title = plainLine(Kind::Title, number);
    title.truncatesAtEnd = true;
    showNumber = false;
  } else if (domain && !domain->empty()) {
    title = plainLine(Kind::Title, extra);
    title.truncatesAtEnd = true;
    showExtra = false;
  } else {
    title = plainLine(Kind::Title, QBYLocalizedString(kUnknownItem));
  }
  result.lines.push_back(title);

  const auto details = delivery->sortedDetails();
  const std::size_t count = details.size();
  bool anyError = false;
  for (std::size_t i = 0; i < count; ++i) {
    Detail& detail = *details[i];
    const auto index = static_cast<std::int64_t>(i);
    anyError = anyError || detail.hasError();
    std::vector<Line> block;

    std::string item = modeltext::hasText(detail.itemName()) ? *detail.itemName()
                                                             : QBYLocalizedString(kUnknownItem);
    // A carrier that repeats the delivery's name before each item says nothing new.
    if (const std::string prefix = name + ": "; !name.empty() &&
                                                characterCount(item) > characterCount(name) + 2 &&
                                                item.starts_with(prefix))
      item.erase(0, prefix.size());
    Line itemLine = plainLine(Kind::Item, item);
    if (count >= 2) {
      const bool selected = !plain && index == delivery->selected();
      const auto& dotColour = selected ? colors.badgeSelected : colors.badge;
      itemLine.markup =
          coloured(markupEscaped(packageDots(index, count)), dotColour) + " " + itemLine.markup;
      if (!plain) {
        itemLine.link = format(kShowPackageLink, "showpackage", static_cast<long>(index));
        itemLine.markup =
            "<a href=\"" + markupEscaped(*itemLine.link) + "\">" + itemLine.markup + "</a>";
      }
      block.push_back(itemLine);
    } else if (itemLine.text != title.text) {
      block.push_back(itemLine);
    }

    if (const std::string days = detail.daysNumber(); !days.empty())
      block.push_back(plainLine(Kind::Days, format("%@ %@", days, detail.daysText())));
    const auto shipped = detail.shippedText();
    if (auto line = templateLine(Kind::Shipped, shipped, detail.shippedDate(),
                                 Mode::QBYRelativeNever, detail.shippedBold(), formatter))
      block.push_back(*line);
    if (const auto shippedExtra = detail.shippedExtra(); shippedExtra != shipped) {
      if (auto line = templateLine(Kind::ShippedExtra, shippedExtra, detail.statusDate(),
                                   Mode::QBYRelativeYesterdayToToday, false, formatter))
        block.push_back(*line);
    }
    const auto delivered = detail.deliveredText();
    if (auto line = templateLine(Kind::Delivered, delivered, detail.deliveredDate(),
                                 Mode::QBYRelativeNever, detail.deliveredBold(), formatter))
      block.push_back(*line);
    if (const auto deliveredExtra = detail.deliveredExtra(); deliveredExtra != delivered) {
      if (auto line = templateLine(Kind::DeliveredExtra, deliveredExtra, detail.deliveredDate(),
                                   Mode::QBYRelativeNever, false, formatter))
        block.push_back(*line);
    }
    for (auto& line : block) {
      line.package = index;
      line.packageCount = count;
      result.lines.push_back(std::move(line));
    }
  }

  std::vector<Line> footer;
  if (!(service && service->isOther()) && !delivery->isOther()) {
    if (updating.value_or(delivery->isUpdating())) {
      const std::string message = modeltext::trimmed(delivery->message().value_or(""));
      footer.push_back(
          plainLine(Kind::Footer, message.empty() ? QBYLocalizedString("Updating…") : message));
    } else {
      const auto refreshed = formatter.updatedText("Refreshed %@", delivery->updatedDate());
      footer.push_back(
          plainLine(Kind::Footer, refreshed ? *refreshed : QBYLocalizedString("Never updated")));
    }
  }
  if (showNumber)
    footer.push_back(plainLine(
        Kind::Footer, format("%@: %@", settingLabel(service, "no", "Tracking No."), number)));
  if (showExtra)
    footer.push_back(
        plainLine(Kind::Footer, format("%@: %@", settingLabel(service, "extra", "Extra"), extra)));
  if (!footer.empty() && !plain && anyError) footer.front().alert = true;
  for (auto& line : footer) result.lines.push_back(std::move(line));

  for (const Line& line : result.lines) {
    if (!result.text.empty()) {
      result.text += "\n";
      result.markup += "\n";
    }
    std::string text = line.text;
    std::string markup = line.markup;
    if (line.kind == Kind::Item && line.packageCount >= 2)
      text = packageDots(*line.package, line.packageCount) + " " + text;
    if (line.alert) {
      text = kAlertMarker + text;
      markup = markupEscaped(kAlertMarker) + markup;
    }
    const auto& colour = line.kind == Kind::Title    ? colors.title
                         : line.kind == Kind::Footer ? colors.footer
                                                     : colors.body;
    result.text += text;
    result.markup += coloured(markup, colour);
  }
  return result;
}

}  // namespace qby
