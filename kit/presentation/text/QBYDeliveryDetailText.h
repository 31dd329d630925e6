// The whole text of a delivery's detail pane: the title line, one block per package (item,
// day count, shipped, delivered and their extra lines) and the footer (last refresh or the
// update under way, tracking number, extra value). It comes as plain text, as Pango markup,
// and as its lines with what each one is, for views that lay lines out themselves.
//
// Threads: on the queue of the context that holds the records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qby {

class Delivery;
class QBYDateFormatter;

// Colours of the markup, as Pango colour texts ("#1a1a1a", "red"). An absent colour puts no
// colour into the markup, so the view's own text colour applies.
struct QBYDetailTextColors {
  std::optional<std::string> title;
  std::optional<std::string> body;
  std::optional<std::string> footer;
  std::optional<std::string> badge;
  std::optional<std::string> badgeSelected;
};

struct QBYDeliveryDetailText {
  enum class LineKind {
    Title,
    Item,
    Days,
    Shipped,
    ShippedExtra,
    Delivered,
    DeliveredExtra,
    Footer,
  };

  struct Line {
    LineKind kind = LineKind::Title;
    std::string text;    // plain, valid UTF-8, without the package indicator
    std::string markup;  // Pango markup of the whole line, indicator and link included
    // The package the line belongs to (0-based) and how many there are; absent for the title
    // and footer lines.
    std::optional<std::int64_t> package;
    std::size_t packageCount = 0;
    // The line is an item line of several packages and links to "porvane://showpackage/<i>".
    std::optional<std::string> link;
    // The line shows the bare number or extra value and is cut at its end when too long.
    bool truncatesAtEnd = false;
    // The first footer line carries the alert marker: a package's update failed.
    bool alert = false;
  };

  std::vector<Line> lines;
  std::string text;    // the lines joined by line breaks, dots and alert marker included
  std::string markup;  // the same in Pango markup

  // The pane's text; no delivery gives empty text. Plain leaves out the selected-package
  // colour, the package links and the alert marker (printing, copying). updating, when given,
  // says whether an update works on the delivery now; absent, the delivery's own flag says.
  static QBYDeliveryDetailText textForDelivery(const Delivery* delivery, bool plain,
                                               QBYDateFormatter& formatter,
                                               const QBYDetailTextColors& colors = {},
                                               std::optional<bool> updating = std::nullopt);

  // The dots of package index of count: "●○○" for the first of three; "4/12" beyond ten.
  static std::string packageDots(std::int64_t index, std::size_t count);
};

}  // namespace qby
