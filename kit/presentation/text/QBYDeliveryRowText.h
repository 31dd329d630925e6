// The three lines of a delivery's list row and its day badge: the title (the shown package's
// item name), the status line (its shipped text with the date filled in) and the deliver line
// (its delivered text), each as plain text and as Pango markup, with the package indicator of
// a delivery of several packages. Every line is at least a single blank, so rows keep their
// height; which fonts, colours and truncation a view uses is the view's business.
//
// Threads: on the queue of the context that holds the records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace qby {

class Delivery;
class Detail;
class QBYDateFormatter;

// "Package number of count", drawn as dots before the title.
struct QBYPackageIndicator {
  std::int64_t number = 1;  // 1-based: the delivery's selected package plus one
  std::size_t count = 0;
  double opacity = 0.75;  // the dots are black at this opacity
};

struct QBYDeliveryRowText {
  // Display styles of the row and badge views.
  static constexpr int QBYDisplayStyleNormal = 0;
  static constexpr int QBYDisplayStyleCompact = 2;

  std::string title = " ";
  std::string status = " ";
  std::string deliver = " ";
  std::string titleMarkup = " ";
  std::string statusMarkup = " ";
  std::string deliverMarkup = " ";
  // The status line is the delivery's message rather than a tracking line (no package to
  // show); views give it their footer look.
  bool statusIsMessage = false;
  std::optional<QBYPackageIndicator> package;
  std::string daysNumber;
  std::string daysText;

  // The row of the delivery showing the given package (normally its selected detail). Without
  // a delivery or a detail the title and deliver line are blank and the status line is the
  // delivery's message. Dates are phrased relatively from yesterday to six days ahead.
  static QBYDeliveryRowText forDelivery(const Delivery* delivery, Detail* detail,
                                        QBYDateFormatter& formatter, int displayStyle);
};

}  // namespace qby
