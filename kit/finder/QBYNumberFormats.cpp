#include "finder/QBYNumberFormats.h"

#include <algorithm>

namespace qby {

namespace {

std::vector<std::string> strings(const Value& value) {
  std::vector<std::string> out;
  if (const auto* array = value.arrayPtr())
    for (const auto& element : *array)
      if (const auto* text = element.stringPtr()) out.push_back(*text);
  return out;
}

std::optional<std::size_t> size(const Value& value) {
  const auto number = value.asInteger();
  if (!number || *number < 0) return std::nullopt;
  return static_cast<std::size_t>(*number);
}

void addOnce(std::vector<std::string>& list, const std::string& key) {
  if (std::find(list.begin(), list.end(), key) == list.end()) list.push_back(key);
}

void addAll(std::vector<std::string>& list, const std::vector<std::string>& keys) {
  for (const auto& key : keys) addOnce(list, key);
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool isCapital(char c) {
  return c >= 'A' && c <= 'Z';
}

// A digit its own value, a letter (code - 3) mod 10 as UPS counts them (A = 2, B = 3, ...).
int valueOf(char c) {
  return c <= '9' ? c - '0' : (c - 3) % 10;
}

}  // namespace

std::optional<QBYNumberFormats> QBYNumberFormats::fromTables(const Value& tables) {
  const auto* root = tables.dictionaryPtr();
  if (!root) return std::nullopt;
  QBYNumberFormats formats;
  const auto* variants = (*root)["variants"].arrayPtr();
  if (!variants || variants->empty()) return std::nullopt;
  for (const auto& entry : *variants) {
    const auto* fields = entry.dictionaryPtr();
    if (!fields) return std::nullopt;
    const auto length = size((*fields)["length"]);
    const auto* prefix = (*fields)["prefix"].stringPtr();
    const auto* classes = (*fields)["classes"].stringPtr();
    if (!length || *length == 0 || *length > 64 || !prefix || !classes ||
        prefix->size() + classes->size() != *length ||
        classes->find_first_not_of("DLX") != std::string::npos)
      return std::nullopt;
    Variant variant;
    variant.prefix = *prefix;
    variant.except = strings((*fields)["except"]);
    for (const auto& [name, into] :
         {std::pair{"inner", &variant.inner}, std::pair{"innerExcept", &variant.innerExcept}}) {
      const auto& continuation = (*fields)[name];
      if (continuation.isNull()) continue;
      const auto at =
          continuation.dictionaryPtr() ? size((*continuation.dictionaryPtr())["at"]) : std::nullopt;
      if (!at || *at >= *length) return std::nullopt;
      *into = Variant::Continuation{*at, strings((*continuation.dictionaryPtr())["prefixes"])};
    }
    variant.classes = *classes;
    variant.best = strings((*fields)["best"]);
    variant.more = strings((*fields)["more"]);
    variant.failed = strings((*fields)["failed"]);
    variant.post = (*fields)["post"].asBool().value_or(false);
    if (const auto* check = (*fields)["check"].dictionaryPtr()) {
      static const std::pair<const char*, Rule> kRules[] = {
          {"mod10", Rule::Mod10}, {"gs1", Rule::GS1}, {"mod11", Rule::Mod11},
          {"mod7", Rule::Mod7},   {"s10", Rule::S10}, {"mod3736", Rule::Mod3736}};
      const auto* rule = (*check)["rule"].stringPtr();
      const auto known = std::find_if(std::begin(kRules), std::end(kRules), [&](const auto& pair) {
        return rule && *rule == pair.first;
      });
      const auto from = size((*check)["from"]), to = size((*check)["to"]),
                 at = size((*check)["at"]);
      if (known == std::end(kRules) || !from || !to || !at || *from > *to || *to > *length ||
          *at >= *length)
        return std::nullopt;
      variant.hasCheck = true;
      variant.rule = known->second;
      variant.from = *from;
      variant.to = *to;
      variant.at = *at;
      if (const auto* weights = (*check)["weights"].arrayPtr())
        for (const auto& weight : *weights)
          variant.weights.push_back(static_cast<int>(weight.asInteger().value_or(0)));
      if (const auto* lead = (*check)["lead"].stringPtr()) variant.lead = *lead;
      if (variant.lead.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
      if ((variant.rule == Rule::Mod10 || variant.rule == Rule::Mod11) && variant.weights.empty())
        return std::nullopt;
      if (variant.rule == Rule::S10 && *from + 8 > *length) return std::nullopt;
    }
    if (formats.byLength_.size() <= *length) formats.byLength_.resize(*length + 1);
    formats.byLength_[*length].push_back(std::move(variant));
  }
  if (const auto* posts = (*root)["postByCountry"].dictionaryPtr())
    for (const auto& [country, key] : *posts)
      if (const auto* text = key.stringPtr()) formats.postByCountry_.emplace_back(country, *text);
  if (const auto* alternatives = (*root)["postAlternatives"].dictionaryPtr())
    for (const auto& [country, keys] : *alternatives)
      formats.postAlternatives_.emplace_back(country, strings(keys));
  formats.destinationPosts_ = strings((*root)["destinationPosts"]);
  formats.looseKeys_ = strings((*root)["looseKeys"]);
  const auto shortest = size((*root)["shortest"]), longest = size((*root)["longest"]);
  const auto looseShortest = size((*root)["looseShortest"]);
  const auto looseLongest = size((*root)["looseLongest"]);
  if (!shortest || !longest || !looseShortest || !looseLongest) return std::nullopt;
  formats.shortest_ = *shortest;
  formats.longest_ = *longest;
  formats.looseShortest_ = *looseShortest;
  formats.looseLongest_ = *looseLongest;
  return formats;
}

bool QBYNumberFormats::fits(std::string_view number, const Variant& variant) const {
  if (!number.starts_with(variant.prefix)) return false;
  for (const auto& excluded : variant.except)
    if (number.starts_with(excluded)) return false;
  const auto continuesWith = [&](const Variant::Continuation& continuation) {
    const auto rest = number.substr(continuation.at);
    return std::any_of(continuation.prefixes.begin(), continuation.prefixes.end(),
                       [&](const std::string& prefix) { return rest.starts_with(prefix); });
  };
  if (variant.inner && !continuesWith(*variant.inner)) return false;
  if (variant.innerExcept && continuesWith(*variant.innerExcept)) return false;
  const std::size_t offset = variant.prefix.size();
  for (std::size_t i = 0; i < variant.classes.size(); ++i) {
    const char c = number[offset + i];
    const char wanted = variant.classes[i];
    const bool ok = wanted == 'D'   ? isDigit(c)
                    : wanted == 'L' ? isCapital(c)
                                    : isDigit(c) || isCapital(c);
    if (!ok) return false;
  }
  return true;
}

bool QBYNumberFormats::passes(std::string_view n, const Variant& v) {
  const auto digit = [&](std::size_t i) { return n[i] - '0'; };
  int expected = 0;
  switch (v.rule) {
    case Rule::Mod10: {
      int total = 0;
      for (std::size_t i = v.from; i < v.to; ++i)
        total += valueOf(n[i]) * v.weights[(i - v.from) % v.weights.size()];
      expected = '0' + (10 - total % 10) % 10;
      break;
    }
    case Rule::GS1: {
      int total = 0, weight = 3;
      for (std::size_t i = v.to; i > v.from; --i, weight = 4 - weight)
        total += digit(i - 1) * weight;
      for (std::size_t i = v.lead.size(); i > 0; --i, weight = 4 - weight)
        total += (v.lead[i - 1] - '0') * weight;
      expected = '0' + (10 - total % 10) % 10;
      break;
    }
    case Rule::Mod11: {
      int total = 0;
      for (std::size_t i = v.from; i < v.to; ++i)
        total += digit(i) * v.weights[(i - v.from) % v.weights.size()];
      expected = '0' + total % 11 % 10;
      break;
    }
    case Rule::Mod7: {
      int rest = 0;
      for (std::size_t i = v.from; i < v.to; ++i) rest = (rest * 10 + digit(i)) % 7;
      expected = '0' + rest;
      break;
    }
    case Rule::S10: {
      static const int kWeights[] = {8, 6, 4, 2, 3, 5, 9, 7};
      int total = 0;
      for (std::size_t i = 0; i < 8; ++i) total += digit(v.from + i) * kWeights[i];
      const int check = 11 - total % 11;
      expected = '0' + (check == 10 ? 0 : check == 11 ? 5 : check);
      break;
    }
    case Rule::Mod3736: {
      int p = 36;
      for (std::size_t i = v.from; i < v.to; ++i) {
        const char c = n[i];
        p = (p + (c <= '9' ? c - '0' : c - 'A' + 10)) % 36;
        p = (p == 0 ? 36 : p) * 2 % 37;
      }
      const int value = (37 - p) % 36;
      expected = value < 10 ? '0' + value : 'A' + value - 10;
      break;
    }
  }
  return n[v.at] == expected;
}

QBYNumberFormats::Services QBYNumberFormats::servicesForNumber(std::string_view number) const {
  Services services;
  if (number.size() >= byLength_.size()) return services;
  for (const auto& variant : byLength_[number.size()]) {
    if (!fits(number, variant)) continue;
    const bool passed = !variant.hasCheck || passes(number, variant);
    if (variant.post) {
      const std::string_view country = number.substr(number.size() - 2);
      const auto post = std::find_if(postByCountry_.begin(), postByCountry_.end(),
                                     [&](const auto& pair) { return pair.first == country; });
      if (!passed) {
        if (post != postByCountry_.end()) addOnce(services.more, post->second);
        continue;
      }
      if (post != postByCountry_.end()) addOnce(services.best, post->second);
      for (const auto& [code, keys] : postAlternatives_)
        if (code == country) addAll(services.more, keys);
      addAll(services.more, destinationPosts_);
    } else if (passed) {
      addAll(services.best, variant.best);
      addAll(services.more, variant.more);
    } else {
      addAll(services.more, variant.failed);
    }
  }
  if (!services.best.empty())
    std::erase_if(services.more, [&](const std::string& key) {
      return std::find(services.best.begin(), services.best.end(), key) != services.best.end();
    });
  return services;
}

std::optional<std::optional<Guess>> QBYNumberFormats::guessForText(std::string_view text,
                                                                   bool strict) const {
  // Longer texts are searched by the script; a blank at either end is trimmed there first.
  constexpr std::size_t kLongestCandidate = 2048;
  if (text.empty() || text.size() > kLongestCandidate || text.front() == ' ' || text.back() == ' ')
    return std::nullopt;
  std::string number;
  number.reserve(text.size());
  bool digit = false, blank = false;
  for (const char c : text) {
    if (isDigit(c)) {
      digit = true;
      number += c;
    } else if (isCapital(c)) {
      number += c;
    } else if (c >= 'a' && c <= 'z') {
      number += static_cast<char>(c - 'a' + 'A');
    } else if (c == ' ') {
      blank = true;
    } else if (c != '.' && c != '-' && c != '/') {
      return std::nullopt;
    }
  }
  // Not strict, the script searches a text that is no number for one inside it.
  const auto none = [&]() -> std::optional<std::optional<Guess>> {
    if (strict) return std::optional<Guess>();
    return std::nullopt;
  };
  // A word of letters alone (five, or four with a small letter) makes a sentence.
  if (blank) {
    for (std::size_t at = 0; at < text.size();) {
      const auto end = std::min(text.find(' ', at), text.size());
      const auto piece = text.substr(at, end - at);
      const bool letters = !piece.empty() && std::all_of(piece.begin(), piece.end(), [](char c) {
        return isCapital(c) || (c >= 'a' && c <= 'z');
      });
      const bool small =
          std::any_of(piece.begin(), piece.end(), [](char c) { return c >= 'a' && c <= 'z'; });
      if (letters && (piece.size() >= 5 || (piece.size() >= 4 && small))) return none();
      at = end + 1;
    }
  }
  if (!digit || number.size() < shortest_ || number.size() > longest_) return none();
  auto services = servicesForNumber(number);
  if (services.best.empty() && services.more.empty()) {
    if (strict) return std::optional<Guess>();
    if (number.size() < looseShortest_ || number.size() > looseLongest_) return std::nullopt;
    services.more = looseKeys_;
  }
  Array best(services.best.begin(), services.best.end());
  Array more(services.more.begin(), services.more.end());
  return std::optional<Guess>(Guess{{QBYGuessNumberKey, Value(std::move(number))},
                                    {"best", Value(std::move(best))},
                                    {"more", Value(std::move(more))},
                                    {QBYGuessInputKey, Value(std::string(text))}});
}

}  // namespace qby
