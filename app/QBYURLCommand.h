// What an address handed to the main application asks for: its own "porvane:" addresses
// (add, show, edit, search, settings and the maintenance commands) and any other address,
// which is a tracking link or a shop page for the add window to recognise. Parsing only: the
// application delegate carries the command out.
//
// A value type; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "model/QBYDeliverySettings.h"

namespace porvane::app {

inline constexpr const char* kURLScheme = "porvane";
// A longer query (in characters as written, escapes included) is refused whole.
inline constexpr std::size_t kMaximumQueryLength = 3000;

struct QBYURLCommand {
  enum class Kind {
    NotHandled,     // no address, or a query that is too long
    Ignored,        // our scheme, but nothing to do (unknown host or path)
    OpenAddWindow,  // searchText: what the add window starts with (may be empty)
    AddDelivery,    // settings: save at once when valid, else open the add window with them
    ShowDelivery,   // settings (with a query) or uuid (the first path component)
    EditDelivery,   // uuid
    Search,         // searchText
    OpenSettings,   // pane: "sync", "general", "shortcuts", "logs" or "" for the current one
    ICloudReset,
    RepairDatabase,  // asks first
    ClearCookies,
    EnableLogs,
    DownloadBeta,  // asks first
  };

  Kind kind = Kind::NotHandled;
  std::string searchText;
  std::optional<qby::QBYDeliverySettings> settings;
  std::optional<std::string> uuid;
  std::string pane;

  bool handled() const { return kind != Kind::NotHandled; }
  // Whether carrying the command out opens a window of its own, so the main window need not
  // be shown at launch.
  bool opensOtherWindow() const;

  // Reads an address as the desktop hands it over (already percent-encoded).
  static QBYURLCommand parse(std::string_view text);
};

}  // namespace porvane::app
