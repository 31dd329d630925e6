#include "util/QBYVisibleText.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <utility>

namespace qby {
namespace {

// The references the scripts decode by name; anything else stays as written. Kept in the
// scripts' order; tests/util compares it with the scripts' own table.
constexpr std::array<std::pair<std::string_view, std::string_view>, 44> kEntities{{
    {"amp", "&"},         {"lt", "<"},          {"gt", ">"},          {"quot", "\""},
    {"apos", "'"},        {"nbsp", " "},        {"ndash", "\u2013"},  {"mdash", "\u2014"},
    {"hellip", "\u2026"}, {"laquo", "\u00ab"},  {"raquo", "\u00bb"},  {"lsquo", "\u2018"},
    {"rsquo", "\u2019"},  {"ldquo", "\u201c"},  {"rdquo", "\u201d"},  {"bull", "\u2022"},
    {"middot", "\u00b7"}, {"copy", "\u00a9"},   {"reg", "\u00ae"},    {"trade", "\u2122"},
    {"deg", "\u00b0"},    {"euro", "\u20ac"},   {"pound", "\u00a3"},  {"yen", "\u00a5"},
    {"auml", "\u00e4"},   {"ouml", "\u00f6"},   {"uuml", "\u00fc"},   {"Auml", "\u00c4"},
    {"Ouml", "\u00d6"},   {"Uuml", "\u00dc"},   {"szlig", "\u00df"},  {"eacute", "\u00e9"},
    {"egrave", "\u00e8"}, {"ecirc", "\u00ea"},  {"agrave", "\u00e0"}, {"aacute", "\u00e1"},
    {"ccedil", "\u00e7"}, {"iacute", "\u00ed"}, {"oacute", "\u00f3"}, {"uacute", "\u00fa"},
    {"ntilde", "\u00f1"}, {"aring", "\u00e5"},  {"oslash", "\u00f8"}, {"aelig", "\u00e6"},
}};
// Three more that the table above has no room for in its neat rows.
constexpr std::array<std::pair<std::string_view, std::string_view>, 3> kMoreEntities{
    {{"Aring", "\u00c5"}, {"Oslash", "\u00d8"}, {"AElig", "\u00c6"}}};

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

bool isWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// A regular expression's \b after a word: the next character is no word character.
bool wordEndsAt(std::string_view text, std::size_t at) {
  return at >= text.size() || !isWordChar(text[at]);
}

bool startsWithIgnoringCase(std::string_view text, std::size_t at, std::string_view word) {
  if (text.size() - at < word.size() || at > text.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i)
    if (lower(text[at + i]) != word[i]) return false;
  return true;
}

// The byte length of the white-space character at `at` as JavaScript's \s knows it (the
// scripts add U+00A0, which \s holds already), 0 when there is none.
std::size_t whiteSpaceAt(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const std::size_t left = text.size() - at;
  const unsigned char first = byte(0);
  if (first == ' ' || (first >= '\t' && first <= '\r')) return 1;
  if (first == 0xc2 && left >= 2 && byte(1) == 0xa0) return 2;                     // U+00A0
  if (first == 0xe1 && left >= 3 && byte(1) == 0x9a && byte(2) == 0x80) return 3;  // U+1680
  if (first == 0xe2 && left >= 3) {
    const unsigned char second = byte(1), third = byte(2);
    if (second == 0x80 && (third <= 0x8a || third == 0xa8 || third == 0xa9 || third == 0xaf))
      return 3;                                     // U+2000–U+200A, U+2028, U+2029, U+202F
    if (second == 0x81 && third == 0x9f) return 3;  // U+205F
  }
  if (first == 0xe3 && left >= 3 && byte(1) == 0x80 && byte(2) == 0x80) return 3;  // U+3000
  if (first == 0xef && left >= 3 && byte(1) == 0xbb && byte(2) == 0xbf) return 3;  // U+FEFF
  return 0;
}

// Comments become a space; an unterminated one stays as it is.
std::string withoutComments(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t at = 0;
  while (true) {
    const std::size_t open = text.find("<!--", at);
    const std::size_t close = open == std::string_view::npos ? open : text.find("-->", open + 4);
    if (close == std::string_view::npos) break;
    out.append(text, at, open - at).push_back(' ');
    at = close + 3;
  }
  out.append(text, at);
  return out;
}

constexpr std::array<std::string_view, 4> kHiddenElements{"script", "style", "noscript",
                                                          "template"};

// The hidden element opening at `at` ("<script" and a word end), if any.
std::optional<std::size_t> hiddenElementAt(std::string_view text, std::size_t at) {
  for (std::size_t index = 0; index < kHiddenElements.size(); ++index) {
    const auto name = kHiddenElements[index];
    if (startsWithIgnoringCase(text, at + 1, name) && wordEndsAt(text, at + 1 + name.size()))
      return index;
  }
  return std::nullopt;
}

// The end of the first "</name" + white space + ">" at or after `from`, ignoring case.
std::size_t closingTagEnd(std::string_view text, std::size_t from, std::string_view name) {
  for (std::size_t at = text.find("</", from); at != std::string_view::npos;
       at = text.find("</", at + 1)) {
    if (!startsWithIgnoringCase(text, at + 2, name)) continue;
    std::size_t end = at + 2 + name.size();
    while (end < text.size()) {
      const std::size_t space = whiteSpaceAt(text, end);
      if (space == 0) break;
      end += space;
    }
    if (end < text.size() && text[end] == '>') return end + 1;
  }
  return std::string_view::npos;
}

bool hasHiddenElement(std::string_view text) {
  for (std::size_t at = text.find('<'); at != std::string_view::npos; at = text.find('<', at + 1))
    if (hiddenElementAt(text, at)) return true;
  return false;
}

// Scripts, styles and the like, with everything up to their closing tag, become a space. An
// element never closed stays (its tags go in the next pass, its content shows).
std::string withoutHiddenElements(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  // Once a name has no closing tag after some point, it has none after any later point.
  std::array<bool, kHiddenElements.size()> unclosed{};
  std::size_t copied = 0;
  for (std::size_t at = text.find('<'); at != std::string_view::npos;) {
    const auto element = hiddenElementAt(text, at);
    if (element && !unclosed[*element]) {
      const auto name = kHiddenElements[*element];
      const std::size_t end = closingTagEnd(text, at + 1 + name.size(), name);
      if (end != std::string_view::npos) {
        out.append(text, copied, at - copied).push_back(' ');
        copied = end;
        at = text.find('<', end);
        continue;
      }
      unclosed[*element] = true;
    }
    at = text.find('<', at + 1);
  }
  out.append(text, copied);
  return out;
}

// Tags that end a line of text on the page, so that the words either side stay apart.
bool breaksLine(std::string_view text, std::size_t at) {
  std::size_t name = at + 1;
  if (startsWithIgnoringCase(text, name, "br")) return wordEndsAt(text, name + 2);
  if (name >= text.size() || text[name] != '/') return false;
  ++name;
  for (const std::string_view end : {"p", "div", "tr", "td", "th", "li", "dt", "dd"})
    if (startsWithIgnoringCase(text, name, end) && wordEndsAt(text, name + end.size())) return true;
  return name + 1 < text.size() && lower(text[name]) == 'h' && text[name + 1] >= '1' &&
         text[name + 1] <= '6' && wordEndsAt(text, name + 2);
}

// `spaceForBreaks`: the first pass turns line-ending tags into spaces; the second removes
// every tag left. A "<" without a ">" after it is text.
std::string replacingTags(std::string_view text, bool spaceForBreaks) {
  std::string out;
  out.reserve(text.size());
  std::size_t copied = 0;
  for (std::size_t at = text.find('<'); at != std::string_view::npos;) {
    const std::size_t close = text.find('>', at + 1);
    if (close == std::string_view::npos) break;
    if (!spaceForBreaks || breaksLine(text, at)) {
      out.append(text, copied, at - copied);
      if (spaceForBreaks) out.push_back(' ');
      copied = close + 1;
      at = text.find('<', close + 1);
    } else {
      at = text.find('<', at + 1);
    }
  }
  out.append(text, copied);
  return out;
}

void appendCodePoint(std::string& out, std::uint32_t code) {
  if (code == 0 || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) code = 0xfffd;
  if (code < 0x80) {
    out.push_back(char(code));
  } else if (code < 0x800) {
    out.push_back(char(0xc0 | (code >> 6)));
    out.push_back(char(0x80 | (code & 0x3f)));
  } else if (code < 0x10000) {
    out.push_back(char(0xe0 | (code >> 12)));
    out.push_back(char(0x80 | ((code >> 6) & 0x3f)));
    out.push_back(char(0x80 | (code & 0x3f)));
  } else {
    out.push_back(char(0xf0 | (code >> 18)));
    out.push_back(char(0x80 | ((code >> 12) & 0x3f)));
    out.push_back(char(0x80 | ((code >> 6) & 0x3f)));
    out.push_back(char(0x80 | (code & 0x3f)));
  }
}

int digitValue(char c, bool hex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (!hex) return -1;
  const char l = lower(c);
  return l >= 'a' && l <= 'f' ? l - 'a' + 10 : -1;
}

// A character reference at `at` ("&…;"): its decoded text and its length, or nothing when the
// text there is no reference at all. Named references outside the table stay as written.
std::optional<std::pair<std::string, std::size_t>> referenceAt(std::string_view text,
                                                               std::size_t at) {
  std::size_t i = at + 1;
  if (i < text.size() && text[i] == '#') {
    const bool hex = i + 1 < text.size() && lower(text[i + 1]) == 'x';
    // "&#x…;" is tried first; when its digits do not end in ";", the decimal form cannot match
    // either, since "x" is no decimal digit.
    std::size_t digits = i + (hex ? 2 : 1);
    std::uint32_t code = 0;
    bool overflow = false;
    std::size_t end = digits;
    for (; end < text.size() && digitValue(text[end], hex) >= 0; ++end) {
      code = code * (hex ? 16 : 10) + std::uint32_t(digitValue(text[end], hex));
      if (code > 0x10ffff) {
        overflow = true;
        code = 0x110000;
      }
    }
    if (end == digits || end >= text.size() || text[end] != ';') return std::nullopt;
    std::string decoded;
    appendCodePoint(decoded, overflow ? 0x110000 : code);
    return std::make_pair(std::move(decoded), end + 1 - at);
  }
  const auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
  if (i >= text.size() || !isLetter(text[i])) return std::nullopt;
  std::size_t end = i + 1;
  while (end < text.size() && (isLetter(text[end]) || (text[end] >= '0' && text[end] <= '9')))
    ++end;
  if (end >= text.size() || text[end] != ';') return std::nullopt;
  const std::string_view name = text.substr(i, end - i);
  for (const auto& entity : kEntities)
    if (entity.first == name) return std::make_pair(std::string(entity.second), end + 1 - at);
  for (const auto& entity : kMoreEntities)
    if (entity.first == name) return std::make_pair(std::string(entity.second), end + 1 - at);
  return std::make_pair(std::string(text.substr(at, end + 1 - at)), end + 1 - at);
}

std::string decodingReferences(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t copied = 0;
  for (std::size_t at = text.find('&'); at != std::string_view::npos;) {
    const auto reference = referenceAt(text, at);
    if (!reference) {
      at = text.find('&', at + 1);
      continue;
    }
    out.append(text, copied, at - copied).append(reference->first);
    copied = at + reference->second;
    at = text.find('&', copied);
  }
  out.append(text, copied);
  return out;
}

// Every run of white space becomes one space; one space at either end goes.
std::string collapsingWhiteSpace(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    std::size_t space = whiteSpaceAt(text, at);
    if (space == 0) {
      out.push_back(text[at++]);
      continue;
    }
    while (space > 0) {
      at += space;
      space = at < text.size() ? whiteSpaceAt(text, at) : 0;
    }
    out.push_back(' ');
  }
  if (!out.empty() && out.back() == ' ') out.pop_back();
  if (!out.empty() && out.front() == ' ') out.erase(0, 1);
  return out;
}

}  // namespace

std::string visibleText(std::string_view html) {
  std::string text(html);
  if (text.find('<') != std::string::npos) {
    if (text.find("<!--") != std::string::npos) text = withoutComments(text);
    if (hasHiddenElement(text)) text = withoutHiddenElements(text);
    text = replacingTags(replacingTags(text, true), false);
  }
  if (text.find('&') != std::string::npos) text = decodingReferences(text);
  return collapsingWhiteSpace(text);
}

std::string textFingerprint(std::string_view text) {
  std::uint32_t hash = 0x811c9dc5u;
  for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 0x01000193u;
  char digits[9];
  std::snprintf(digits, sizeof digits, "%08x", hash);
  return digits;
}

}  // namespace qby
