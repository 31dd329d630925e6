#include "FinderCommands.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#include "DeliveryOutput.h"
#include "ExitCodes.h"
#include "SafeText.h"
#include "Session.h"
#include "finder/QBYDeliveriesFinder.h"
#include "manager/QBYDeliveriesManager.h"
#include "util/StringUtilities.h"
#include "util/URLUtilities.h"

namespace porvane {

namespace {

// Lines are searched in batches of this much text: a batch costs one visit of the finder's
// script queue, and stays far within the wait the finder allows a visit.
constexpr std::size_t kBatchBytes = 1 << 20;
constexpr std::size_t kBatchLines = 4096;

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
    std::string line = number ? *number : extra ? *extra : "(no number)";
    const auto best = qby::bestGuesses(guess);
    const auto more = qby::moreGuesses(guess);
    if (!best.empty()) line += "  best: " + joined(best);
    if (!more.empty()) line += "  more: " + joined(more);
    std::printf("%s\n", terminalText(line).c_str());
  }
}

// What the finder searches for a text: a lone web address as the page's address, anything
// else as text.
qby::QBYWebData webDataFor(const std::string& text) {
  const auto trimmed = qby::trimmedString(text);
  qby::QBYWebData data;
  if (qby::isURL(trimmed) && trimmed.find_first_of(" \t\n") == std::string::npos)
    data.url = trimmed;
  else
    data.text = text;
  return data;
}

// The guesses for each text: with strict, a guess only for a text that is one number.
std::vector<std::vector<qby::Guess>> guessesFor(qby::QBYDeliveriesFinder& finder,
                                                const std::vector<std::string>& texts,
                                                bool strict) {
  std::vector<std::vector<qby::Guess>> answers;
  if (strict) {
    for (auto& guess : finder.guessesFromTexts(texts, true)) {
      answers.emplace_back();
      if (guess && qby::hasGuesses(*guess)) answers.back().push_back(std::move(*guess));
    }
    return answers;
  }
  std::vector<qby::QBYWebData> pages;
  for (const auto& text : texts) pages.push_back(webDataFor(text));
  return finder.guessesFromWebData(pages);
}

// Reads standard input as it comes and answers each batch of whole lines at once, so that a
// file is searched at the finder's speed and a program that writes one line and waits for its
// answer gets it at once. False when standard input could not be read or a batch got no answer.
bool answerLines(qby::QBYDeliveriesFinder& finder, bool strict) {
  std::string pending;
  std::vector<char> buffer(kBatchBytes);
  bool ended = false;
  while (!ended) {
    const ssize_t got = read(STDIN_FILENO, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      fail("guess", std::string("cannot read standard input: ") + std::strerror(errno),
           kExitFailure);
      return false;
    }
    ended = got == 0;
    pending.append(buffer.data(), static_cast<std::size_t>(got));
    // The last line may lack its line break; until the end it may still be coming.
    if (ended && !pending.empty() && pending.back() != '\n') pending += '\n';

    std::size_t consumed = 0;
    while (consumed < pending.size()) {
      std::vector<std::string> lines;
      std::size_t bytes = 0;
      for (auto end = pending.find('\n', consumed);
           end != std::string::npos && lines.size() < kBatchLines && bytes < kBatchBytes;
           end = pending.find('\n', consumed)) {
        std::string_view line(pending.data() + consumed, end - consumed);
        if (line.ends_with('\r')) line.remove_suffix(1);
        lines.push_back(validUTF8(line));
        bytes += line.size();
        consumed = end + 1;
      }
      if (lines.empty()) break;
      const auto answers = guessesFor(finder, lines, strict);
      if (answers.size() != lines.size()) return false;
      std::string out;
      for (const auto& guesses : answers) {
        const auto json = qby::guessesJSON(guesses);
        if (!json) {
          fail("guess", "an answer could not be written as JSON", kExitFailure);
          return false;
        }
        out += *json + "\n";
      }
      if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() ||
          std::fflush(stdout) != 0) {
        fail("guess", std::string("cannot write the answers: ") + std::strerror(errno),
             kExitFailure);
        return false;
      }
    }
    pending.erase(0, consumed);
  }
  return true;
}

qby::Value orNull(const std::optional<std::string>& text) {
  return text ? qby::Value(*text) : qby::Value();
}

}  // namespace

int runGuessCommand(int argc, char** argv) {
  std::string error;
  const auto arguments = Arguments::parse(argc, argv, {{"strict"}, {"json"}, {"lines"}}, &error);
  if (!arguments) return fail("guess", error, kExitUsage);
  const bool strict = arguments->has("strict");
  const bool lines = arguments->has("lines");
  const std::string text = arguments->joinedPositionals();
  if (lines && !text.empty())
    return fail("guess", "--lines reads standard input and takes no TEXT", kExitUsage);
  if (!lines && text.empty()) return fail("guess", "missing TEXT (or --lines)", kExitUsage);

  qby::QBYDeliveriesFinder finder(nullptr);
  bool answered = true;
  if (lines) {
    answered = answerLines(finder, strict);
  } else {
    const auto answers = guessesFor(finder, {text}, strict);
    answered = answers.size() == 1;
    const auto guesses = answered ? answers.front() : std::vector<qby::Guess>{};
    if (arguments->has("json")) {
      if (const int code = printJSON("guess", guessList(guesses)); code != kExitSuccess)
        return code;
    } else {
      printReadable(guesses);
    }
  }
  std::fflush(stdout);
  if (finder.scriptsFailedToLoad())
    return fail("guess", "the recognition scripts could not be loaded", kExitFailure);
  if (!answered) return fail("guess", "the recognition scripts did not answer", kExitFailure);
  return kExitSuccess;
}

int runSuggestCommand(int argc, char** argv) {
  std::string error;
  const auto arguments = Arguments::parse(argc, argv, {{"json"}}, &error);
  if (!arguments) return fail("suggest", error, kExitUsage);
  const std::string text = arguments->joinedPositionals();
  if (text.empty()) return fail("suggest", "missing TEXT", kExitUsage);

  auto session = Session::open(&error);
  if (!session) return fail("suggest", error, kExitFailure);
  // The manager's start imports the services list when this build has not done it yet; the
  // suggestions name services only the store knows.
  auto& manager = session->startManager();
  const auto suggestions = manager.deliveriesFinder().suggestionsForNaturalString(text, {}, false);

  if (arguments->has("json")) {
    qby::Array sections;
    for (std::size_t i = 0; i < suggestions.titles.size(); ++i) {
      qby::Array items;
      for (const auto& item : suggestions.items[i]) {
        items.emplace_back(qby::Dictionary{{"service", orNull(item.from)},
                                           {"serviceName", orNull(item.serviceName)},
                                           {"number", orNull(item.no)},
                                           {"extra", orNull(item.extra)},
                                           {"name", orNull(item.name)},
                                           {"displayName", orNull(item.displayName)}});
      }
      sections.emplace_back(qby::Dictionary{{"title", qby::Value(suggestions.titles[i])},
                                            {"items", qby::Value(std::move(items))}});
    }
    return printJSON("suggest", qby::Value(std::move(sections)));
  }
  for (std::size_t i = 0; i < suggestions.titles.size(); ++i) {
    std::printf("%s\n", terminalText(suggestions.titles[i]).c_str());
    for (const auto& item : suggestions.items[i]) {
      std::string line = "  " + item.from.value_or("-");
      if (item.serviceName) line += " (" + *item.serviceName + ")";
      if (item.no) line += "  no: " + *item.no;
      if (item.extra) line += "  extra: " + *item.extra;
      if (item.name) line += "  name: " + *item.name;
      std::printf("%s\n", terminalText(line).c_str());
    }
  }
  std::fflush(stdout);
  return kExitSuccess;
}

}  // namespace porvane
