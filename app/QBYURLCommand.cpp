#include "QBYURLCommand.h"

#include <glib.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include "platform/URL.h"
#include "util/StringUtilities.h"
#include "util/URLUtilities.h"

namespace porvane::app {

namespace {

using Kind = QBYURLCommand::Kind;

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The first path component after the root, "" when there is none.
std::string pathComponentAfterRoot(const qby::URL& url) {
  return qby::firstPathComponent(url).value_or("");
}

std::size_t characterCount(const std::string& text) {
  // Addresses are ASCII once encoded; a raw non-ASCII query still counts by characters.
  return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr)
             ? static_cast<std::size_t>(
                   g_utf8_strlen(text.data(), static_cast<gssize>(text.size())))
             : text.size();
}

QBYURLCommand make(Kind kind) {
  QBYURLCommand command;
  command.kind = kind;
  return command;
}

QBYURLCommand addCommand(const qby::URL& url) {
  if (!url.query()) {
    QBYURLCommand command = make(Kind::OpenAddWindow);
    command.searchText = qby::stringByRemovingPrefix(url.path(), "/");
    return command;
  }
  const qby::Dictionary query = qby::dictionaryFromQuery(*url.query());
  if (query.empty()) return make(Kind::OpenAddWindow);
  QBYURLCommand command = make(Kind::AddDelivery);
  command.settings = qby::QBYDeliverySettings::settingsWithDictionary(query, true);
  command.settings->shouldPresent = qby::QBYDeliverySettings::PresentFromLink;
  return command;
}

QBYURLCommand showCommand(const qby::URL& url) {
  QBYURLCommand command = make(Kind::ShowDelivery);
  if (url.query()) {
    command.settings = qby::QBYDeliverySettings::settingsWithDictionary(
        qby::dictionaryFromQuery(*url.query()), true);
    command.uuid = command.settings->uuid;
  } else {
    command.uuid = pathComponentAfterRoot(url);
  }
  if (!qby::hasValue(command.uuid) && !command.settings) return make(Kind::Ignored);
  return command;
}

QBYURLCommand settingsCommand(const qby::URL& url) {
  QBYURLCommand command = make(Kind::OpenSettings);
  const std::string pane = lowercase(pathComponentAfterRoot(url));
  if (pane == "sync" || pane == "general" || pane == "shortcuts" || pane == "logs")
    command.pane = pane;
  return command;
}

}  // namespace

bool QBYURLCommand::opensOtherWindow() const {
  switch (kind) {
    case Kind::OpenAddWindow:
    case Kind::AddDelivery:  // either saved without a window or shown in the add window
    case Kind::EditDelivery:
    case Kind::OpenSettings:
      return true;
    default:
      return false;
  }
}

QBYURLCommand QBYURLCommand::parse(std::string_view text) {
  const std::optional<qby::URL> url = qby::URL::URLWithString(text);
  if (!url || !url->isAbsolute()) return {};
  if (url->query() && characterCount(*url->query()) > kMaximumQueryLength) return {};

  if (lowercase(*url->scheme()) != kURLScheme) {
    // A tracking link or a shop page: the add window recognises what it holds.
    QBYURLCommand command = make(Kind::OpenAddWindow);
    command.searchText = std::string(text);
    return command;
  }

  const std::string host = lowercase(url->host().value_or(""));
  if (host == "add") return addCommand(*url);
  if (host == "show") return showCommand(*url);
  if (host == "edit") {
    const auto uuid = qby::validUUID(pathComponentAfterRoot(*url));
    if (!uuid) return make(Kind::Ignored);
    QBYURLCommand command = make(Kind::EditDelivery);
    command.uuid = pathComponentAfterRoot(*url);
    return command;
  }
  if (host == "search") {
    QBYURLCommand command = make(Kind::Search);
    if (url->query()) {
      const qby::Dictionary query = qby::dictionaryFromQuery(*url->query());
      command.searchText = query["text"].asString().value_or("");
    }
    if (command.searchText.empty()) command.searchText = pathComponentAfterRoot(*url);
    return command;
  }
  if (host == "settings") return settingsCommand(*url);
  if (host == "icloudreset") return make(Kind::ICloudReset);
  if (host == "troubleshoot") {
    const std::string path = lowercase(pathComponentAfterRoot(*url));
    if (path == "database") return make(Kind::RepairDatabase);
    if (path == "cookies") return make(Kind::ClearCookies);
    return make(Kind::Ignored);
  }
  if (host == "logs") return make(Kind::EnableLogs);
  if (host == "beta") return make(Kind::DownloadBeta);
  return make(Kind::Ignored);
}

}  // namespace porvane::app
