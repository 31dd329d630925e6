#include "finder/QBYGuess.h"

#include <algorithm>

namespace qby {

namespace {

std::vector<std::string> keysOf(const Guess& guess, std::string_view key) {
  std::vector<std::string> keys;
  if (const Value* list = guess.find(key); list && list->arrayPtr()) {
    for (const auto& element : *list->arrayPtr())
      if (const auto* text = element.stringPtr()) keys.push_back(*text);
  }
  return keys;
}

// Amazon's link-redirect service, which follows an order by its page.
constexpr std::string_view kAmazonOrderLinkKey = "www.amazon.com/url";

int rankOf(const Guess& guess) {
  const auto best = keysOf(guess, "best");
  if (best.empty()) return 2;
  return best.front() == kAmazonOrderLinkKey ? 0 : 1;
}

bool hasValueAt(const Guess& guess, std::string_view key) {
  const Value* value = guess.find(key);
  return value && !value->isNull();
}

}  // namespace

std::optional<std::string> guessString(const Guess& guess, std::string_view key) {
  if (const Value* value = guess.find(key)) return value->asString();
  return std::nullopt;
}

std::vector<std::string> bestGuesses(const Guess& guess) {
  return keysOf(guess, "best");
}
std::vector<std::string> moreGuesses(const Guess& guess) {
  return keysOf(guess, "more");
}

bool hasGuesses(const Guess& guess) {
  if (!hasValueAt(guess, QBYGuessNumberKey) && !hasValueAt(guess, QBYGuessExtraKey)) return false;
  return !bestGuesses(guess).empty() || !moreGuesses(guess).empty();
}

bool includesDomain(const Guess& guess, std::string_view key) {
  const auto best = bestGuesses(guess);
  const auto more = moreGuesses(guess);
  return std::find(best.begin(), best.end(), key) != best.end() ||
         std::find(more.begin(), more.end(), key) != more.end();
}

Guess guessWithAdditionalData(const Guess& guess, const std::optional<Dictionary>& additionalData) {
  if (!additionalData) return guess;
  auto lookup = guessString(guess, QBYGuessNumberKey);
  if (!lookup) lookup = guessString(guess, QBYGuessExtraKey);
  if (!lookup) return guess;
  const Value* entry = additionalData->find(*lookup);
  if (!entry || !entry->dictionaryPtr()) return guess;
  Guess merged = guess;
  for (const char* key :
       {QBYGuessNameKey, QBYGuessExtraKey, QBYGuessDisplayNameKey, QBYGuessItemCacheJSON}) {
    if (const Value* value = entry->dictionaryPtr()->find(key); value && !value->isNull())
      merged.set(key, *value);
  }
  return merged;
}

bool includesGuess(const std::vector<Guess>& guesses, const Guess& guess) {
  const Value* number = guess.find(QBYGuessNumberKey);
  if (guesses.empty() || !number || number->isNull()) return false;
  return std::any_of(guesses.begin(), guesses.end(), [&](const Guess& element) {
    const Value* other = element.find(QBYGuessNumberKey);
    return other && *other == *number;
  });
}

void addObjectOnce(std::vector<Guess>& guesses, const Guess& guess) {
  if (std::find(guesses.begin(), guesses.end(), guess) == guesses.end()) guesses.push_back(guess);
}

bool guessRanksBefore(const Guess& a, const Guess& b) {
  return rankOf(a) < rankOf(b);
}

}  // namespace qby
