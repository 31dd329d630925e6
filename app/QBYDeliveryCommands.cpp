#include "QBYDeliveryCommands.h"

#include <glib.h>

#include "PorvaneKit.h"
#include "QBYOnlineSignInViewController.h"
#include "model/Delivery.h"
#include "platform/Format.h"
#include "platform/URL.h"
#include "util/URLUtilities.h"

namespace porvane::app {

namespace {

constexpr std::size_t kDeleteTitleLength = 30;
constexpr std::size_t kExportTitleLength = 32;

QBYDeliveryCommand command(const char* action, std::string label,
                           std::optional<std::string> accelerator = std::nullopt) {
  return {action, std::move(label), std::move(accelerator)};
}

bool isWebAddress(const std::string& text) {
  const auto url = qby::URL::URLWithString(text);
  return url && url->isAbsolute() && qby::isValidHTTPURL(text) && url->host();
}

}  // namespace

std::vector<QBYDeliveryCommand> commandsForDelivery(const qby::Delivery& delivery,
                                                    QBYMenuPlace place, bool alternate,
                                                    const std::string& browserName) {
  const bool archived = delivery.archived();
  const bool context = place == QBYMenuPlace::ContextMenu;
  std::vector<QBYDeliveryCommand> commands;
  commands.push_back(command(
      "open-online", qby::format(QBYLocalizedString("Open in %@"), browserName), "<Alt>Return"));
  if (delivery.details().size() >= 2)
    commands.push_back(command("show-package", QBYLocalizedString("Show Package")));
  commands.push_back(command("edit", QBYLocalizedString("Edit"), "<Control>e"));
  if (!archived)
    commands.push_back(command("refresh", QBYLocalizedString("Refresh"), "<Control>r"));
  if (!context)
    commands.push_back(
        command("refresh-all", QBYLocalizedString("Refresh All"), "<Control><Shift>r"));
  if (archived)
    commands.push_back(command("restore", QBYLocalizedString("Restore")));
  else
    commands.push_back(command("archive", QBYLocalizedString("Archive"), "<Control>BackSpace"));
  commands.push_back(command("delete", QBYLocalizedString("Delete…"), "<Control><Alt>BackSpace"));
  if (context && alternate && deliveryCanBeTroubleshot(delivery)) {
    if (deliveryOffersSignIn(delivery))
      commands.push_back(command("sign-in", QBYLocalizedString("Sign In…")));
    commands.push_back(command("troubleshoot", QBYLocalizedString("Troubleshoot…")));
  }
  if (context) {
    commands.push_back(command("copy", QBYLocalizedString("Copy"), "<Control>c"));
    commands.push_back(command("export", QBYLocalizedString("Export…")));
    commands.push_back(command("print", QBYLocalizedString("Print…"), "<Control>p"));
  }
  return commands;
}

bool deliveryCanBeTroubleshot(const qby::Delivery& delivery) {
  return !delivery.archived() && !delivery.isOther();
}

bool deliveryOffersSignIn(const qby::Delivery& delivery) {
  const auto from = delivery.from();
  return deliveryCanBeTroubleshot(delivery) && from &&
         !QBYOnlineSignInViewController::signInURLForService(*from).empty();
}

QBYDeleteConfirmation deleteConfirmationForDelivery(const qby::Delivery& delivery) {
  QBYDeleteConfirmation confirmation;
  confirmation.heading = qby::format(QBYLocalizedString("Delete “%@”?"),
                                     delivery.titleLimitedToLength(kDeleteTitleLength));
  confirmation.responses.emplace_back("delete", QBYLocalizedString("Delete"));
  if (delivery.archived()) {
    confirmation.body = QBYLocalizedString("You won’t be able to undo this action.");
  } else {
    confirmation.body = QBYLocalizedString(
        "You won’t be able to undo this action. If you want to be able to search for this "
        "delivery in the future, choose Archive instead.");
    confirmation.responses.emplace_back("archive", QBYLocalizedString("Archive"));
  }
  confirmation.responses.emplace_back("cancel", QBYLocalizedString("Cancel"));
  return confirmation;
}

std::vector<std::string> acceptedDropURIs(const std::vector<std::string>& uriList,
                                          const std::optional<std::string>& text) {
  std::vector<std::string> accepted;
  for (const std::string& uri : uriList) {
    if (uri.rfind("file://", 0) == 0 || isWebAddress(uri)) accepted.push_back(uri);
  }
  if (accepted.empty() && text) {
    // Dragged text counts only when it is an address itself; words around it make it a
    // plain text, which the add window (not the list) is the place for.
    std::string trimmed = *text;
    const auto first = trimmed.find_first_not_of(" \t\r\n");
    const auto last = trimmed.find_last_not_of(" \t\r\n");
    trimmed = first == std::string::npos ? std::string() : trimmed.substr(first, last - first + 1);
    if (isWebAddress(trimmed)) accepted.push_back(trimmed);
  }
  return accepted;
}

std::string exportFileNameForDelivery(const qby::Delivery& delivery, const std::string& extension) {
  std::string name = delivery.titleLimitedToLength(kExportTitleLength);
  for (char& c : name) {
    if (c == '/' || c == '\0' || c == '\\') c = '-';
  }
  if (name.empty() || name == "." || name == "..") name = "Delivery";
  if (name.front() == '.') name.insert(name.begin(), '_');
  return name + "." + extension;
}

}  // namespace porvane::app
