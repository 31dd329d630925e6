#include "FinderCommands.h"

#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "finder/QBYDeliveriesFinder.h"
#include "store/QBYDataStore.h"
#include "util/StringUtilities.h"
#include "util/URLUtilities.h"

namespace porvane {

namespace {

constexpr int kUsageError = 64;

std::string json(const qby::Value& value) {
  return value.toJSON(false).value_or("null");
}

qby::Value guessList(const std::vector<qby::Guess>& guesses) {
  qby::Array array;
  for (const auto& guess : guesses) array.emplace_back(guess);
  return array;
}

std::string joined(const std::vector<std::string>& keys) {
  std::string out;
  for (const auto& key : keys) out += (out.empty() ? "" : ", ") + key;
  return out;
}

void printReadable(const std::vector<qby::Guess>& guesses) {
  if (guesses.empty()) std::printf("No tracking number found.\n");
  for (const auto& guess : guesses) {
    const auto number = qby::guessString(guess, qby::QBYGuessNumberKey);
    const auto extra = qby::guessString(guess, qby::QBYGuessExtraKey);
    std::printf("%s", number ? number->c_str() : extra ? extra->c_str() : "(no number)");
    const auto best = qby::bestGuesses(guess);
    const auto more = qby::moreGuesses(guess);
    if (!best.empty()) std::printf("  best: %s", joined(best).c_str());
    if (!more.empty()) std::printf("  more: %s", joined(more).c_str());
    std::printf("\n");
  }
}

std::vector<qby::Guess> guessesFor(qby::QBYDeliveriesFinder& finder, const std::string& text,
                                   bool strict) {
  if (strict) {
    auto guess = finder.guessesFromText(text, true);
    if (guess && qby::hasGuesses(*guess)) return {*guess};
    return {};
  }
  const auto trimmed = qby::trimmedString(text);
  qby::QBYWebData data;
  if (qby::isURL(trimmed) && trimmed.find_first_of(" \t\n") == std::string::npos)
    data.url = trimmed;
  else
    data.text = text;
  return finder.guessesFromWebData(data);
}

}  // namespace

int runGuessCommand(int argc, char** argv) {
  bool strict = false;
  bool asJSON = false;
  bool lines = false;
  std::vector<std::string> words;
  for (int i = 0; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--strict")
      strict = true;
    else if (argument == "--json")
      asJSON = true;
    else if (argument == "--lines")
      lines = true;
    else if (argument.starts_with("--")) {
      std::fprintf(stderr, "porvane guess: unknown option: %s\n", argument.c_str());
      return kUsageError;
    } else
      words.push_back(argument);
  }
  if (lines == !words.empty()) {
    std::fprintf(stderr, lines ? "porvane guess: --lines reads standard input and takes no TEXT\n"
                               : "porvane guess: missing TEXT (or --lines)\n");
    return kUsageError;
  }
  qby::QBYDeliveriesFinder finder(nullptr);
  if (lines) {
    std::string line;
    while (std::getline(std::cin, line)) {
      std::printf("%s\n", json(guessList(guessesFor(finder, line, strict))).c_str());
      // One answer per line as it comes, for whoever reads the other end of a pipe.
      std::fflush(stdout);
      if (finder.scriptRunner()->configurationFailed()) break;
    }
  } else {
    std::string text;
    for (const auto& word : words) text += (text.empty() ? "" : " ") + word;
    const auto guesses = guessesFor(finder, text, strict);
    if (asJSON)
      std::printf("%s\n", json(guessList(guesses)).c_str());
    else
      printReadable(guesses);
  }
  std::fflush(stdout);
  if (finder.scriptRunner()->configurationFailed()) {
    std::fprintf(stderr, "porvane guess: the recognition scripts could not be loaded\n");
    return 1;
  }
  return 0;
}

int runSuggestCommand(int argc, char** argv) {
  std::string text;
  for (int i = 0; i < argc; ++i) text += (text.empty() ? "" : " ") + std::string(argv[i]);
  qby::QBYDataStore store;
  if (!store.available()) {
    std::fprintf(stderr, "porvane suggest: the delivery store could not be opened\n");
    return 1;
  }
  qby::QBYDeliveriesFinder finder(&store);
  const auto suggestions = finder.suggestionsForNaturalString(
      text.empty() ? std::nullopt : std::optional(text), {}, false);
  for (std::size_t i = 0; i < suggestions.titles.size(); ++i) {
    std::printf("%s\n", suggestions.titles[i].c_str());
    for (const auto& item : suggestions.items[i]) {
      std::printf("  %s", item.from.value_or("-").c_str());
      if (item.serviceName) std::printf(" (%s)", item.serviceName->c_str());
      if (item.no) std::printf("  no: %s", item.no->c_str());
      if (item.extra) std::printf("  extra: %s", item.extra->c_str());
      if (item.name) std::printf("  name: %s", item.name->c_str());
      std::printf("\n");
    }
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace porvane
