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

namespace {

// Appends the text as a JSON string when it is ASCII; false otherwise.
bool appendPlainText(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) return false;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0x0F];
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return true;
}

bool appendPlainJSON(std::string& out, const Dictionary& dictionary, int depth);

// Appends the value as compact JSON when it holds nothing but ASCII texts, integers, booleans,
// nulls and shallow lists and dictionaries of them; false for anything else, which the general
// writer takes.
bool appendPlainJSON(std::string& out, const Value& value, int depth) {
  if (depth > 8) return false;
  switch (value.type()) {
    case Value::Type::Null:
      out += "null";
      return true;
    case Value::Type::Bool:
      out += *value.asBool() ? "true" : "false";
      return true;
    case Value::Type::Integer:
      out += std::to_string(*value.asInteger());
      return true;
    case Value::Type::String:
      return appendPlainText(out, *value.stringPtr());
    case Value::Type::Array: {
      out += '[';
      bool first = true;
      for (const auto& element : *value.arrayPtr()) {
        if (!first) out += ',';
        first = false;
        if (!appendPlainJSON(out, element, depth + 1)) return false;
      }
      out += ']';
      return true;
    }
    case Value::Type::Dictionary:
      return appendPlainJSON(out, *value.dictionaryPtr(), depth);
    default:
      return false;
  }
}

bool appendPlainJSON(std::string& out, const Dictionary& dictionary, int depth) {
  out += '{';
  bool first = true;
  for (const auto& [key, element] : dictionary) {
    if (!first) out += ',';
    first = false;
    if (!appendPlainText(out, key)) return false;
    out += ':';
    if (!appendPlainJSON(out, element, depth + 1)) return false;
  }
  out += '}';
  return true;
}

}  // namespace

std::optional<std::string> guessesJSON(const std::vector<Guess>& guesses) {
  std::string out = "[";
  bool plain = true;
  for (std::size_t i = 0; i < guesses.size() && plain; ++i) {
    if (i > 0) out += ',';
    plain = appendPlainJSON(out, guesses[i], 1);
  }
  if (plain) return out + "]";
  Array array(guesses.begin(), guesses.end());
  return Value(std::move(array)).toJSON(false);
}

}  // namespace qby
