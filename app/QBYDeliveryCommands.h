// The commands the list offers on one delivery (primary menu, context menu, row actions), the
// texts of the Delete confirmation, and which drops from outside the list accepts. Only the
// choices, no widgets: the list builds its menus and dialogs from these.
//
// Value types; the main thread (they read delivery records of the view context).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace qby {
class Delivery;
}

namespace porvane::app {

// The action names of the window ("win.<name>") and of the list's context menu.
struct QBYDeliveryCommand {
  std::string action;                      // e.g. "archive"
  std::string label;                       // localised
  std::optional<std::string> accelerator;  // GTK form, e.g. "<Control>e"
};

enum class QBYMenuPlace { PrimaryMenu, ContextMenu };

// In order, the commands shown for the delivery. Sign In and Troubleshoot appear only in the
// context menu when asked with the alternate modifier held (`alternate`), for a delivery that
// is active and not tracked through a plain web page.
// The first command reads "Open in <browserName>".
std::vector<QBYDeliveryCommand> commandsForDelivery(const qby::Delivery& delivery,
                                                    QBYMenuPlace place, bool alternate,
                                                    const std::string& browserName);

// Whether the delivery can be updated again with logging for a report: an active delivery of a
// service (a plain web page runs no service script worth diagnosing).
bool deliveryCanBeTroubleshot(const qby::Delivery& delivery);
// Whether the delivery's service has a sign-in page to open: an active delivery of a service
// whose key names a host.
bool deliveryOffersSignIn(const qby::Delivery& delivery);

// The Delete confirmation: heading with the title cut to 30 characters, the body, and the
// responses in order (ids "delete", "archive", "cancel"). An archived delivery offers no
// Archive.
struct QBYDeleteConfirmation {
  std::string heading;
  std::string body;
  std::vector<std::pair<std::string, std::string>> responses;  // id, localised label
};
QBYDeleteConfirmation deleteConfirmationForDelivery(const qby::Delivery& delivery);

// Addresses a drop from outside carries: URI lists, web addresses in text, and files. Answers
// the web addresses and file URIs it holds; empty means the drop is refused (a plain text
// without an address, for one).
std::vector<std::string> acceptedDropURIs(const std::vector<std::string>& uriList,
                                          const std::optional<std::string>& text);

// The file name an exported delivery gets: the title cut to 32 characters, without characters
// that cannot be in a file name.
std::string exportFileNameForDelivery(const qby::Delivery& delivery, const std::string& extension);

}  // namespace porvane::app
