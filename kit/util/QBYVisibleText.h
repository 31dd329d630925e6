// The visible text of a web page and its fingerprint, as the carrier scripts compute them in
// JavaScript (Common.js's Q.text and Q.hash), done natively: a tracking page runs to tens of
// thousands of characters and the web-page service reads one on every update. The scripts
// reach it through the updater's `visiblePageText` host function and keep their own code for
// hosts without it, so the two must answer the same text to the character: a page's stored
// fingerprint would otherwise change on the first update after an upgrade and tell the user
// the page changed when it did not. tests/util keeps them equal on generated pages.
//
// Pure functions of their argument; any thread.
#pragma once

#include <string>
#include <string_view>

namespace qby {

// Scripts, styles, templates and comments dropped, line-breaking tags (br, the ends of p, div,
// table cells and rows, list items, headings, definition terms) become spaces, other tags
// are removed, character references decoded, every run of white space becomes one space, and
// one space at either end is cut. `html` is UTF-8; so is the answer.
std::string visibleText(std::string_view html);

// FNV-1a (32 bits) over the UTF-8 bytes, as 8 lower-case hexadecimal digits.
std::string textFingerprint(std::string_view text);

}  // namespace qby
