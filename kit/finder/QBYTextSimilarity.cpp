#include "finder/QBYTextSimilarity.h"

#include <unicode/brkiter.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <vector>

#include "util/ICUText.h"
#include "util/StringUtilities.h"

namespace qby {

namespace {

std::string normalized(std::string_view text) {
  auto lower = icutext::unicode(text);
  lower.toLower(icu::Locale::getRoot());
  return trimmedString(stripPunctuation(icutext::utf8(lower)));
}

// Words as the word break rules find them; spaces and punctuation between words are left out.
std::vector<icu::UnicodeString> words(const std::string& text) {
  std::vector<icu::UnicodeString> out;
  const auto unicode = icutext::unicode(text);
  auto breaks = icutext::wordBreaks(unicode);
  if (!breaks) return out;
  int32_t start = breaks->first();
  for (int32_t end = breaks->next(); end != icu::BreakIterator::DONE;
       start = end, end = breaks->next()) {
    if (breaks->getRuleStatus() == UBRK_WORD_NONE) continue;
    out.push_back(icu::UnicodeString(unicode, start, end - start));
  }
  return out;
}

}  // namespace

std::string stripPunctuation(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (c != ':' && c != ';' && c != ',' && c != '.') out.push_back(c);
  return out;
}

int similarityToString(std::string_view text, std::string_view other) {
  const auto mine = normalized(text);
  const auto theirs = normalized(other);
  if (mine == theirs) return 2;
  const auto b = words(theirs);
  const auto a = words(mine);
  std::size_t matches = 0;
  std::size_t cursor = 0;
  for (const auto& word : a) {
    const auto hit = std::find(b.begin() + static_cast<std::ptrdiff_t>(std::min(cursor, b.size())),
                               b.end(), word);
    if (hit == b.end()) continue;
    ++matches;
    cursor = static_cast<std::size_t>(hit - b.begin());
  }
  if (matches == 0) return 0;
  const double larger = static_cast<double>(std::max(a.size(), b.size()));
  return static_cast<double>(matches) / larger > 0.7 ? 1 : 0;
}

}  // namespace qby
