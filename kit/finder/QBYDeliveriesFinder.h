// Turns what a user types, pastes, drags in or shares into candidate deliveries: a tracking
// number, an optional extra value and the services it may belong to, best first. The number
// formats live in the recognition scripts ("Common", "Guess", "GuessText"); the finder decides
// where in a page candidates are looked for, merges and ranks the scripts' answers, matches
// services by typed words and groups the add field's suggestions into sections.
//
// Threads: every operation may be called from any thread except the finder's script queue; the
// operations wait for the script calls (at most the runner's wait timeout each) and for the
// store fetches, which run in the finder's own background context. Records handed out belong
// to that context: touch them only inside objectContext()->performAndWait.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "finder/QBYGuess.h"
#include "finder/QBYWebData.h"
#include "model/QBYDeliverySettings.h"

namespace qby {

class QBYScriptRunner;
class QBYNumberFormats;

class QBYDataStore;
class QBYManagedObjectContext;
class QBYRecognitionScript;
class Delivery;
class Service;

inline constexpr const char* QBYSearchResultsTitleKey = "QBYSearchResultsTitle";
inline constexpr const char* QBYSearchResultsItemsKey = "QBYSearchResultsItems";

// The add field's suggestions: parallel lists of section titles and their items.
struct QBYSuggestions {
  std::vector<std::string> titles;
  std::vector<std::vector<QBYDeliverySettings>> items;

  // Titles under QBYSearchResultsTitleKey, and per section the items' settings fields (from,
  // no, extra, name, displayName, serviceName, itemCacheJSON, when set) under
  // QBYSearchResultsItemsKey.
  Dictionary dictionary() const;
};

class QBYDeliveriesFinder {
 public:
  // Candidate patterns of web data search, in the order they are applied.
  struct CandidatePattern {
    const char* pattern;
    bool ignoreCase;
    int group;
    // The trimmed candidate must be at least this long (0: no condition).
    std::size_t minimumLength;
    bool requiresDigit;
    // Every match begins with one of these (ASCII, any case); empty: no such knowledge.
    std::vector<std::string> starts;
    // Phone numbers, amounts, dates and the like are left out (see QBYDistractors): bare
    // runs of digits and capitals, which carry no label that says what they are.
    bool leavesOutDistractors = false;
  };
  static const std::vector<CandidatePattern>& candidatePatterns();

  // Without a store every service lookup finds nothing; recognition itself still works.
  explicit QBYDeliveriesFinder(QBYDataStore* dataStore);
  // The same with other recognition scripts, all required, loaded in order (tests and tools).
  QBYDeliveriesFinder(QBYDataStore* dataStore, std::vector<std::string> scriptNames);
  ~QBYDeliveriesFinder();
  QBYDeliveriesFinder(const QBYDeliveriesFinder&) = delete;
  QBYDeliveriesFinder& operator=(const QBYDeliveriesFinder&) = delete;

  QBYDataStore* dataStore() const { return dataStore_; }
  // The store's background context, made on first use; null without a store.
  QBYManagedObjectContext* objectContext();
  // The runner of the recognition scripts, made and configured on first use.
  std::shared_ptr<QBYScriptRunner> scriptRunner();
  // Whether the recognition scripts could not be loaded, so that no guess can be made.
  bool scriptsFailedToLoad();
  // Whether a text that is one clean number is answered from the scripts' number tables
  // without a visit of the script queue (when the scripts offer them; on by default). Off,
  // every guess calls the script: the answers are the same, only slower.
  void useNumberFormatTables(bool use);
  // Where webDataFromPasteboard reads from; nothing installed reads as an empty clipboard.
  void setPasteboard(std::shared_ptr<const QBYPasteboard> pasteboard);
  QBYWebData webDataFromPasteboard() const;

  // --- Guesses ---
  std::optional<Guess> guessesFromText(const std::optional<std::string>& text, bool strict);
  // guessesFromText of each text, in order, in one visit of the script queue; nothing when the
  // wait timed out or the scripts failed to load.
  std::vector<std::optional<Guess>> guessesFromTexts(const std::vector<std::string>& texts,
                                                     bool strict);
  std::optional<std::string> bestDomainFromText(const std::optional<std::string>& text);
  std::optional<std::string> bestDomainFromGuess(const std::optional<Guess>& guess);
  std::vector<std::string> domainsFromText(const std::optional<std::string>& text);
  std::vector<Guess> guessesFromWebData(const QBYWebData& webData);
  std::optional<Guess> bestGuessFromWebData(const QBYWebData& webData);
  std::vector<Guess> guessesFromWebData(const QBYWebData& webData, bool onlyBest);
  // guessesFromWebData of each page, in order, in one visit of the script queue: many short
  // texts (lines of a file) cost what one text of their length costs. Keep a batch to a few
  // megabytes so that it ends well within the script runner's wait timeout; nothing when the
  // wait timed out or the scripts failed to load.
  std::vector<std::vector<Guess>> guessesFromWebData(const std::vector<QBYWebData>& pages);
  std::optional<Dictionary> additionalDataFromHTML(const std::optional<std::string>& html,
                                                   const std::optional<std::string>& url);

  // --- Services ---
  std::shared_ptr<Service> serviceForDomain(const std::optional<std::string>& key);
  // Keys with a visible service, by use count plus a bonus for an early position; nothing
  // for no list, a list of one key as it is.
  std::optional<std::vector<std::string>> domainsSortedByUse(
      const std::optional<std::vector<std::string>>& keys);
  std::vector<std::string> domainsSortedByUse(const std::vector<std::string>& best,
                                              const std::vector<std::string>& more,
                                              std::size_t limit);
  std::vector<std::shared_ptr<Service>> servicesForDomains(const std::vector<std::string>& keys);
  std::optional<std::vector<std::shared_ptr<Service>>> servicesMatchingSearch(
      const std::optional<std::string>& text);

  // --- Suggestions ---
  std::vector<std::shared_ptr<Delivery>> recentDeliveriesFromArchive(
      bool archive, std::size_t limit, QBYManagedObjectContext& context);
  std::vector<QBYDeliverySettings> suggestionItemsFromDeliveries(
      const std::vector<std::shared_ptr<Delivery>>& deliveries);
  QBYSuggestions suggestionsForNaturalString(const std::optional<std::string>& text,
                                             const std::vector<Guess>& foundGuesses,
                                             bool includingClipboard);

  // Calls the block with the groups of every match (absent for a group that took no part);
  // the block may set stop. Anchors match at lines; a pattern that does not compile is logged
  // and matches nothing.
  using MatchBlock =
      std::function<void(const std::vector<std::optional<std::string>>& groups, bool& stop)>;
  static void enumerateMatchesForPattern(std::string_view pattern,
                                         const std::optional<std::string>& text, bool ignoringCase,
                                         const MatchBlock& block);
  // The same, trying the pattern only where the text begins with one of the starts (ASCII,
  // any case): a case-insensitive search for a few words is far cheaper than letting the
  // engine try every alternative at every position of a long text.
  static void enumerateMatchesForPattern(std::string_view pattern,
                                         const std::optional<std::string>& text, bool ignoringCase,
                                         const std::vector<std::string>& starts,
                                         const MatchBlock& block);

 private:
  // Searches the pages in one visit of the script queue.
  std::vector<std::vector<Guess>> searchWebData(const std::vector<QBYWebData>& pages,
                                                bool onlyBest);
  // One page's search, on the script queue.
  std::vector<Guess> search(const QBYRecognitionScript& script, const QBYWebData& webData,
                            bool onlyBest);
  // The scripts' number tables, read in one visit of the script queue on first use; null when
  // the scripts offer none or they are not to be used. Not on the script queue.
  std::shared_ptr<const QBYNumberFormats> numberFormats();
  std::optional<Dictionary> callScript(const char* function, const std::string& first,
                                       const std::optional<std::string>& second,
                                       std::optional<bool> flag);
  std::vector<QBYDeliverySettings> deliveriesSuggestions(
      const std::vector<std::shared_ptr<Delivery>>& deliveries);

  QBYDataStore* dataStore_;
  const std::vector<std::string> scriptNames_;
  mutable std::mutex mutex_;  // guards the lazily made runner, context, pasteboard and tables
  std::shared_ptr<QBYScriptRunner> scriptRunner_;
  std::shared_ptr<QBYManagedObjectContext> objectContext_;
  std::shared_ptr<const QBYPasteboard> pasteboard_;
  bool useNumberFormats_ = true;
  bool numberFormatsRead_ = false;
  std::shared_ptr<const QBYNumberFormats> numberFormats_;
};

}  // namespace qby
