#include "util/CharacterSet.h"

#include <unicode/uniset.h>
#include <unicode/unistr.h>

namespace qby {

namespace {

// Frozen sets are safe to read from many threads at once.
std::shared_ptr<const icu::UnicodeSet> frozen(std::unique_ptr<icu::UnicodeSet> set) {
  set->freeze();
  return std::shared_ptr<const icu::UnicodeSet>(std::move(set));
}

CharacterSet requiredSet(std::string_view pattern) {
  // Only called with the fixed patterns below, which are valid.
  return *CharacterSet::fromPattern(pattern);
}

}  // namespace

std::optional<CharacterSet> CharacterSet::fromPattern(std::string_view pattern) {
  UErrorCode status = U_ZERO_ERROR;
  const auto text = icu::UnicodeString::fromUTF8(
      icu::StringPiece(pattern.data(), static_cast<int32_t>(pattern.size())));
  auto set = std::make_unique<icu::UnicodeSet>(text, status);
  if (U_FAILURE(status) || set->isBogus()) return std::nullopt;
  return CharacterSet(frozen(std::move(set)));
}

CharacterSet CharacterSet::withCharactersInString(std::string_view characters) {
  auto set = std::make_unique<icu::UnicodeSet>();
  set->addAll(icu::UnicodeString::fromUTF8(
      icu::StringPiece(characters.data(), static_cast<int32_t>(characters.size()))));
  return CharacterSet(frozen(std::move(set)));
}

const CharacterSet& CharacterSet::alphanumericCharacterSet() {
  static const CharacterSet set = requiredSet("[[:L:][:M:][:N:]]");
  return set;
}

const CharacterSet& CharacterSet::whitespaceAndNewlineCharacterSet() {
  static const CharacterSet set = requiredSet("[[:Z:][\\u0009-\\u000D\\u0085]]");
  return set;
}

bool CharacterSet::contains(char32_t character) const {
  return set_->contains(static_cast<UChar32>(character));
}

bool CharacterSet::containsAllCharacters(std::string_view text) const {
  return set_->containsAll(icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size()))));
}

bool CharacterSet::containsAnyCharacter(std::string_view text) const {
  const auto unicode = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  return set_->span(unicode, 0, USET_SPAN_NOT_CONTAINED) < unicode.length();
}

CharacterSet CharacterSet::invertedSet() const {
  std::unique_ptr<icu::UnicodeSet> set(set_->cloneAsThawed());
  set->complement();
  return CharacterSet(frozen(std::move(set)));
}

}  // namespace qby
