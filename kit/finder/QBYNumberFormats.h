// The recognition script's number formats, read once from the script's tables so that a text
// which is one number (ASCII letters and digits, perhaps in groups parted by blanks, dots,
// hyphens or slashes) is answered without a call into the script: the answer is the one the
// script's guessesFromText gives for that text, built from the same tables by the same rules.
// The script stays the only place the formats are written; a script without the tables, or
// whose guessesFromText does not promise to answer such numbers from them, is always called.
//
// A value, immutable once made; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "finder/QBYGuess.h"
#include "platform/Value.h"

namespace qby {

class QBYNumberFormats {
 public:
  struct Services {
    std::vector<std::string> best;
    std::vector<std::string> more;
  };

  // The formats of the tables the script's numberFormatTables answered, or nothing when they
  // are missing or malformed (a rule the host does not know, a check outside the number).
  static std::optional<QBYNumberFormats> fromTables(const Value& tables);

  // The services a cleaned number (capital letters and digits) may belong to.
  Services servicesForNumber(std::string_view number) const;

  // What guessesFromText answers for a text that is one number: absent when only the script
  // can tell (other characters, a web address, blanks at the ends, and, not strict, a text it
  // would search for a number inside); present with no guess when the script answers none.
  std::optional<std::optional<Guess>> guessForText(std::string_view text, bool strict) const;

 private:
  enum class Rule { Mod10, GS1, Mod11, Mod7, S10, Mod3736 };
  struct Variant {
    std::string prefix;
    std::vector<std::string> except;
    // The number continues at `at` with one of the prefixes (inner), or with none (outer).
    struct Continuation {
      std::size_t at = 0;
      std::vector<std::string> prefixes;
    };
    std::optional<Continuation> inner, innerExcept;
    std::string classes;  // one of D (digit), L (capital letter), X (either) per position
    bool hasCheck = false;
    Rule rule = Rule::Mod10;
    std::size_t from = 0, to = 0, at = 0;
    std::vector<int> weights;
    std::string lead;
    std::vector<std::string> best, more, failed;
    bool post = false;
  };

  bool fits(std::string_view number, const Variant& variant) const;
  static bool passes(std::string_view number, const Variant& variant);

  std::vector<std::vector<Variant>> byLength_;
  std::vector<std::pair<std::string, std::string>> postByCountry_;
  std::vector<std::pair<std::string, std::vector<std::string>>> postAlternatives_;
  std::vector<std::string> destinationPosts_;
  std::size_t shortest_ = 8, longest_ = 40, looseShortest_ = 10, looseLongest_ = 34;
  std::vector<std::string> looseKeys_;
};

}  // namespace qby
