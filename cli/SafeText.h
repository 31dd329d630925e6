// Texts at the tool's edges. What comes in (arguments, stored texts that older versions or
// other machines wrote) may be any bytes; what goes to a terminal must not steer it. Names
// sync between machines, so a name typed elsewhere reaches this terminal too.
//
// Pure functions; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace porvane {

// The text with every invalid UTF-8 sequence replaced by U+FFFD, the way the library reads
// invalid bytes everywhere else; valid text comes back unchanged.
std::string validUTF8(std::string_view text);

// The text made safe for one line of a terminal: C0 controls, DEL and C1 controls are written
// as visible escapes ("\n", "\t", "\r", "\x1B", "\u009B"), so an escape sequence in a name
// cannot recolour or move the cursor and a line break cannot start a new row. Invalid UTF-8
// becomes U+FFFD first.
std::string terminalText(std::string_view text);

// At most maximum characters: a longer text is cut at a character boundary and ends in "…".
std::string shortenedText(std::string_view text, std::size_t maximum);

// A word the user gave, for an error message: shortened to 40 characters, made safe for the
// terminal and put in quotation marks (“…”).
std::string quotedWord(std::string_view word);

}  // namespace porvane
