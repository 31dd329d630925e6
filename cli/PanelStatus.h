// The one-line status for desktop panels that read JSON (Waybar's custom modules, Polybar's
// scripts, i3blocks with format=json): how many deliveries are active and which one is expected
// next. `porvane status --json` prints it; `porvane status` the same as plain lines.
//
// The JSON object carries the keys each panel reads: Waybar's "text", "tooltip", "class" and
// "alt", i3blocks' "full_text" and "short_text", and ours for scripts: "count" (active
// deliveries), "updating" (an update run is under way) and "next" (null, or the delivery
// expected next with "id", "title", "service", "date" (ISO day), "days" (calendar days from
// today) and "dateText" (the day as the list says it: "Today", "Tuesday", "December 24")).
// "class" is "empty" without active deliveries, "today" when the next one is expected today,
// else "active". Every text is valid UTF-8 and carries no control characters, since a panel
// shows it as it is.
//
// Threads: main thread; the records belong to the view context.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Date.h"
#include "platform/Value.h"

namespace qby {
class Delivery;
class QBYDateFormatter;
}  // namespace qby

namespace porvane {

struct NextDelivery {
  std::string id;
  std::string title;
  std::string service;
  std::string date;      // ISO day
  long days = 0;         // calendar days from today
  std::string dateText;  // "Today", "Tuesday", "December 24"
};

struct PanelStatus {
  std::size_t count = 0;
  bool updating = false;
  std::optional<NextDelivery> next;

  // The panel's short text: the count, and the day of the next delivery when there is one.
  std::string text() const;
  // The lines of the tooltip and of the plain output.
  std::string tooltip() const;
  std::string cssClass() const;
  qby::Value json() const;
};

// The status of the active deliveries (archived and removed ones are skipped) at the moment
// `now`. The next delivery is the one whose package not yet delivered is expected soonest,
// today or later; a day that has passed without delivery is not "next".
PanelStatus panelStatus(const std::vector<std::shared_ptr<qby::Delivery>>& deliveries,
                        qby::QBYDateFormatter& formatter, bool updating, qby::Date now);

}  // namespace porvane
