// A set of Unicode characters, as the string and address operations use them: which characters
// a text may keep, which a query part may hold unencoded. Immutable and cheap to copy; any
// thread may use a shared set.
#pragma once

#include <unicode/uversion.h>

#include <memory>
#include <optional>
#include <string_view>

U_NAMESPACE_BEGIN
class UnicodeSet;
U_NAMESPACE_END

namespace qby {

class CharacterSet {
 public:
  // From an ICU set pattern ("[[:L:][:N:]]", "[a-z0-9]"); nothing when the pattern is invalid.
  static std::optional<CharacterSet> fromPattern(std::string_view pattern);
  // Exactly the characters of the (UTF-8) text.
  static CharacterSet withCharactersInString(std::string_view characters);
  // Letters, marks and numbers (general categories L, M, N).
  static const CharacterSet& alphanumericCharacterSet();
  // Unicode white space and line breaks (categories Z, U+0009–U+000D, U+0085).
  static const CharacterSet& whitespaceAndNewlineCharacterSet();

  bool contains(char32_t character) const;
  // True when every character of the text is in the set; "" counts as contained.
  bool containsAllCharacters(std::string_view text) const;
  bool containsAnyCharacter(std::string_view text) const;
  CharacterSet invertedSet() const;

  // For code that works with ICU directly. The set is frozen.
  const icu::UnicodeSet& unicodeSet() const { return *set_; }

 private:
  explicit CharacterSet(std::shared_ptr<const icu::UnicodeSet> set) : set_(std::move(set)) {}

  std::shared_ptr<const icu::UnicodeSet> set_;
};

}  // namespace qby
