// Operations on guesses: the dictionaries the recognition scripts answer for a text ("no",
// "extra", "best", "more", "input", "name", "displayName", "itemCacheJSON").
//
// Pure functions; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Value.h"

namespace qby {

inline constexpr const char* QBYGuessNumberKey = "no";
inline constexpr const char* QBYGuessExtraKey = "extra";
inline constexpr const char* QBYGuessInputKey = "input";
inline constexpr const char* QBYGuessNameKey = "name";
inline constexpr const char* QBYGuessDisplayNameKey = "displayName";
inline constexpr const char* QBYGuessItemCacheJSON = "itemCacheJSON";

using Guess = Dictionary;

// The texts of the guess's "best" and "more" lists (other elements are skipped).
std::vector<std::string> bestGuesses(const Guess& guess);
std::vector<std::string> moreGuesses(const Guess& guess);
// A number or an extra value, and a service in "best" or "more".
bool hasGuesses(const Guess& guess);
bool includesDomain(const Guess& guess, std::string_view key);
// The guess with the entry of the additional data for its number (or, without one, its extra)
// laid over it: "name", "extra", "displayName" and "itemCacheJSON", each when present.
Guess guessWithAdditionalData(const Guess& guess, const std::optional<Dictionary>& additionalData);
// Not empty, the guess has a number, and some element has the same number.
bool includesGuess(const std::vector<Guess>& guesses, const Guess& guess);
// Adds the guess unless an equal one is there.
void addObjectOnce(std::vector<Guess>& guesses, const Guess& guess);

// The order of a search's final list: guesses with best services first, and among those the
// ones whose first best service is Amazon's order-link service ahead of the rest, so that it
// comes before the keys of Amazon's shops. It ranks each guess (order link, other best, no
// best) and compares the ranks: a strict weak ordering, as std::stable_sort needs, that keeps
// guesses of one rank in their order.
bool guessRanksBefore(const Guess& a, const Guess& b);

// A text of the guess, or nothing when absent or not a text.
std::optional<std::string> guessString(const Guess& guess, std::string_view key);

// The guesses as one compact JSON array, exactly as Value::toJSON writes it (nothing where it
// writes nothing), without building a JSON tree for the usual guess of ASCII texts and lists:
// a tool that answers a line of JSON per number writes many of them.
std::optional<std::string> guessesJSON(const std::vector<Guess>& guesses);

}  // namespace qby
