#include "util/ICUText.h"

#include <algorithm>
#include <limits>

namespace qby::icutext {

namespace {

QBYError icuError(UErrorCode status, std::string_view pattern, const UParseError* parseError) {
  Dictionary userInfo{{"pattern", Value(std::string(pattern))}};
  if (parseError && parseError->offset >= 0) {
    userInfo.set("offset", Value(static_cast<long long>(parseError->offset)));
  }
  return QBYError::make("ICU", status, u_errorName(status), std::move(userInfo));
}

}  // namespace

icu::UnicodeString unicode(std::string_view text) {
  // ICU lengths are 32-bit; longer texts are cut rather than wrapped.
  const auto length = std::min<std::size_t>(text.size(), std::numeric_limits<int32_t>::max());
  return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(length)));
}

std::string utf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

std::string utf8(const icu::UnicodeString& text, int32_t start, int32_t limit) {
  return utf8(text.tempSubStringBetween(start, limit));
}

Pattern::Pattern(std::string_view pattern, uint32_t flags) : source_(pattern) {
  UErrorCode status = U_ZERO_ERROR;
  UParseError parseError{};
  std::unique_ptr<icu::RegexPattern> compiled(
      icu::RegexPattern::compile(unicode(pattern), flags, parseError, status));
  if (U_FAILURE(status) || !compiled) {
    error_ = icuError(U_FAILURE(status) ? status : U_MEMORY_ALLOCATION_ERROR, pattern, &parseError);
    return;
  }
  pattern_ = std::move(compiled);
}

std::unique_ptr<icu::RegexMatcher> Pattern::matcher(const icu::UnicodeString& input) const {
  if (!pattern_) return nullptr;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::RegexMatcher> matcher(pattern_->matcher(input, status));
  if (U_FAILURE(status)) return nullptr;
  return matcher;
}

std::optional<std::string> Pattern::replaceAll(std::string_view text, std::string_view replacement,
                                               QBYError* error) const {
  if (!pattern_) {
    setError(error, error_);
    return std::nullopt;
  }
  const icu::UnicodeString input = unicode(text);
  auto m = matcher(input);
  if (!m) {
    setError(error, icuError(U_MEMORY_ALLOCATION_ERROR, source_, nullptr));
    return std::nullopt;
  }
  // RegexMatcher::replaceAll swallows errors of its inner searches (a backtracking stack that
  // overflows on a long run) and answers a half-replaced text; this loop reports them instead.
  UErrorCode status = U_ZERO_ERROR;
  const icu::UnicodeString replacementText = unicode(replacement);
  icu::UnicodeString result;
  while (m->find(status) && U_SUCCESS(status)) {
    m->appendReplacement(result, replacementText, status);
    if (U_FAILURE(status)) break;
  }
  if (U_SUCCESS(status)) m->appendTail(result);
  if (U_FAILURE(status)) {
    setError(error, icuError(status, source_, nullptr));
    return std::nullopt;
  }
  return utf8(result);
}

std::optional<std::string> group(icu::RegexMatcher& matcher, int32_t number) {
  UErrorCode status = U_ZERO_ERROR;
  const int32_t start = matcher.start(number, status);
  if (U_FAILURE(status) || start < 0) return std::nullopt;
  const int32_t end = matcher.end(number, status);
  if (U_FAILURE(status)) return std::nullopt;
  return utf8(matcher.input(), start, end);
}

std::unique_ptr<icu::BreakIterator> characterBreaks(const icu::UnicodeString& text) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> breaks(
      icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !breaks) return nullptr;
  breaks->setText(text);
  return breaks;
}

std::unique_ptr<icu::BreakIterator> wordBreaks(const icu::UnicodeString& text) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> breaks(
      icu::BreakIterator::createWordInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !breaks) return nullptr;
  breaks->setText(text);
  return breaks;
}

std::optional<int32_t> advanceCharacters(icu::BreakIterator& characters, std::size_t count) {
  int32_t position = characters.first();
  for (std::size_t i = 0; i < count; ++i) {
    position = characters.next();
    if (position == icu::BreakIterator::DONE) return std::nullopt;
  }
  return position;
}

}  // namespace qby::icutext
