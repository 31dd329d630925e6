#include "QBYSharedContent.h"

#include <gio/gio.h>

#include <algorithm>
#include <cstring>

#include "platform/Format.h"
#include "platform/GLibPtr.h"
#include "platform/Localization.h"

namespace porvane::add {

namespace {

std::string validUTF8(std::string_view text) {
  char* valid = g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
  std::string out = valid;
  g_free(valid);
  return out;
}

bool hasBlank(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  });
}

// The scheme of an address (RFC 3986: a letter, then letters, digits, "+", "-" or ".", then
// ":"), lower case. Read here rather than by GLib, which interns every scheme it is shown.
std::optional<std::string> schemeOf(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  std::string scheme;
  for (std::size_t i = 0; i < colon; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool other = (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
    if (!letter && (i == 0 || !other)) return std::nullopt;
    scheme.push_back(static_cast<char>(letter ? (c | 0x20) : c));
  }
  return scheme;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// "“name”" with the user's form of the file's name.
std::string quotedName(GFile* file) {
  char* name = g_file_get_parse_name(file);
  std::string out = "\u201C" + validUTF8(name ? name : "") + "\u201D";
  g_free(name);
  return out;
}

}  // namespace

QBYArgumentKind kindOfArgument(std::string_view argument) {
  if (argument.empty() || argument.find('\0') != std::string_view::npos)
    return QBYArgumentKind::Text;
  if (!hasBlank(argument)) {
    if (const auto scheme = schemeOf(argument)) {
      if (*scheme == "file") return QBYArgumentKind::File;
      if (*scheme == "http" || *scheme == "https" || argument.find("://") != std::string_view::npos)
        return QBYArgumentKind::WebAddress;
    }
  }
  if (startsWith(argument, "/") || startsWith(argument, "./") || startsWith(argument, "../") ||
      startsWith(argument, "~/"))
    return QBYArgumentKind::File;
  // A file in the current folder given by its bare name.
  const std::string path(argument);
  if (g_file_test(path.c_str(), G_FILE_TEST_IS_REGULAR)) return QBYArgumentKind::File;
  return QBYArgumentKind::Text;
}

qby::Dictionary resultsForText(std::string_view text) {
  qby::Dictionary results;
  results.set("text", qby::Value(validUTF8(text)));
  return results;
}

qby::Dictionary resultsForWebAddress(std::string_view address) {
  qby::Dictionary results;
  results.set("url", qby::Value(validUTF8(address)));
  results.set("text", qby::Value(std::string()));
  return results;
}

QBYSharedContent sharedContentFromFile(const std::string& argument) {
  std::string location = argument;
  if (startsWith(location, "~/")) location = std::string(g_get_home_dir()) + location.substr(1);
  auto file = qby::GObjectPtr<GFile>::adopt(g_file_new_for_commandline_arg(location.c_str()));
  QBYSharedContent content;

  GError* error = nullptr;
  auto info = qby::GObjectPtr<GFileInfo>::adopt(g_file_query_info(
      file.get(), G_FILE_ATTRIBUTE_STANDARD_SIZE "," G_FILE_ATTRIBUTE_STANDARD_TYPE,
      G_FILE_QUERY_INFO_NONE, nullptr, &error));
  if (info && g_file_info_get_file_type(info.get()) == G_FILE_TYPE_DIRECTORY) {
    content.error =
        qby::format(qby::QBYLocalizedString("%@ is a folder, not a file."), quotedName(file.get()));
    return content;
  }
  if (info && static_cast<std::size_t>(g_file_info_get_size(info.get())) > kMaxSharedFileSize) {
    content.error =
        qby::format(qby::QBYLocalizedString("%@ is too large to look for a tracking number in."),
                    quotedName(file.get()));
    return content;
  }
  char* data = nullptr;
  gsize length = 0;
  if (!error) g_file_load_contents(file.get(), nullptr, &data, &length, nullptr, &error);
  if (error) {
    content.error = qby::format(qby::QBYLocalizedString("%@ could not be read: %@"),
                                quotedName(file.get()), validUTF8(error->message));
    g_error_free(error);
    g_free(data);
    return content;
  }
  const std::string_view bytes(data, length);
  // The size may have changed since it was asked for.
  if (length > kMaxSharedFileSize) {
    g_free(data);
    content.error =
        qby::format(qby::QBYLocalizedString("%@ is too large to look for a tracking number in."),
                    quotedName(file.get()));
    return content;
  }
  // Pictures, archives and documents hold NUL bytes early; text files never do.
  if (bytes.substr(0, 8192).find('\0') != std::string_view::npos) {
    g_free(data);
    content.error =
        qby::format(qby::QBYLocalizedString("%@ is not a text file."), quotedName(file.get()));
    return content;
  }
  content.results = resultsForText(bytes);
  g_free(data);
  return content;
}

QBYSharedContent sharedContentFromArguments(const std::vector<std::string>& arguments) {
  for (const auto& argument : arguments) {
    switch (kindOfArgument(argument)) {
      case QBYArgumentKind::File:
        return sharedContentFromFile(argument);
      case QBYArgumentKind::WebAddress:
        return {resultsForWebAddress(argument), std::nullopt};
      case QBYArgumentKind::Text:
        if (argument.find_first_not_of(" \t\r\n") == std::string::npos) continue;
        return {resultsForText(argument), std::nullopt};
    }
  }
  return {};
}

}  // namespace porvane::add
