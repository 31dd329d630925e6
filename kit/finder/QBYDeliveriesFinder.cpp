#include "finder/QBYDeliveriesFinder.h"

#include <unicode/regex.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <utility>

#include "engine/QBYScriptRunner.h"
#include "finder/QBYCandidateSearch.h"
#include "finder/QBYDistractors.h"
#include "finder/QBYNumberFormats.h"
#include "finder/QBYRunSplitter.h"
#include "model/Delivery.h"
#include "model/Service.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/QBYUserDefaults.h"
#include "presentation/QBYDateFormatter.h"
#include "store/QBYDataStore.h"
#include "store/QBYDeliveriesQueries.h"
#include "store/core/QBYTextFolding.h"
#include "util/ICUText.h"
#include "util/StringUtilities.h"

namespace qby {

namespace {

constexpr const char* kOtherKey = "other";
constexpr std::size_t kFavoritesLimit = 8;
constexpr std::size_t kDeliveriesLimit = 10;
constexpr std::size_t kMoreLimit = 5;

bool isAddress(std::string_view text) {
  return text.starts_with("http://") || text.starts_with("https://");
}

Value arrayOf(const std::vector<std::string>& keys) {
  Array array;
  for (const auto& key : keys) array.emplace_back(key);
  return array;
}

std::string trimmedOfPunctuation(const std::string& text) {
  static const auto set = CharacterSet::fromPattern("[[:P:]]");
  auto unicode = icutext::unicode(text);
  int32_t start = 0;
  int32_t end = unicode.length();
  while (start < end && set->contains(unicode.char32At(start)))
    start = unicode.moveIndex32(start, 1);
  while (end > start && set->contains(unicode.char32At(unicode.moveIndex32(end, -1))))
    end = unicode.moveIndex32(end, -1);
  return icutext::utf8(unicode, start, end);
}

// The text with the first occurrence of part replaced by a blank.
std::string replacingFirst(const std::string& text, const std::string& part) {
  auto at = text.find(part);
  if (at == std::string::npos || part.empty()) return text;
  return text.substr(0, at) + " " + text.substr(at + part.size());
}

Dictionary settingsDictionary(const QBYDeliverySettings& item) {
  Dictionary dictionary;
  const std::pair<const char*, const std::optional<std::string>*> fields[] = {
      {"from", &item.from},
      {"no", &item.no},
      {"extra", &item.extra},
      {"name", &item.name},
      {"displayName", &item.displayName},
      {"serviceName", &item.serviceName},
      {"itemCacheJSON", &item.itemCacheJSON}};
  for (const auto& [key, value] : fields)
    if (*value) dictionary.set(key, **value);
  return dictionary;
}

void addItemOnce(std::vector<QBYDeliverySettings>& items, const QBYDeliverySettings& item) {
  if (std::find(items.begin(), items.end(), item) == items.end()) items.push_back(item);
}

}  // namespace

Dictionary QBYSuggestions::dictionary() const {
  Array titleArray;
  for (const auto& title : titles) titleArray.emplace_back(title);
  Array sections;
  for (const auto& section : items) {
    Array entries;
    for (const auto& item : section) entries.emplace_back(settingsDictionary(item));
    sections.emplace_back(std::move(entries));
  }
  return Dictionary{{QBYSearchResultsTitleKey, std::move(titleArray)},
                    {QBYSearchResultsItemsKey, std::move(sections)}};
}

const std::vector<QBYDeliveriesFinder::CandidatePattern>& QBYDeliveriesFinder::candidatePatterns() {
  static const std::vector<CandidatePattern> patterns = {
      {R"re((https?://[^\s\)"<>]+))re", true, 1, 0, false, {"http"}},
      {R"((Tracking\sNumbers?|Tracking Number\(s\)|Tracking #|Tracking ID|Tracking|Carrier Trk|Carrier Tracking ID|Label Number|tracking number is|tracking number\(s\) associated with your order is\/are|TRACK IT|Paketnummer|Paketverfolgungsnummer)\s*?:?\s*(?=[A-Z-.]*[0-9])([A-Z0-9-.]{5,})(\s|$))",
       true,
       2,
       0,
       false,
       {"track", "carrier", "label", "paket"}},
      {R"((Order Number)\s*?:?\s*(WR?[0-9]{8,9})(\s|$))", true, 2, 0, false, {"order number"}},
      {R"re((^|\s|>|#|\(|\[|:|")([0-9A-Z]{2,}([-. ]?[0-9A-Z]{2,})+)(\s|\.|,|\?|<|\)|\]|;|!|:|"|$))re",
       false,
       2,
       8,
       true,
       {},
       true},
      {R"re((^|\s|>|#|\(|\[|:|")([0-9]{2,}([-. ]?[0-9]{2,})+)(\s|\.|,|\?|<|\)|\]|;|!|:|"|$))re",
       false,
       2,
       8,
       false,
       {},
       true},
  };
  return patterns;
}

QBYDeliveriesFinder::QBYDeliveriesFinder(QBYDataStore* dataStore)
    : QBYDeliveriesFinder(dataStore, {"Common", "Guess", "GuessText"}) {}

QBYDeliveriesFinder::QBYDeliveriesFinder(QBYDataStore* dataStore,
                                         std::vector<std::string> scriptNames)
    : dataStore_(dataStore), scriptNames_(std::move(scriptNames)) {}

QBYDeliveriesFinder::~QBYDeliveriesFinder() {
  std::shared_ptr<QBYManagedObjectContext> context;
  std::shared_ptr<QBYScriptRunner> runner;
  {
    std::lock_guard lock(mutex_);
    context = std::move(objectContext_);
    runner = scriptRunner_;
  }
  // A search whose caller gave up waiting still runs on the script queue with this finder.
  if (runner) runner->runBlockAndWait([](JSCContext*) {});
  // The context's records are released on its own queue.
  if (context) context->performAndWait([] {});
}

QBYManagedObjectContext* QBYDeliveriesFinder::objectContext() {
  std::lock_guard lock(mutex_);
  if (!objectContext_ && dataStore_ && dataStore_->available())
    objectContext_ = dataStore_->backgroundContext();
  return objectContext_.get();
}

bool QBYDeliveriesFinder::scriptsFailedToLoad() {
  return scriptRunner()->configurationFailed();
}

void QBYDeliveriesFinder::useNumberFormatTables(bool use) {
  std::lock_guard lock(mutex_);
  useNumberFormats_ = use;
}

namespace {

// The number tables of a recognition context whose guessesFromText promises to answer clean
// numbers from them; null otherwise. On the script queue.
std::shared_ptr<const QBYNumberFormats> readNumberFormats(JSCContext* context) {
  auto guess = GObjectPtr<JSCValue>::adopt(jsc_context_get_value(context, "guessesFromText"));
  auto tables = GObjectPtr<JSCValue>::adopt(jsc_context_get_value(context, "numberFormatTables"));
  if (!guess || !jsc_value_is_function(guess.get()) || !tables ||
      !jsc_value_is_function(tables.get()))
    return nullptr;
  auto promise = GObjectPtr<JSCValue>::adopt(
      jsc_value_object_get_property(guess.get(), "answersCleanNumbersFromTables"));
  if (!promise || !jsc_value_is_boolean(promise.get()) || !jsc_value_to_boolean(promise.get()))
    return nullptr;
  auto answer = GObjectPtr<JSCValue>::adopt(jsc_value_function_call(tables.get(), G_TYPE_NONE));
  if (!answer || !jsc_value_is_object(answer.get())) return nullptr;
  GCharPtr json{jsc_value_to_json(answer.get(), 0)};
  if (!json) return nullptr;
  const auto value = Value::fromJSON(json.get());
  if (!value) return nullptr;
  auto formats = QBYNumberFormats::fromTables(*value);
  if (!formats) {
    log("The recognition script's number tables are malformed; every guess calls the script");
    return nullptr;
  }
  return std::make_shared<const QBYNumberFormats>(std::move(*formats));
}

}  // namespace

std::shared_ptr<const QBYNumberFormats> QBYDeliveriesFinder::numberFormats() {
  {
    std::lock_guard lock(mutex_);
    if (!useNumberFormats_) return nullptr;
    if (numberFormatsRead_) return numberFormats_;
  }
  auto runner = scriptRunner();
  auto read = std::make_shared<std::shared_ptr<const QBYNumberFormats>>();
  const bool ran = runner->runBlockAndWait([runner = runner.get(), read](JSCContext* context) {
    if (context && !runner->configurationFailed()) *read = readNumberFormats(context);
  });
  std::lock_guard lock(mutex_);
  // A visit that timed out is tried again on the next guess.
  if (ran && !numberFormatsRead_) {
    numberFormatsRead_ = true;
    numberFormats_ = runner->configurationFailed() ? nullptr : *read;
  }
  return useNumberFormats_ ? numberFormats_ : nullptr;
}

std::shared_ptr<QBYScriptRunner> QBYDeliveriesFinder::scriptRunner() {
  std::lock_guard lock(mutex_);
  if (!scriptRunner_) {
    scriptRunner_ = QBYScriptRunner::scriptRunnerWithConfigurationBlock(
        [names = scriptNames_](QBYScriptRunner& runner, JSCContext*) {
          for (const auto& name : names) runner.configureScriptNamed(name, true);
        });
  }
  return scriptRunner_;
}

void QBYDeliveriesFinder::setPasteboard(std::shared_ptr<const QBYPasteboard> pasteboard) {
  std::lock_guard lock(mutex_);
  pasteboard_ = std::move(pasteboard);
}

QBYWebData QBYDeliveriesFinder::webDataFromPasteboard() const {
  std::shared_ptr<const QBYPasteboard> pasteboard;
  {
    std::lock_guard lock(mutex_);
    pasteboard = pasteboard_;
  }
  return QBYWebData::webDataFromPasteboard(pasteboard ? pasteboard->content()
                                                      : QBYPasteboardContent{});
}

// --- Script calls ----------------------------------------------------------------------------

namespace {

// A global function of the recognition context, looked up once for each visit of the queue
// rather than once for every text it is asked about.
class ScriptFunction {
 public:
  ScriptFunction(JSCContext* context, const char* name) {
    if (!context) return;
    auto value = GObjectPtr<JSCValue>::adopt(jsc_context_get_value(context, name));
    if (value && jsc_value_is_function(value.get())) callee_ = std::move(value);
  }

  explicit operator bool() const { return static_cast<bool>(callee_); }

  // Calls the function with texts and a flag; an object answer as a dictionary, anything else
  // (and a thrown error, which the runner logs) as nothing.
  std::optional<Dictionary> call(const std::string& first, const std::optional<std::string>& second,
                                 std::optional<bool> flag) const {
    if (!callee_) return std::nullopt;
    GObjectPtr<JSCValue> result;
    if (flag) {
      result = GObjectPtr<JSCValue>::adopt(
          jsc_value_function_call(callee_.get(), G_TYPE_STRING, first.c_str(), G_TYPE_BOOLEAN,
                                  *flag ? TRUE : FALSE, G_TYPE_NONE));
    } else if (second) {
      result = GObjectPtr<JSCValue>::adopt(jsc_value_function_call(callee_.get(), G_TYPE_STRING,
                                                                   first.c_str(), G_TYPE_STRING,
                                                                   second->c_str(), G_TYPE_NONE));
    } else {
      auto null =
          GObjectPtr<JSCValue>::adopt(jsc_value_new_null(jsc_value_get_context(callee_.get())));
      result = GObjectPtr<JSCValue>::adopt(jsc_value_function_call(
          callee_.get(), G_TYPE_STRING, first.c_str(), JSC_TYPE_VALUE, null.get(), G_TYPE_NONE));
    }
    if (!result || !jsc_value_is_object(result.get()) || jsc_value_is_array(result.get()) ||
        jsc_value_is_function(result.get()))
      return std::nullopt;
    GCharPtr json{jsc_value_to_json(result.get(), 0)};
    if (!json) return std::nullopt;
    auto value = Value::fromJSON(json.get());
    if (!value || !value->dictionaryPtr()) return std::nullopt;
    return std::move(*value->dictionaryPtr());
  }

 private:
  GObjectPtr<JSCValue> callee_;
};

}  // namespace

std::optional<Dictionary> QBYDeliveriesFinder::callScript(const char* function,
                                                          const std::string& first,
                                                          const std::optional<std::string>& second,
                                                          std::optional<bool> flag) {
  auto runner = scriptRunner();
  auto answer = std::make_shared<std::optional<Dictionary>>();
  const bool ran = runner->runBlockAndWait(
      [runner = runner.get(), answer, function, first, second, flag](JSCContext* context) {
        if (runner->configurationFailed()) return;
        *answer = ScriptFunction(context, function).call(first, second, flag);
      });
  if (!ran || runner->configurationFailed()) return std::nullopt;
  return *answer;
}

std::optional<Guess> QBYDeliveriesFinder::guessesFromText(const std::optional<std::string>& text,
                                                          bool strict) {
  if (!text) return std::nullopt;
  if (const auto formats = numberFormats())
    if (auto answer = formats->guessForText(*text, strict)) return std::move(*answer);
  return callScript("guessesFromText", *text, std::nullopt, strict);
}

std::optional<Dictionary> QBYDeliveriesFinder::additionalDataFromHTML(
    const std::optional<std::string>& html, const std::optional<std::string>& url) {
  if (!html) return std::nullopt;
  if (url) return callScript("additionalDataFromHTML", *html, url, std::nullopt);
  return callScript("additionalDataFromHTML", *html, std::nullopt, std::nullopt);
}

std::optional<std::string> QBYDeliveriesFinder::bestDomainFromText(
    const std::optional<std::string>& text) {
  return bestDomainFromGuess(guessesFromText(text, true));
}

std::optional<std::string> QBYDeliveriesFinder::bestDomainFromGuess(
    const std::optional<Guess>& guess) {
  if (!guess) return std::nullopt;
  auto keys = bestGuesses(*guess);
  if (keys.empty()) keys = moreGuesses(*guess);
  if (keys.empty()) return std::nullopt;
  auto sorted = domainsSortedByUse(std::optional(keys));
  if (!sorted || sorted->empty()) return std::nullopt;
  return sorted->front();
}

std::vector<std::string> QBYDeliveriesFinder::domainsFromText(
    const std::optional<std::string>& text) {
  auto guess = guessesFromText(text, false);
  if (!guess) return {};
  return domainsSortedByUse(bestGuesses(*guess), moreGuesses(*guess), kMoreLimit);
}

// --- Web data ----------------------------------------------------------------------------------

void QBYDeliveriesFinder::enumerateMatchesForPattern(std::string_view pattern,
                                                     const std::optional<std::string>& text,
                                                     bool ignoringCase, const MatchBlock& block) {
  enumerateMatchesForPattern(pattern, text, ignoringCase, {}, block);
}

void QBYDeliveriesFinder::enumerateMatchesForPattern(std::string_view pattern,
                                                     const std::optional<std::string>& text,
                                                     bool ignoringCase,
                                                     const std::vector<std::string>& starts,
                                                     const MatchBlock& block) {
  if (!text) return;
  // The candidate patterns are compiled once; any other pattern for this call.
  const icutext::Pattern* compiled =
      QBYCandidateSearch::compiledCandidatePattern(pattern, ignoringCase);
  std::optional<icutext::Pattern> own;
  if (!compiled) {
    uint32_t flags = UREGEX_MULTILINE;
    if (ignoringCase) flags |= UREGEX_CASE_INSENSITIVE;
    compiled = &own.emplace(pattern, flags);
  }
  if (!compiled->isValid()) {
    log("Error creating regular expression: %@, %@", compiled->error(),
        Value(compiled->error().userInfo));
    return;
  }
  const QBYCandidateSearch search(*text);
  auto matcher = compiled->matcher(search.text());
  if (!matcher) return;
  const int32_t groups = matcher->groupCount();
  search.enumerateMatches(*matcher, starts, [&](bool& stop) {
    std::vector<std::optional<std::string>> matched;
    matched.reserve(static_cast<std::size_t>(groups) + 1);
    for (int32_t group = 0; group <= groups; ++group)
      matched.push_back(icutext::group(*matcher, group));
    block(matched, stop);
  });
}

// The recognition script's functions, looked up once for a visit of the script queue. Every
// call answers at once: this lives on the queue.
class QBYRecognitionScript {
 public:
  // With number tables, a text that is one clean number is answered from them.
  QBYRecognitionScript(JSCContext* context, std::shared_ptr<const QBYNumberFormats> formats)
      : guessesFromText_(context, "guessesFromText"),
        additionalDataFromHTML_(context, "additionalDataFromHTML"),
        formats_(std::move(formats)) {}

  std::optional<Guess> guessesFromText(const std::optional<std::string>& text, bool strict) const {
    if (!text) return std::nullopt;
    if (formats_)
      if (auto answer = formats_->guessForText(*text, strict)) return std::move(*answer);
    return guessesFromText_.call(*text, std::nullopt, strict);
  }
  std::optional<Dictionary> additionalDataFromHTML(const std::optional<std::string>& html,
                                                   const std::optional<std::string>& url) const {
    if (!html) return std::nullopt;
    return additionalDataFromHTML_.call(*html, url, std::nullopt);
  }

  // A strict guess that names a service.
  std::optional<Guess> strictGuess(const std::string& text) const {
    auto guess = guessesFromText(text, true);
    if (guess && hasGuesses(*guess)) return guess;
    return std::nullopt;
  }

 private:
  ScriptFunction guessesFromText_;
  ScriptFunction additionalDataFromHTML_;
  std::shared_ptr<const QBYNumberFormats> formats_;
};

namespace {

bool isChecked(const Guess& guess) {
  return !bestGuesses(guess).empty();
}

// The strict guesses a candidate holds, in text order: the candidate as one number, or for a
// run with blanks the numbers among its pieces.
std::vector<Guess> strictGuessesOfCandidate(const QBYRecognitionScript& script,
                                            const std::string& candidate) {
  const auto whole = [&]() -> std::vector<Guess> {
    if (auto guess = script.strictGuess(candidate)) return {std::move(*guess)};
    return {};
  };
  if (candidate.find(' ') == std::string::npos) return whole();
  // Most runs with blanks are words and numbers of one line of a mail; asking the script about
  // each of their pieces would cost several calls per candidate. Only a run with two groups
  // long enough to be numbers of their own is split; any other is one number, perhaps with
  // words in capitals around it ("UPS 1Z 999 AA1 01 2345 6784").
  const QBYRunSplitter splitter(candidate);
  if (!splitter.mayHoldSeveralNumbers()) {
    auto guesses = whole();
    if (!guesses.empty() && isChecked(guesses.front())) return guesses;
    if (const auto core = splitter.core()) {
      auto inner = script.strictGuess(*core);
      if (inner && (guesses.empty() || isChecked(*inner))) return {std::move(*inner)};
    }
    return guesses;
  }
  std::vector<std::optional<Guess>> pieceGuesses;
  std::vector<QBYRunSplitter::Verdict> verdicts;
  for (const auto& piece : splitter.pieces()) {
    auto guess = script.strictGuess(piece.text);
    verdicts.push_back(!guess              ? QBYRunSplitter::Verdict::None
                       : isChecked(*guess) ? QBYRunSplitter::Verdict::Checked
                                           : QBYRunSplitter::Verdict::Format);
    pieceGuesses.push_back(std::move(guess));
  }
  std::vector<Guess> guesses;
  for (const auto index : splitter.choose(verdicts))
    guesses.push_back(std::move(*pieceGuesses[index]));
  return guesses;
}

// Whether the guess's number is a stretch of a longer number found before: the digits after
// the letters of a number printed in groups ("D609 8819 7187 572") are a run of their own for
// the step that looks for digits, and pass some other format's check now and then.
bool isPartOfAFoundNumber(const std::vector<Guess>& found, const Guess& guess) {
  const auto number = guessString(guess, QBYGuessNumberKey);
  if (!number || number->empty()) return false;
  return std::any_of(found.begin(), found.end(), [&](const Guess& other) {
    const auto longer = guessString(other, QBYGuessNumberKey);
    return longer && longer->size() > number->size() && longer->find(*number) != std::string::npos;
  });
}

// Strict guesses of the distinct candidates, each number once and none that found already
// holds; a run with blanks may hold several numbers (see QBYRunSplitter). Stops after the
// first that the search with onlyBest would take: one whose check digit holds.
std::vector<Guess> strictGuessesForCandidates(const QBYRecognitionScript& script,
                                              const std::vector<std::string>& candidates,
                                              const std::vector<Guess>& found,
                                              const std::optional<std::string>& preferred,
                                              bool onlyBest) {
  std::vector<Guess> guesses;
  for (const auto& candidate : candidates) {
    for (auto& guess : strictGuessesOfCandidate(script, candidate)) {
      if (includesGuess(found, guess) || includesGuess(guesses, guess)) continue;
      if (isPartOfAFoundNumber(found, guess) || isPartOfAFoundNumber(guesses, guess)) continue;
      guesses.push_back(std::move(guess));
      const Guess& added = guesses.back();
      // The search takes this one at once: nothing later in the step can come before it.
      if (onlyBest && isChecked(added) && (!preferred || includesDomain(added, *preferred)))
        return guesses;
    }
  }
  return guesses;
}

// The non-strict guess of a whole text, passing over the numbers in it that are phone numbers,
// amounts and the like: the script answers the first plausible number it meets.
std::optional<Guess> textGuessLeavingOutDistractors(const QBYRecognitionScript& script,
                                                    const std::string& text) {
  // Each turn blanks out the distractor the script answered and asks again; a mail rarely
  // holds more phone numbers and amounts than this before its first number.
  constexpr int kTurns = 8;
  std::string remaining = text;
  for (int turn = 0; turn < kTurns; ++turn) {
    auto guess = script.guessesFromText(remaining, false);
    if (!guess) return std::nullopt;
    const auto input = guessString(*guess, QBYGuessInputKey);
    // A text that is nothing but the number is the user's own choice, whatever its shape.
    if (!input || input->empty() || trimmedString(remaining) == *input) return guess;
    bool distractor = false;
    for (auto at = remaining.find(*input); at != std::string::npos;
         at = remaining.find(*input, at + input->size())) {
      if (!QBYDistractors::isDistractor(remaining, at, at + input->size())) return guess;
      distractor = true;
      std::fill_n(remaining.begin() + static_cast<std::ptrdiff_t>(at), input->size(), ' ');
    }
    // The script read the number out of the text in another form: nothing to judge it by.
    if (!distractor) return guess;
  }
  return std::nullopt;
}

}  // namespace

std::vector<std::optional<Guess>> QBYDeliveriesFinder::guessesFromTexts(
    const std::vector<std::string>& texts, bool strict) {
  struct Work {
    std::vector<std::string> texts;
    std::vector<std::optional<Guess>> answers;
  };
  auto work = std::make_shared<Work>(Work{texts, {}});
  auto formats = numberFormats();
  auto runner = scriptRunner();
  const bool ran =
      runner->runBlockAndWait([runner = runner.get(), work, strict, formats](JSCContext* context) {
        if (!context || runner->configurationFailed()) return;
        const QBYRecognitionScript script(context, formats);
        for (const auto& text : work->texts)
          work->answers.push_back(script.guessesFromText(text, strict));
      });
  if (!ran || work->answers.size() != texts.size()) return {};
  return std::move(work->answers);
}

std::vector<Guess> QBYDeliveriesFinder::guessesFromWebData(const QBYWebData& webData) {
  return guessesFromWebData(webData, false);
}

std::optional<Guess> QBYDeliveriesFinder::bestGuessFromWebData(const QBYWebData& webData) {
  auto guesses = guessesFromWebData(webData, true);
  if (!guesses.empty() && hasGuesses(guesses.front())) return guesses.front();
  return std::nullopt;
}

std::vector<Guess> QBYDeliveriesFinder::guessesFromWebData(const QBYWebData& webData,
                                                           bool onlyBest) {
  auto answers = searchWebData({webData}, onlyBest);
  return answers.empty() ? std::vector<Guess>{} : std::move(answers.front());
}

std::vector<std::vector<Guess>> QBYDeliveriesFinder::guessesFromWebData(
    const std::vector<QBYWebData>& pages) {
  return searchWebData(pages, false);
}

std::vector<std::vector<Guess>> QBYDeliveriesFinder::searchWebData(
    const std::vector<QBYWebData>& pages, bool onlyBest) {
  struct Work {
    std::vector<QBYWebData> pages;
    std::vector<std::vector<Guess>> answers;
  };
  auto work = std::make_shared<Work>(Work{pages, {}});
  auto formats = numberFormats();
  auto runner = scriptRunner();
  // The whole search runs in one visit of the script queue, so that its many script calls
  // (one or more for every candidate) do not each wait for another thread. The destructor
  // waits for a visit that outlives the wait here.
  const bool ran = runner->runBlockAndWait(
      [this, runner = runner.get(), work, onlyBest, formats](JSCContext* context) {
        if (!context || runner->configurationFailed()) return;
        const QBYRecognitionScript script(context, formats);
        for (const auto& page : work->pages)
          work->answers.push_back(search(script, page, onlyBest));
      });
  if (!ran || work->answers.size() != pages.size()) return {};
  return std::move(work->answers);
}

std::vector<Guess> QBYDeliveriesFinder::search(const QBYRecognitionScript& script,
                                               const QBYWebData& webData, bool onlyBest) {
  std::vector<Guess> results;
  const auto additional = script.additionalDataFromHTML(webData.html, webData.url);
  const auto add = [&](const Guess& guess) {
    addObjectOnce(results, guessWithAdditionalData(guess, additional));
  };

  bool urlGaveGuess = false;
  std::optional<std::string> preferred;
  if (webData.url) {
    auto guess = script.guessesFromText(webData.url, true);
    if (guess && hasGuesses(*guess)) {
      urlGaveGuess = true;
      add(*guess);
      if (onlyBest) return results;
    }
    preferred = bestDomainFromGuess(guess);
  }

  if (webData.links) {
    for (const auto& link : *webData.links) {
      auto guess = script.guessesFromText(link, true);
      if (!guess || !hasGuesses(*guess) || includesGuess(results, *guess)) continue;
      add(*guess);
      if (onlyBest) return results;
    }
  }

  // The text is prepared once for all steps, and only when a step is reached.
  std::optional<QBYCandidateSearch> search;
  const QBYCandidateSearch::Keep leaveOutDistractors = [](std::string_view bytes, std::size_t start,
                                                          std::size_t end) {
    return !QBYDistractors::isDistractor(bytes, start, end);
  };
  // With onlyBest, numbers that only fit a format wait while a later step may still find one
  // whose check digit holds.
  std::vector<Guess> unchecked;
  for (const auto& step : candidatePatterns()) {
    if (!webData.text) break;
    if (!search) search.emplace(*webData.text);
    // A candidate seen before in this step gives the same guess, which is kept once.
    auto candidates = step.leavesOutDistractors
                          ? search->distinctCandidates(step, leaveOutDistractors)
                          : search->distinctCandidates(step);
    std::vector<Guess> stepList;
    for (auto& guess :
         strictGuessesForCandidates(script, candidates, results, preferred, onlyBest)) {
      if (onlyBest && !isChecked(guess)) {
        if (!includesGuess(unchecked, guess)) unchecked.push_back(std::move(guess));
      } else if (preferred && !includesDomain(guess, *preferred)) {
        stepList.push_back(std::move(guess));
      } else {
        stepList.insert(stepList.begin(), std::move(guess));
        if (onlyBest) break;
      }
    }
    for (const auto& guess : stepList) add(guess);
    if (onlyBest && !results.empty()) return results;
  }
  if (onlyBest && !unchecked.empty()) {
    add(unchecked.front());
    return results;
  }

  if (webData.url && !urlGaveGuess) {
    auto guess = script.guessesFromText(webData.url, false);
    if (guess && (results.empty() || hasGuesses(*guess))) {
      add(*guess);
      if (onlyBest) return results;
    }
    const Guess generic{{"more", arrayOf({kOtherKey})}, {QBYGuessExtraKey, *webData.url}};
    // A non-strict guess of an unknown address is this same offer under another form.
    const bool offered = std::any_of(results.begin(), results.end(), [&](const Guess& element) {
      return guessString(element, QBYGuessExtraKey) == webData.url &&
             includesDomain(element, kOtherKey);
    });
    if (!includesGuess(results, generic) && !offered) {
      add(generic);
      if (onlyBest) return results;
    }
  }

  if (results.empty() && webData.text) {
    if (auto guess = textGuessLeavingOutDistractors(script, *webData.text)) {
      add(*guess);
      if (onlyBest) return results;
    }
  }

  std::stable_sort(results.begin(), results.end(), guessRanksBefore);
  return results;
}

// --- Services ----------------------------------------------------------------------------------

std::shared_ptr<Service> QBYDeliveriesFinder::serviceForDomain(
    const std::optional<std::string>& key) {
  auto* context = objectContext();
  if (!context) return nullptr;
  return qby::serviceForDomain(*dataStore_, key, context);
}

std::vector<std::shared_ptr<Service>> QBYDeliveriesFinder::servicesForDomains(
    const std::vector<std::string>& keys) {
  auto* context = objectContext();
  if (!context || keys.empty()) return {};
  std::vector<std::shared_ptr<Service>> services;
  context->performAndWait([&] {
    QBYFetchRequest request;
    request.entityName = "Service";
    request.predicate = R"(t."from" IN (?))";
    request.arguments = {arrayOf(keys)};
    QBYError error;
    auto found = context->executeFetchRequest(request, &error);
    if (!found) {
      log("Error getting services %@: %@ %@", arrayOf(keys), error, Value(error.userInfo));
      return;
    }
    services = found->allAs<Service>();
  });
  return services;
}

std::optional<std::vector<std::string>> QBYDeliveriesFinder::domainsSortedByUse(
    const std::optional<std::vector<std::string>>& keys) {
  if (!keys) return std::nullopt;
  if (keys->size() == 1) return keys;
  auto services = servicesForDomains(*keys);
  struct Scored {
    std::string key;
    std::int64_t score;
  };
  std::vector<Scored> scored;
  if (auto* context = objectContext()) {
    context->performAndWait([&] {
      for (const auto& service : services) {
        const auto from = service->from();
        if (!from || service->useCount() < 0) continue;
        const auto position = std::find(keys->begin(), keys->end(), *from) - keys->begin();
        scored.push_back({*from, service->useCount() + static_cast<std::int64_t>(keys->size()) -
                                     static_cast<std::int64_t>(position)});
      }
    });
  }
  // The fetch answers in store order; equal scores keep the order of the keys.
  std::stable_sort(scored.begin(), scored.end(), [&](const Scored& a, const Scored& b) {
    const auto positionA = std::find(keys->begin(), keys->end(), a.key);
    const auto positionB = std::find(keys->begin(), keys->end(), b.key);
    return positionA < positionB;
  });
  std::stable_sort(scored.begin(), scored.end(),
                   [](const Scored& a, const Scored& b) { return a.score > b.score; });
  std::vector<std::string> sorted;
  for (auto& entry : scored)
    if (std::find(sorted.begin(), sorted.end(), entry.key) == sorted.end())
      sorted.push_back(std::move(entry.key));
  return sorted;
}

std::vector<std::string> QBYDeliveriesFinder::domainsSortedByUse(
    const std::vector<std::string>& best, const std::vector<std::string>& more, std::size_t limit) {
  std::vector<std::string> keys =
      domainsSortedByUse(std::optional(best)).value_or(std::vector<std::string>{});
  std::size_t added = 0;
  for (const auto& key :
       domainsSortedByUse(std::optional(more)).value_or(std::vector<std::string>{})) {
    if (added >= limit) break;
    if (std::find(keys.begin(), keys.end(), key) != keys.end()) continue;
    keys.push_back(key);
    ++added;
  }
  return keys;
}

std::optional<std::vector<std::shared_ptr<Service>>> QBYDeliveriesFinder::servicesMatchingSearch(
    const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  std::vector<std::string> words;
  {
    const auto trimmed = trimmedString(*text);
    const auto unicode = icutext::unicode(trimmed);
    const auto& separators = CharacterSet::whitespaceAndNewlineCharacterSet();
    int32_t start = 0;
    for (int32_t i = 0; i <= unicode.length();) {
      if (i == unicode.length() || separators.contains(unicode.char32At(i))) {
        words.push_back(icutext::utf8(unicode, start, i));
        if (i == unicode.length()) break;
        i = unicode.moveIndex32(i, 1);
        start = i;
      } else {
        i = unicode.moveIndex32(i, 1);
      }
    }
  }
  std::vector<std::shared_ptr<Service>> matching;
  auto* context = objectContext();
  if (!context) return matching;
  context->performAndWait([&] {
    std::vector<std::string> folded;
    for (const auto& word : words) folded.push_back(foldForSearch(word));
    // As with the platform's "contains", no text contains the empty text.
    const auto contains = [](const std::optional<std::string>& field, const std::string& word) {
      return !word.empty() && field && foldForSearch(*field).find(word) != std::string::npos;
    };
    for (const auto& service : servicesMarkedAsFavorites(*dataStore_, false, context)) {
      const bool all = std::all_of(folded.begin(), folded.end(), [&](const std::string& word) {
        return contains(service->localizedName(), word) || contains(service->from(), word) ||
               contains(service->keywords(), word);
      });
      if (all) matching.push_back(service);
    }
    if (matching.size() >= 2) {
      std::erase_if(matching, [](const auto& service) { return service->useCount() < 0; });
    }
  });
  return matching;
}

// --- Suggestions -------------------------------------------------------------------------------

std::vector<std::shared_ptr<Delivery>> QBYDeliveriesFinder::recentDeliveriesFromArchive(
    bool archive, std::size_t limit, QBYManagedObjectContext& context) {
  QBYFetchRequest request;
  request.entityName = "Delivery";
  request.fetchBatchSize = 20;
  request.fetchLimit = limit;
  request.sortDescriptors = {{"modified", false, false}};
  if (archive) {
    const auto days = QBYDataStore::sharedDefaults().integerForKey(QBYHistoryDaysKey);
    if (days == -1) {
      request.predicate = R"(t."archived" = 1 AND COALESCE(t."removed", 0) = 0)";
    } else {
      // A window beyond the calendar's range starts at the beginning of time.
      const auto since =
          QBYDateFormatter::sharedFormatter().calendar().dateDaysAgo(static_cast<long>(days));
      request.predicate =
          R"(t."archived" = 1 AND COALESCE(t."removed", 0) = 0 AND t."modified" > ?)";
      request.arguments = {Value(since ? since->timeIntervalSince1970() : -1e300)};
    }
  } else {
    request.predicate = R"(COALESCE(t."archived", 0) = 0)";
  }
  std::vector<std::shared_ptr<Delivery>> deliveries;
  context.performAndWait([&] {
    QBYError error;
    auto found = context.executeFetchRequest(request, &error);
    if (!found) {
      log("Error in recent deliveries: %@, %@", error, Value(error.userInfo));
      return;
    }
    deliveries = found->allAs<Delivery>();
  });
  return deliveries;
}

std::vector<QBYDeliverySettings> QBYDeliveriesFinder::suggestionItemsFromDeliveries(
    const std::vector<std::shared_ptr<Delivery>>& deliveries) {
  std::vector<QBYDeliverySettings> items;
  auto work = [&] {
    for (const auto& delivery : deliveries) {
      if (!delivery) continue;
      auto settings = QBYDeliverySettings::settingsWithDictionary(delivery->attributes());
      settings.displayName = delivery->historyTitle();
      if (auto service = delivery->service()) settings.serviceName = service->localizedName();
      settings.itemCacheJSON = delivery->itemCacheJSON();
      addItemOnce(items, settings);
    }
  };
  if (auto* context = objectContext()) context->performAndWait(work);
  return items;
}

std::vector<QBYDeliverySettings> QBYDeliveriesFinder::deliveriesSuggestions(
    const std::vector<std::shared_ptr<Delivery>>& deliveries) {
  return suggestionItemsFromDeliveries(deliveries);
}

QBYSuggestions QBYDeliveriesFinder::suggestionsForNaturalString(
    const std::optional<std::string>& text, const std::vector<Guess>& foundGuesses,
    bool includingClipboard) {
  QBYSuggestions result;
  const auto addSection = [&](const char* title, std::vector<QBYDeliverySettings> items) {
    if (items.empty()) return;
    result.titles.push_back(QBYLocalizedString(title));
    result.items.push_back(std::move(items));
  };
  auto* context = objectContext();
  // Records are read on the context's queue; without a store there is nothing to read.
  const auto onContext = [&](const std::function<void()>& work) {
    if (context) context->performAndWait(work);
  };
  const auto matchingDeliveries = [&](const QBYDeliverySettings& item) {
    std::vector<std::shared_ptr<Delivery>> found;
    if (context)
      found = deliveriesWithSettings(*dataStore_, item, !item.no, true, kDeliveriesLimit, context);
    return found;
  };
  const auto serviceName = [&](const std::shared_ptr<Service>& service) {
    std::optional<std::string> name;
    onContext([&] { name = service->localizedName(); });
    return name;
  };

  if (!hasValue(text) && foundGuesses.empty()) {
    if (includingClipboard) {
      std::vector<QBYDeliverySettings> clipboardItems;
      std::vector<std::shared_ptr<Delivery>> collected;
      if (auto guess = bestGuessFromWebData(webDataFromPasteboard())) {
        const auto number = guessString(*guess, QBYGuessNumberKey);
        const auto extra = guessString(*guess, QBYGuessExtraKey);
        std::optional<std::string> displayName;
        if (number && number == guessString(*guess, QBYGuessInputKey)) {
          const auto unicode = icutext::unicode(*number);
          const int32_t length = unicode.countChar32();
          if (length >= 7) {
            // The first four characters, a hair space, then bullets to one more than the number.
            icu::UnicodeString masked(unicode, 0, unicode.moveIndex32(0, 4));
            masked.append(static_cast<UChar32>(0x200A));
            while (masked.countChar32() < length + 1) masked.append(static_cast<UChar32>(0x2022));
            displayName = icutext::utf8(masked);
          } else {
            displayName = std::string();
          }
        }
        for (const auto& key :
             domainsSortedByUse(bestGuesses(*guess), moreGuesses(*guess), kMoreLimit)) {
          QBYDeliverySettings item;
          item.no = number;
          item.extra = extra;
          if (auto service = serviceForDomain(key)) {
            item.from = key;
            item.displayName = displayName;
            item.serviceName = serviceName(service);
            addItemOnce(clipboardItems, item);
          }
          for (auto& delivery : matchingDeliveries(item)) collected.push_back(std::move(delivery));
        }
      }
      addSection("From Your Clipboard", std::move(clipboardItems));
      addSection("Deliveries", suggestionItemsFromDeliveries(collected));
    }
    std::vector<QBYDeliverySettings> favorites;
    if (context) {
      for (const auto& service : servicesMarkedAsFavorites(*dataStore_, true, context)) {
        if (favorites.size() >= kFavoritesLimit) break;
        QBYDeliverySettings item;
        onContext([&] {
          item.from = service->from();
          item.serviceName = service->localizedName();
        });
        addItemOnce(favorites, item);
      }
    }
    addSection("Favorites", std::move(favorites));
    if (context)
      addSection("Archive", suggestionItemsFromDeliveries(
                                recentDeliveriesFromArchive(true, kDeliveriesLimit, *context)));
    return result;
  }

  const std::string typed = text.value_or("");
  std::string remaining = trimmedString(reduceSpaces(typed));
  std::optional<std::string> address;
  std::optional<std::string> number;
  if (typed.find(' ') != std::string::npos) {
    if (auto guess = bestGuessFromWebData(QBYWebData::webDataWithString(typed))) {
      if (auto input = guessString(*guess, QBYGuessInputKey)) {
        if (isAddress(*input))
          address = input;
        else
          number = input;
      }
    }
  }
  if (!address) {
    enumerateMatchesForPattern(R"((^|\s)(https?://[^\s]*))", remaining, false,
                               [&](const auto& groups, bool& stop) {
                                 if (groups.size() > 2 && groups[2]) address = groups[2];
                                 stop = true;
                               });
  }
  if (address) remaining = replacingFirst(remaining, *address);
  if (!number) {
    enumerateMatchesForPattern(R"((^|\s)(?=[A-Z-.]*[0-9])([0-9-.\s]{5,}|[A-Z0-9-.]{5,})(\s|$))",
                               remaining, true, [&](const auto& groups, bool& stop) {
                                 if (groups.size() > 2 && groups[2])
                                   number = trimmedOfPunctuation(*groups[2]);
                                 stop = true;
                               });
  }
  if (number) remaining = replacingFirst(remaining, *number);
  remaining = trimmedString(reduceSpaces(remaining));
  auto services =
      servicesMatchingSearch(remaining).value_or(std::vector<std::shared_ptr<Service>>{});

  std::vector<Guess> guesses = foundGuesses;
  const bool alreadyGuessed =
      !guesses.empty() && guessString(guesses.front(), QBYGuessInputKey) == text;
  if (!alreadyGuessed) {
    const std::string guessed = address ? *address : number ? *number : typed;
    if (auto guess = guessesFromText(guessed, false)) guesses.insert(guesses.begin(), *guess);
  }

  std::vector<QBYDeliverySettings> bestItems;
  for (const auto& guess : guesses) {
    for (const auto& key : domainsSortedByUse(bestGuesses(guess), moreGuesses(guess), kMoreLimit)) {
      auto service = serviceForDomain(key);
      if (!service) continue;
      if (!services.empty() && !remaining.empty() && number) {
        std::vector<std::shared_ptr<Service>> withKey;
        onContext([&] {
          for (const auto& candidate : services)
            if (candidate->from() == key) withKey.push_back(candidate);
        });
        if (withKey.empty()) continue;
        std::erase_if(services, [&](const auto& candidate) {
          return std::find(withKey.begin(), withKey.end(), candidate) != withKey.end();
        });
      }
      QBYDeliverySettings item;
      item.from = key;
      item.no = guessString(guess, QBYGuessNumberKey);
      item.extra = guessString(guess, QBYGuessExtraKey);
      item.name = guessString(guess, QBYGuessNameKey);
      item.displayName = guessString(guess, QBYGuessDisplayNameKey);
      if (!item.displayName) item.displayName = item.name;
      item.itemCacheJSON = guessString(guess, QBYGuessItemCacheJSON);
      item.serviceName = serviceName(service);
      addItemOnce(bestItems, item);
    }
  }
  addSection("Best guesses", bestItems);

  if (result.titles.empty() && services.empty()) {
    if (auto other =
            context ? qby::serviceForDomain(*dataStore_, std::string(kOtherKey), context) : nullptr)
      services.push_back(other);
  }
  std::vector<QBYDeliverySettings> serviceItems;
  for (const auto& service : services) {
    QBYDeliverySettings item;
    onContext([&] {
      item.from = service->from();
      item.serviceName = service->localizedName();
      if (!remaining.empty()) {
        const auto word = foldForSearch(remaining);
        const auto holds = [&](const std::optional<std::string>& field) {
          return field && foldForSearch(*field).find(word) != std::string::npos;
        };
        if (!holds(service->from()) && !holds(service->name()) && !holds(service->localizedName()))
          item.name = remaining;
      }
      item.no = number;
      if (service->isOther()) item.extra = address;
    });
    addItemOnce(serviceItems, item);
  }
  addSection("Services", std::move(serviceItems));

  std::vector<std::shared_ptr<Delivery>> collected;
  if (context) {
    auto searched = deliveriesMatchingSearch(*dataStore_, text, QBYSearchScopeAll, kDeliveriesLimit,
                                             false, context);
    onContext([&] {
      for (std::size_t i = 0; i < searched.size(); ++i)
        if (auto delivery = searched.as<Delivery>(i)) collected.push_back(delivery);
    });
    for (const auto& item : bestItems) {
      if (collected.size() > kDeliveriesLimit) break;
      for (auto& delivery : matchingDeliveries(item)) collected.push_back(std::move(delivery));
    }
  }
  addSection("Deliveries", suggestionItemsFromDeliveries(collected));

  QBYDeliverySettings more;
  if (!remaining.empty()) more.name = remaining;
  more.no = number;
  result.titles.push_back(QBYLocalizedString("More"));
  result.items.push_back({more});
  return result;
}

}  // namespace qby
