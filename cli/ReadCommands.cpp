// list, show, search and services: read the store (and for services the catalogue) and print.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#include "DeliveryLookup.h"
#include "DeliveryOutput.h"
#include "ExitCodes.h"
#include "SafeText.h"
#include "Session.h"
#include "manager/QBYDeliveriesManager.h"
#include "manager/QBYServiceCatalogue.h"
#include "model/Delivery.h"
#include "model/Service.h"
#include "model/Setting.h"
#include "platform/Localization.h"
#include "presentation/QBYDateFormatter.h"
#include "store/QBYDataStore.h"
#include "store/QBYDeliveriesQueries.h"
#include "store/core/QBYTextFolding.h"

namespace porvane {

namespace {

using DeliveryList = std::vector<std::shared_ptr<qby::Delivery>>;

int printDeliveries(const char* command, const DeliveryList& deliveries, bool asJSON,
                    const char* emptyText) {
  auto& formatter = qby::QBYDateFormatter::sharedFormatter();
  const bool updateRunning = Session::updateRunning();
  if (asJSON) {
    qby::Array array;
    for (const auto& delivery : deliveries)
      array.push_back(jsonForDelivery(*delivery, formatter, false, updateRunning));
    return printJSON(command, qby::Value(std::move(array)));
  }
  if (deliveries.empty()) {
    std::printf("%s\n", emptyText);
    return kExitSuccess;
  }
  double lastUpdated = 0;
  for (const auto& delivery : deliveries) {
    std::fputs(textForRow(rowForDelivery(*delivery, formatter)).c_str(), stdout);
    if (!delivery->archived()) lastUpdated = std::max(lastUpdated, delivery->updatedTime());
  }
  // The status line the list window shows under the list.
  bool anyActive = false;
  for (const auto& delivery : deliveries) anyActive = anyActive || !delivery->archived();
  if (anyActive) {
    const auto status = formatter.updatedText("Updated %@", qby::Date(lastUpdated));
    std::printf("\n%s\n",
                status ? status->c_str() : qby::QBYLocalizedString("Never updated").c_str());
  }
  return kExitSuccess;
}

DeliveryList activeList(qby::QBYDataStore& store) {
  // The list of the main application, in its sort order; deleted ones that are still on it
  // for sync are not the user's deliveries any more.
  DeliveryList list;
  for (auto& delivery :
       qby::deliveriesForProcessType(store, qby::QBYProcessTypeApplication).allAs<qby::Delivery>())
    if (!delivery->removed()) list.push_back(std::move(delivery));
  return list;
}

DeliveryList archivedList(qby::QBYDataStore& store) {
  return qby::deliveriesMatchingSearch(store, std::nullopt, qby::QBYSearchScopeArchive, 0, true)
      .allAs<qby::Delivery>();
}

int notFoundOrAmbiguous(const char* command, const std::string& word, const LookupResult& found) {
  if (found.kind == LookupResult::Ambiguous)
    return fail(command, ambiguityMessage(word, found), kExitUsage);
  return fail(command, "no delivery with the ID or tracking number " + quotedWord(word),
              kExitNotFound);
}

}  // namespace

int fail(const char* command, const std::string& message, int code) {
  // Messages quote what the user typed and what the store holds: one line, nothing that
  // steers the terminal.
  std::fprintf(stderr, "porvane %s: %s\n", command, terminalText(message).c_str());
  return code;
}

int printJSON(const char* command, const qby::Value& value) {
  std::string error;
  const auto text = jsonTextOrError(value, &error);
  if (!text) return fail(command, error, kExitFailure);
  std::fputs(text->c_str(), stdout);
  return kExitSuccess;
}

std::string ambiguityMessage(const std::string& word, const LookupResult& found) {
  std::string candidates;
  for (const auto& match : found.matches) {
    candidates += (candidates.empty() ? "" : ", ") + shortID(match->uuid());
    const auto from = match->from();
    if (from && !from->empty()) candidates += " (" + *from + ")";
  }
  return quotedWord(word) + " matches several deliveries: " + candidates + "; give more of the ID";
}

int runListCommand(int argc, char** argv) {
  std::string error;
  const auto arguments =
      Arguments::parse(argc, argv, {{"archived", false}, {"all", false}, {"json", false}}, &error);
  if (!arguments) return fail("list", error, kExitUsage);
  if (!arguments->positionals().empty())
    return fail("list", "unexpected argument: " + arguments->positionals().front(), kExitUsage);
  if (arguments->has("archived") && arguments->has("all"))
    return fail("list", "--archived and --all exclude each other", kExitUsage);
  auto session = Session::open(&error);
  if (!session) return fail("list", error, kExitFailure);

  DeliveryList deliveries;
  if (!arguments->has("archived")) deliveries = activeList(session->store());
  if (arguments->has("archived") || arguments->has("all")) {
    auto archived = archivedList(session->store());
    deliveries.insert(deliveries.end(), archived.begin(), archived.end());
  }
  return printDeliveries(
      "list", deliveries, arguments->has("json"),
      arguments->has("archived") ? "No archived deliveries." : "You do not have any deliveries.");
}

int runShowCommand(int argc, char** argv) {
  std::string error;
  const auto arguments = Arguments::parse(argc, argv, {{"json", false}}, &error);
  if (!arguments) return fail("show", error, kExitUsage);
  if (arguments->positionals().size() != 1)
    return fail("show", "give one delivery ID or tracking number", kExitUsage);
  auto session = Session::open(&error);
  if (!session) return fail("show", error, kExitFailure);

  const std::string& word = arguments->positionals().front();
  const LookupResult found = findDelivery(session->store(), word);
  if (found.kind != LookupResult::Found) return notFoundOrAmbiguous("show", word, found);
  auto& formatter = qby::QBYDateFormatter::sharedFormatter();
  const bool updateRunning = Session::updateRunning();
  if (arguments->has("json"))
    return printJSON("show", jsonForDelivery(*found.delivery, formatter, true, updateRunning));
  std::fputs(detailText(*found.delivery, formatter, updateRunning).c_str(), stdout);
  return kExitSuccess;
}

int runSearchCommand(int argc, char** argv) {
  std::string error;
  const auto arguments = Arguments::parse(
      argc, argv, {{"archived", false}, {"active", false}, {"json", false}}, &error);
  if (!arguments) return fail("search", error, kExitUsage);
  if (arguments->positionals().empty()) return fail("search", "missing WORDS", kExitUsage);
  if (arguments->has("archived") && arguments->has("active"))
    return fail("search", "--archived and --active exclude each other", kExitUsage);
  auto session = Session::open(&error);
  if (!session) return fail("search", error, kExitFailure);

  const unsigned scope = arguments->has("archived") ? qby::QBYSearchScopeArchive
                         : arguments->has("active") ? qby::QBYSearchScopeActive
                                                    : qby::QBYSearchScopeAll;
  const auto results = qby::deliveriesMatchingSearch(session->store(),
                                                     arguments->joinedPositionals(), scope, 0, true)
                           .allAs<qby::Delivery>();
  return printDeliveries("search", results, arguments->has("json"), "No deliveries match.");
}

}  // namespace porvane
