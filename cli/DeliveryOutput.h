// How the command-line tool shows deliveries: the list row (title, status and deliver lines,
// day count) and the detail text that the list and detail pane of the main application show,
// in plain text for people and in a stable JSON form for scripts (documented in docs/cli.md;
// add keys, never rename or drop them).
//
// Relative dates ("Tuesday", "5 minutes ago") are measured from now, through the shared date
// formatter, so they read exactly as the application's list reads at the same moment.
//
// Threads: main thread; the records belong to the view context.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace qby {
class Delivery;
class Detail;
class Service;
class QBYDateFormatter;
}  // namespace qby

namespace porvane {

// Length of the short form of an ID that the text output shows (the uuid's first characters).
inline constexpr std::size_t kShortIDLength = 8;
std::string shortID(const std::optional<std::string>& uuid);

// One row of the list.
struct DeliveryRow {
  std::string id;        // the full uuid
  std::string title;     // the selected line's item name, else the delivery's title
  std::string package;   // "2/3" for a delivery of several packages, else ""
  std::string service;   // the service's display name, "" when unknown
  std::string status;    // the shipped line, dates phrased relatively
  std::string deliver;   // the delivered line
  std::string days;      // the day count ("3", "+"), "" when none
  std::string daysText;  // its unit ("days", "months")
  bool archived = false;
};

DeliveryRow rowForDelivery(qby::Delivery& delivery, qby::QBYDateFormatter& formatter);
// Three lines at most: id, day count and title, then the status and deliver lines.
std::string textForRow(const DeliveryRow& row);

// What one delivery is doing, read once from its record so that the text and the JSON say the
// same. A saved delivery keeps its "updating" flag until its first results arrive, whether or
// not a run is under way: the flag means "the next run takes it", and only a running update
// (updateRunning: a run of any program of the suite holds the busy date) makes it updating.
struct DeliveryStatus {
  // "archived", "delivered", "signin", "updating", "error", "pending" (never updated and not
  // failing) or "transit".
  std::string state;
  bool updating = false;  // a running update works on it now
  bool due = false;       // the next update run takes it
  bool error = false;     // its updates fail (the state is "error" unless a stronger one wins)
  // The progress message of a running update, else the text of the failure when it fails.
  std::optional<std::string> message;
};

DeliveryStatus statusForDelivery(qby::Delivery& delivery, bool updateRunning);

// The state word scripts switch on (DeliveryStatus::state).
std::string stateForDelivery(qby::Delivery& delivery, bool updateRunning = false);

// The detail text: title, per package its item, day count, shipped and delivered lines, then
// the footer (last refresh, tracking number, extra) and what the tool adds for the terminal
// (ID, service, state, next update, link). Stored texts are made safe for the terminal.
std::string detailText(qby::Delivery& delivery, qby::QBYDateFormatter& formatter,
                       bool updateRunning = false);

// The JSON object of a delivery (see docs/cli.md); withItems adds every tracking line. Texts
// are as stored.
qby::Value jsonForDelivery(qby::Delivery& delivery, qby::QBYDateFormatter& formatter,
                           bool withItems, bool updateRunning = false);
qby::Value jsonForService(const qby::Service& service);

// JSON text of a value, pretty-printed, with a final line break. Texts and keys that are not
// valid UTF-8 (stored by older versions) are written with U+FFFD in place of the bad bytes, so
// one bad name never costs the whole list. Nothing, with the reason, only for what JSON cannot
// hold at all (dates, data, NaN, too deep a nesting).
std::optional<std::string> jsonTextOrError(const qby::Value& value, std::string* error);
// The same, "" when the value cannot be written (see jsonTextOrError).
std::string jsonText(const qby::Value& value);

}  // namespace porvane
