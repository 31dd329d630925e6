// What porvane-add is given by the desktop ("Open With", "Send To", a launcher's %U), turned
// into the dictionary the finder reads web data from: {"url": address, "text": ""} for a web
// address, {"text": text} for text or a text file's contents. Every text becomes valid UTF-8
// here, so nothing behind it sees broken bytes.
//
// Threads: any. Reading a file blocks; call it off the main thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Value.h"

namespace porvane::add {

// Larger files are not searched: a tracking number sits in a page, a mail or a note.
inline constexpr std::size_t kMaxSharedFileSize = 1024 * 1024;

struct QBYSharedContent {
  // Nothing when no argument gave anything to search.
  std::optional<qby::Dictionary> results;
  // Why a file could not be used, for the user.
  std::optional<std::string> error;
};

enum class QBYArgumentKind { Text, WebAddress, File };

// A file: URI, an absolute or relative path that names an existing file, or a path that
// begins with "/", "./", "../" or "~/"; a web address: one word with a scheme and "//" (or
// http/https); anything else is text. Looks at the disk only for relative paths.
QBYArgumentKind kindOfArgument(std::string_view argument);

// The dictionary for text or an address; no disk access.
qby::Dictionary resultsForText(std::string_view text);
qby::Dictionary resultsForWebAddress(std::string_view address);

// Reads the file (a path or a file: URI) as text: too large, not text, or not readable gives
// an error that names the file.
QBYSharedContent sharedContentFromFile(const std::string& argument);

// The first argument that gives something to search decides, as the share menu's first
// matching item does; a file that cannot be read stops there with its error.
QBYSharedContent sharedContentFromArguments(const std::vector<std::string>& arguments);

}  // namespace porvane::add
