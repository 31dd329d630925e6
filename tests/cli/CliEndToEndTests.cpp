// End to end through the real program: deliveries of several carriers are added with
// "porvane add", updated with "porvane update" against carrier answers from the fixture cases
// of tests/data/carriers served on 127.0.0.1, and read back with "porvane list --json".
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "CliProcess.h"
#include "engine/QBYPrivateToken.h"
#include "model/TemplateText.h"
#include "platform/MainQueue.h"
#include "platform/QBYUserDefaults.h"
#include "platform/Value.h"
#include "presentation/QBYDateFormatter.h"
#include "store/QBYDataStore.h"

namespace porvane::test {
namespace {

namespace fs = std::filesystem;
using qby::Value;

std::string contentTypeFor(const fs::path& file) {
  const std::string extension = file.extension().string();
  if (extension == ".json") return "application/json";
  if (extension == ".xml") return "application/xml; charset=utf-8";
  if (extension == ".html") return "text/html; charset=utf-8";
  return "text/plain; charset=utf-8";
}

// One carrier case as the tool sees it: what the user types and what the last answer implies.
struct Carrier {
  std::string name;  // "ups/delivered"
  std::string service;
  std::string number;
  std::string title;
  Value expected;  // the script's last results for the case
  std::string id;  // set once added
};

// The fixture rewrite's path of a carrier address, and its query.
std::pair<std::string, std::string> fixturePath(const std::string& url) {
  GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_ENCODED, nullptr);
  EXPECT_NE(uri, nullptr) << url;
  if (!uri) return {};
  std::string path = "/" + std::string(g_uri_get_host(uri)) + g_uri_get_path(uri);
  const char* query = g_uri_get_query(uri);
  std::pair<std::string, std::string> result{path, query ? query : ""};
  g_uri_unref(uri);
  return result;
}

class CliEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.listening()) << server_.error();
    environment_["PORVANE_FIXTURE_SERVER"] = server_.url();
  }

  // Serves the case's answers, takes its credentials; folder overrides where the answers come
  // from (another case of the same carrier, at the same addresses).
  Carrier serve(const std::string& name, const std::string& answersFrom = "") {
    const fs::path folder = fs::path(PORVANE_TEST_DATA_DIR) / "carriers" / name;
    const fs::path answers =
        fs::path(PORVANE_TEST_DATA_DIR) / "carriers" / (answersFrom.empty() ? name : answersFrom);
    const Value parsed = readJSON(answers / "case.json");
    for (const Value& response :
         parsed["responses"].arrayPtr() ? *parsed["responses"].arrayPtr() : qby::Array{}) {
      const auto [path, query] = fixturePath(response["url"].asString().value_or(""));
      CarrierServer::Response answer;
      answer.status = static_cast<unsigned>(response["status"].asInteger().value_or(200));
      if (auto file = response["file"].asString()) {
        answer.body = readText(answers / *file);
        answer.contentType = contentTypeFor(*file);
      } else {
        answer.body = response["text"].asString().value_or("");
      }
      server_.route(query.empty() ? path : path + "?" + query, std::move(answer));
    }
    if (const auto* credentials = parsed["credentials"].dictionaryPtr()) {
      for (const auto& [service, types] : *credentials)
        for (const auto& [type, value] :
             types.dictionaryPtr() ? *types.dictionaryPtr() : qby::Dictionary{})
          environment_[qby::QBYPrivateToken::environmentVariableForCredential(service, type)] =
              value.asString().value_or("");
    }
    const Value ownCase = readJSON(folder / "case.json");
    Carrier carrier;
    carrier.name = name;
    carrier.service = ownCase["delivery"]["from"].asString().value_or("");
    carrier.number = ownCase["delivery"]["no"].asString().value_or("");
    carrier.title = ownCase["delivery"]["name"].asString().value_or("");
    const Value expected = readJSON(answers / "expected.json");
    if (const auto* results = expected["results"].arrayPtr(); results && !results->empty())
      carrier.expected = results->back();
    return carrier;
  }

  RunResult run(const std::vector<std::string>& arguments) {
    return runCli(arguments, "", environment_);
  }

  void add(Carrier& carrier) {
    const RunResult result = run({"add", "--json", "--service", carrier.service, "--name",
                                  carrier.title, "--", carrier.number});
    ASSERT_EQ(result.exitCode, 0) << carrier.name << ": " << result.err;
    carrier.id = Value::fromJSON(result.out).value_or(Value())["id"].asString().value_or("");
    ASSERT_FALSE(carrier.id.empty()) << result.out;
  }

  Value runJSON(const std::vector<std::string>& arguments, int expectedExit = 0) {
    const RunResult result = run(arguments);
    EXPECT_EQ(result.exitCode, expectedExit) << result.err;
    auto value = Value::fromJSON(result.out);
    EXPECT_TRUE(value) << result.out << "\n" << result.err;
    return value.value_or(Value());
  }

  // The list's entry for the delivery.
  static Value entry(const Value& list, const std::string& id) {
    for (const Value& delivery : list.arrayPtr() ? *list.arrayPtr() : qby::Array{})
      if (delivery["id"].asString() == id) return delivery;
    ADD_FAILURE() << "not listed: " << id;
    return {};
  }

  static double seconds(const Value& isoTime) {
    const auto date =
        qby::QBYDateFormatter::sharedFormatter().dateTimeFromString(isoTime.asString());
    EXPECT_TRUE(date) << isoTime.description();
    return date ? date->timeIntervalSince1970() : 0;
  }

  static const Value& firstItem(const Carrier& carrier) {
    static const Value none;
    const auto* items = carrier.expected["items"].arrayPtr();
    return items && !items->empty() ? items->front() : none;
  }

  // A line of an item as the list or a notification phrases it (dates relative, mode 2).
  static std::string phrased(const Value& item, const char* textKey, const char* dateKey) {
    auto& formatter = qby::QBYDateFormatter::sharedFormatter();
    const auto text = item[textKey].asString();
    if (!text || text->empty()) return "";
    const auto date = formatter.dateFromString(item[dateKey].asString());
    return qby::stringWithDate(*text,
                               date ? std::optional(formatter.displayDate(date, 2)) : std::nullopt);
  }

  // The list must show what the last answer of each case implies: the state, the status
  // lines, no day count (every carrier line carries an icon), and the next updates the
  // answer's interval sets (background: three times the interval, 30 to 720 minutes, or the
  // interval itself from 720 minutes on).
  void expectListed(const Value& list, const Carrier& carrier) {
    SCOPED_TRACE(carrier.name);
    const Value delivery = entry(list, carrier.id);
    const Value& item = firstItem(carrier);
    const bool delivered = item["icon"].asString() == "checkmark";
    EXPECT_EQ(delivery["state"].asString(), delivered ? "delivered" : "transit");
    EXPECT_EQ(delivery["updating"], Value(false));
    EXPECT_EQ(delivery["packages"].asInteger(),
              static_cast<std::int64_t>(carrier.expected["items"].arrayPtr()->size()));
    EXPECT_EQ(delivery["row"]["title"].asString(), item["itemName"].asString());
    EXPECT_EQ(delivery["row"]["status"].asString(),
              phrased(item, "shippedText", "shippedDateString"));
    EXPECT_EQ(delivery["row"]["deliver"].asString(),
              phrased(item, "deliveredText", "deliveredDateString"));
    EXPECT_EQ(delivery["row"]["days"].asString(), "");
    EXPECT_EQ(delivery["url"], carrier.expected["url"]);

    const double interval = carrier.expected["interval"].asReal().value_or(0);
    const double background =
        interval >= 720 ? interval : std::min(720.0, std::max(30.0, 3 * interval));
    const double updated = seconds(delivery["updated"]);
    // The texts hold whole seconds.
    EXPECT_NEAR(seconds(delivery["nextUpdate"]) - updated, interval * 60, 1.0);
    EXPECT_NEAR(seconds(delivery["backgroundUpdate"]) - updated, background * 60, 1.0);
  }

  // The notification applying a first answer or a change presents for a one-item delivery.
  static Value notificationFor(const Carrier& carrier) {
    const Value& item = firstItem(carrier);
    const bool delivered = item["icon"].asString() == "checkmark";
    const std::string name = item["itemName"].asString().value_or("");
    std::string message = phrased(item, "shippedText", "shippedDateString");
    const std::string deliver = phrased(item, "deliveredText", "deliveredDateString");
    if (!deliver.empty()) message += (message.empty() ? "" : "\n") + deliver;
    return Value(qby::Dictionary{
        {"identifier", Value(carrier.id + "-single")},
        {"uuid", Value(carrier.id)},
        {"title", Value(delivered ? "✓\u00a0" + name : name)},
        {"message", Value(message)},
        {"category", Value("update")},
        {"action", delivered ? Value("archive") : Value()},
    });
  }

  static std::multiset<std::string> texts(const Value& notifications) {
    std::multiset<std::string> set;
    for (const Value& n : notifications.arrayPtr() ? *notifications.arrayPtr() : qby::Array{})
      set.insert(n.toJSON().value_or(""));
    return set;
  }

  std::vector<Carrier> addThree() {
    std::vector<Carrier> carriers = {serve("ups/delivered"), serve("fedex/in-transit"),
                                     serve("dpd/in-transit")};
    for (auto& carrier : carriers) add(carrier);
    return carriers;
  }

  CarrierServer server_;
  std::map<std::string, std::string> environment_;
};

TEST_F(CliEndToEndTest, UpdatesShowInTheListAndChangesNotifyOnce) {
  auto carriers = addThree();
  ASSERT_FALSE(HasFailure());

  // The first answers are all new: one notification each.
  const Value first = runJSON({"update", "--json"});
  EXPECT_EQ(first["result"].asString(), "new data");
  EXPECT_EQ(first["updated"].arrayPtr()->size(), carriers.size());
  std::multiset<std::string> expected;
  for (const auto& carrier : carriers)
    expected.insert(notificationFor(carrier).toJSON().value_or(""));
  EXPECT_EQ(texts(first["notifications"]), expected);

  const Value list = runJSON({"list", "--json"});
  for (const auto& carrier : carriers) expectListed(list, carrier);

  // Nothing is due right after: a plain update has nothing to do.
  const Value idle = runJSON({"update", "--json"});
  EXPECT_EQ(idle["result"].asString(), "no changes");
  EXPECT_EQ(idle["updated"].arrayPtr()->size(), 0u);

  // The DPD parcel is delivered now; the others answer as before.
  Carrier& dpd = carriers[2];
  const std::string id = dpd.id;
  dpd = serve("dpd/in-transit", "dpd/delivered");
  dpd.id = id;
  const Value second = runJSON({"update", "--force", "--json"});
  EXPECT_EQ(second["result"].asString(), "new data");
  EXPECT_EQ(second["updated"].arrayPtr()->size(), carriers.size());
  EXPECT_EQ(texts(second["notifications"]),
            std::multiset<std::string>{notificationFor(dpd).toJSON().value_or("")});
  for (const auto& carrier : carriers) expectListed(runJSON({"list", "--json"}), carrier);

  // Delivered stays delivered: no second "delivered" notification.
  const Value third = runJSON({"update", "--force", "--json"});
  EXPECT_EQ(third["result"].asString(), "no changes");
  EXPECT_EQ(third["notifications"].arrayPtr()->size(), 0u);
}

TEST_F(CliEndToEndTest, TwoUpdatesAtOnceNeitherCorruptNorLoseResults) {
  auto carriers = addThree();
  ASSERT_FALSE(HasFailure());

  RunningCli one({"update", "--json"}, "", environment_);
  RunningCli two({"update", "--json"}, "", environment_);
  const RunResult a = one.wait();
  const RunResult b = two.wait();
  ASSERT_EQ(a.exitCode, 0) << a.err;
  ASSERT_EQ(b.exitCode, 0) << b.err;

  // Every delivery was updated once between the two, and announced once.
  const Value first = Value::fromJSON(a.out).value_or(Value());
  const Value second = Value::fromJSON(b.out).value_or(Value());
  std::multiset<std::string> updated;
  for (const Value* run : {&first, &second})
    for (const Value& id :
         run->operator[]("updated").arrayPtr() ? *(*run)["updated"].arrayPtr() : qby::Array{})
      updated.insert(id.asString().value_or(""));
  std::multiset<std::string> ids;
  for (const auto& carrier : carriers) ids.insert(carrier.id);
  EXPECT_EQ(updated, ids);
  EXPECT_EQ(first["notifications"].arrayPtr()->size() + second["notifications"].arrayPtr()->size(),
            carriers.size());

  // The store holds each delivery once, with exactly its answer's lines.
  const Value list = runJSON({"list", "--json"});
  EXPECT_EQ(list.arrayPtr()->size(), carriers.size());
  for (const auto& carrier : carriers) {
    expectListed(list, carrier);
    const Value shown = runJSON({"show", "--json", carrier.id});
    EXPECT_EQ(shown["items"].arrayPtr()->size(), carrier.expected["items"].arrayPtr()->size())
        << carrier.name;
  }
}

TEST_F(CliEndToEndTest, AnUpdateKilledMidwayIsPickedUpByTheNextRun) {
  auto carriers = addThree();
  ASSERT_FALSE(HasFailure());

  // FedEx does not answer: the run hangs in the middle, and is killed there.
  server_.hold("/apis.fedex.com/track/v1/trackingnumbers");
  {
    RunningCli update({"update", "--json"}, "", environment_);
    ASSERT_TRUE(
        qby::MainQueue::runUntil([&] { return server_.held() > 0 || update.finished(); }, 120));
    ASSERT_FALSE(update.finished()) << "the update ended without waiting for FedEx";
    update.kill();
    EXPECT_LT(update.wait().exitCode, 0);
  }
  server_.release();

  // The next plain run takes what the killed one left unfinished: FedEx at least, still due
  // and marked as updating, although the killed run's busy date is still stored.
  const Value next = runJSON({"update", "--json"});
  EXPECT_EQ(next["result"].asString(), "new data");
  std::set<std::string> updated;
  for (const Value& id : *next["updated"].arrayPtr()) updated.insert(id.asString().value_or(""));
  EXPECT_TRUE(updated.contains(carriers[1].id));
  const Value list = runJSON({"list", "--json"});
  for (const auto& carrier : carriers) expectListed(list, carrier);
}

// Runs one statement on the tool's database, as another program of the user could.
void executeOnStore(const std::string& statement) {
  sqlite3* db = nullptr;
  ASSERT_EQ(
      sqlite3_open_v2(qby::QBYDataStore::storeURL().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr),
      SQLITE_OK);
  char* message = nullptr;
  const int result = sqlite3_exec(db, statement.c_str(), nullptr, nullptr, &message);
  EXPECT_EQ(result, SQLITE_OK) << (message ? message : "");
  sqlite3_free(message);
  sqlite3_close(db);
}

std::vector<std::string> listedIDs(const Value& list) {
  std::vector<std::string> ids;
  for (const Value& delivery : list.arrayPtr() ? *list.arrayPtr() : qby::Array{})
    ids.push_back(delivery["id"].asString().value_or(""));
  return ids;
}

TEST_F(CliEndToEndTest, AnUpdateWhoseChangesCannotBeSavedFailsAndNotifiesNothing) {
  Carrier carrier = serve("ups/delivered");
  add(carrier);
  ASSERT_FALSE(HasFailure());
  // Every write of a delivery is refused from now on, as by a full disk.
  executeOnStore(
      "CREATE TRIGGER refuse_writes BEFORE UPDATE ON \"Delivery\" "
      "BEGIN SELECT RAISE(ABORT, 'database or disk is full'); END;");
  const RunResult failed = run({"update", "--force", "--json"});
  EXPECT_EQ(failed.exitCode, 1) << failed.err;
  const Value report = Value::fromJSON(failed.out).value_or(Value());
  EXPECT_EQ(report["result"].asString(), "failed") << failed.out;
  EXPECT_EQ(report["notifications"].arrayPtr() ? report["notifications"].arrayPtr()->size() : 99,
            0u);
  EXPECT_NE(failed.err.find("the changes could not be saved: "), std::string::npos) << failed.err;
  EXPECT_EQ(entry(runJSON({"list", "--json"}), carrier.id)["state"].asString(), "pending");

  // Once the store takes writes again, the next run stores the change and tells it, once.
  executeOnStore("DROP TRIGGER refuse_writes;");
  const Value next = runJSON({"update", "--force", "--json"});
  EXPECT_EQ(next["result"].asString(), "new data");
  EXPECT_EQ(texts(next["notifications"]), texts(Value(qby::Array{notificationFor(carrier)})));
}

TEST_F(CliEndToEndTest, APasswordWithoutAKeyringIsReportedAndTheDeliveryKept) {
  std::map<std::string, std::string> environment = environment_;
  environment["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=/nonexistent/porvane-test-bus";
  const RunResult result = runCli({"add", "123-1234567-1234567", "--service", "www.amazon.com",
                                   "--extra", "me@example.com", "--password-stdin", "--json"},
                                  "secret\n", environment);
  EXPECT_EQ(result.exitCode, 1) << result.err;
  EXPECT_NE(result.err.find("the delivery was saved, but its password could not be stored: no "
                            "keyring is reachable"),
            std::string::npos)
      << result.err;
  const std::string id =
      Value::fromJSON(result.out).value_or(Value())["id"].asString().value_or("");
  ASSERT_FALSE(id.empty()) << result.out;
  EXPECT_EQ(entry(runJSON({"list", "--json"}), id)["number"].asString(), "123-1234567-1234567");
}

TEST_F(CliEndToEndTest, ARunCountsUpdatedFailedAndUnsupportedDeliveriesTruthfully) {
  // A web page with a delivery day the user gave that has passed, a carrier without its API
  // credentials, and a service that is not tracked automatically.
  server_.route("/shop.example.com/orders/4711",
                {200, "text/html; charset=utf-8",
                 "<html><head><title>Order 4711</title></head><body>Shipped soon</body></html>"});
  const RunResult page = run({"add", "--json", "--date", "2024-01-02", "--name", "Lamp",
                              "https://shop.example.com/orders/4711"});
  ASSERT_EQ(page.exitCode, 0) << page.err;
  const Value pageDelivery = Value::fromJSON(page.out).value_or(Value());
  EXPECT_EQ(pageDelivery["service"].asString(), "other");
  EXPECT_EQ(pageDelivery["extra"].asString(), "https://shop.example.com/orders/4711");
  const std::string pageID = pageDelivery["id"].asString().value_or("");
  const RunResult ups = run({"add", "--json", "--service", "www.ups.com", "1Z999AA10123456784"});
  ASSERT_EQ(ups.exitCode, 0) << ups.err;
  const std::string upsID =
      Value::fromJSON(ups.out).value_or(Value())["id"].asString().value_or("");
  // Apple's store shows an order only to a signed-in customer: not tracked, and no failure.
  const RunResult apple = run({"add", "--json", "--service", "www.apple.com/jp", "--extra",
                               "buyer@example.com", "W1234567890"});
  ASSERT_EQ(apple.exitCode, 0) << apple.err;

  const RunResult result = run({"update", "--json"});
  EXPECT_EQ(result.exitCode, 1) << result.err;
  const Value report = Value::fromJSON(result.out).value_or(Value());
  EXPECT_EQ(report["counts"]["updated"].asInteger(), 1) << result.out;
  EXPECT_EQ(report["counts"]["unchanged"].asInteger(), 0) << result.out;
  EXPECT_EQ(report["counts"]["failed"].asInteger(), 1) << result.out;
  EXPECT_EQ(report["counts"]["unsupported"].asInteger(), 1) << result.out;
  EXPECT_NE(result.err.find("1 delivery could not be updated"), std::string::npos) << result.err;

  const Value list = runJSON({"list", "--json"});
  // The day the user gave has passed: the page's delivery counts as delivered.
  EXPECT_EQ(entry(list, pageID)["state"].asString(), "delivered");
  const Value upsEntry = entry(list, upsID);
  EXPECT_NE(upsEntry["row"]["status"].asString().value_or("").find("not set up"), std::string::npos)
      << upsEntry.toJSON().value_or("");

  const RunResult text = run({"update", "--force"});
  EXPECT_NE(text.out.find("1 failed"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("1 not supported"), std::string::npos) << text.out;
}

TEST_F(CliEndToEndTest, TheServicesListSaysWhichServicesAreTrackedAutomatically) {
  const Value services = runJSON({"services", "--json"});
  std::map<std::string, bool> supported;
  for (const Value& service : services.arrayPtr() ? *services.arrayPtr() : qby::Array{})
    supported[service["key"].asString().value_or("")] =
        service["supported"].asBool().value_or(true);
  EXPECT_TRUE(supported.at("www.ups.com"));
  EXPECT_TRUE(supported.at("other"));
  EXPECT_TRUE(supported.at("www.hlg.de"));
  EXPECT_FALSE(supported.at("www.apple.com/jp"));
  EXPECT_FALSE(supported.at("www.yodel.co.uk"));
  const RunResult text = run({"services"});
  // Each service's line is followed by how it is tracked.
  const auto stateOf = [&](const std::string& key) {
    const auto line = text.out.find("\n  " + key + " ");
    if (line == std::string::npos) return std::string();
    const auto next = text.out.find('\n', line + 1);
    const auto end = text.out.find('\n', next + 1);
    return text.out.substr(next + 1, end - next - 1);
  };
  EXPECT_NE(stateOf("www.hlg.de").find("tracks without keys"), std::string::npos) << text.out;
  EXPECT_NE(stateOf("www.ups.com").find("needs keys"), std::string::npos) << text.out;
  EXPECT_NE(stateOf("www.yodel.co.uk").find("page only"), std::string::npos) << text.out;
  EXPECT_NE(stateOf("www.apple.com/jp").find("not supported: Apple shows an order only after"),
            std::string::npos)
      << text.out;
}

TEST_F(CliEndToEndTest, AFreshStoreListsByDeliveryDateAndAddsOnTopOfTheManualOrder) {
  std::vector<std::string> ids;
  for (const char* name : {"P1", "P2", "P3", "P4", "P5", "P6"}) {
    const RunResult added = run({"add", "--json", "--service", "www.ups.com", "--name", name,
                                 std::string("1Z999AA1012345678") + name[1]});
    ASSERT_EQ(added.exitCode, 0) << added.err;
    ids.push_back(Value::fromJSON(added.out).value_or(Value())["id"].asString().value_or(""));
  }
  // No delivery has a date yet: by delivery date they tie and are listed by title.
  EXPECT_EQ(listedIDs(runJSON({"list", "--json"})), ids);
  // Sorted by hand (what the main application stores), the newest is on top.
  ASSERT_TRUE(qby::QBYDataStore::sharedDefaults().setInteger(0, "QBYSortMode"));
  EXPECT_EQ(listedIDs(runJSON({"list", "--json"})),
            std::vector<std::string>(ids.rbegin(), ids.rend()));
}

// The element at index of a JSON array, or null.
const Value& element(const Value& array, std::size_t index) {
  static const Value none;
  const auto* elements = array.arrayPtr();
  return elements && index < elements->size() ? (*elements)[index] : none;
}

// The numbers of a "guess --json" answer, in order.
std::vector<std::string> guessedNumbers(const Value& guesses) {
  std::vector<std::string> numbers;
  for (const Value& guess : guesses.arrayPtr() ? *guesses.arrayPtr() : qby::Array{})
    numbers.push_back(guess["no"].asString().value_or("-"));
  return numbers;
}

TEST_F(CliEndToEndTest, GuessFindsEveryNumberAndProposesOnlyServicesTheListHas) {
  auto numbers =
      guessedNumbers(runJSON({"guess", "--json", "1Z999AA10123456784 JJD000390007726468"}));
  std::sort(numbers.begin(), numbers.end());
  EXPECT_EQ(numbers, (std::vector<std::string>{"1Z999AA10123456784", "JJD000390007726468"}));
  EXPECT_EQ(
      guessedNumbers(runJSON({"guess", "--json", "JJD000390007726468 and 9400111899223397658538"})),
      (std::vector<std::string>{"JJD000390007726468", "9400111899223397658538"}));
  EXPECT_TRUE(guessedNumbers(runJSON({"guess", "--json",
                                      "Thanks for your order! Questions? Call 1-800-562-7773."}))
                  .empty());

  // Every service a guess proposes can be added.
  std::set<std::string> keys;
  const Value services = runJSON({"services", "--json"});
  for (const Value& service : services.arrayPtr() ? *services.arrayPtr() : qby::Array{})
    keys.insert(service["key"].asString().value_or(""));
  const RunResult guessed = run({"guess", "--json", "617326624931"});
  ASSERT_EQ(guessed.exitCode, 0) << guessed.err;
  // Pretty-printed, as every other command's JSON.
  EXPECT_NE(guessed.out.find("\n  {\n    \"no\": "), std::string::npos) << guessed.out;
  const Value guesses = Value::fromJSON(guessed.out).value_or(Value());
  ASSERT_EQ(guessedNumbers(guesses), std::vector<std::string>{"617326624931"});
  for (const char* list : {"best", "more"}) {
    const Value& named = element(guesses, 0)[list];
    for (const Value& key : named.arrayPtr() ? *named.arrayPtr() : qby::Array{})
      EXPECT_TRUE(keys.count(key.asString().value_or(""))) << key.asString().value_or("");
  }
}

TEST_F(CliEndToEndTest, GuessLinesAnswersEveryLineInOrder) {
  std::string input;
  std::vector<std::string> expected;
  for (int line = 0; line < 3000; ++line) {
    switch (line % 5) {
      case 0:
        input += "Tracking number: 1Z999AA10123456784\n";
        expected.push_back("1Z999AA10123456784");
        break;
      case 1:
        input += "nothing to see here, call 1-800-562-7773\r\n";
        expected.push_back("");
        break;
      case 2:
        input += "986578788855\n";
        expected.push_back("986578788855");
        break;
      case 3:
        input += "\n";
        expected.push_back("");
        break;
      default:
        input += "bad \xff bytes RB123456785GB\n";
        expected.push_back("RB123456785GB");
    }
  }
  input += "JJD000390007726468";  // the last line lacks its line break
  expected.push_back("JJD000390007726468");

  const RunResult result = runCli({"guess", "--lines"}, input, {});
  ASSERT_EQ(result.exitCode, 0) << result.err;
  std::istringstream lines(result.out);
  std::size_t index = 0;
  for (std::string line; std::getline(lines, line); ++index) {
    ASSERT_LT(index, expected.size()) << line;
    const auto guesses = Value::fromJSON(line);
    ASSERT_TRUE(guesses) << line;
    const auto numbers = guessedNumbers(*guesses);
    EXPECT_EQ(numbers.empty() ? "" : numbers.front(), expected[index]) << "line " << index;
  }
  EXPECT_EQ(index, expected.size());
}

TEST_F(CliEndToEndTest, SuggestNeedsTextAndSuggestsAnOrderPage) {
  EXPECT_EQ(run({"suggest"}).exitCode, 64);
  EXPECT_EQ(run({"suggest", "--json"}).exitCode, 64);
  EXPECT_EQ(run({"suggest", "--frobnicate", "x"}).exitCode, 64);

  const std::string order =
      "https://www.amazon.com/gp/your-account/order-details?orderID=123-1234567-1234567";
  const Value sections = runJSON({"suggest", "--json", order});
  ASSERT_TRUE(sections.arrayPtr() && !sections.arrayPtr()->empty())
      << sections.toJSON().value_or("");
  const Value& best = element(sections, 0);
  EXPECT_EQ(best["title"].asString(), "Best guesses");
  EXPECT_EQ(element(best["items"], 0)["service"].asString(), "www.amazon.com/url");
  EXPECT_EQ(element(best["items"], 0)["extra"].asString(), order);
  EXPECT_EQ(element(best["items"], 0)["name"].asString(), "123-1234567-1234567");

  const Value number = runJSON({"suggest", "--json", "1Z999AA10123456784"});
  ASSERT_TRUE(number.arrayPtr() && !number.arrayPtr()->empty());
  EXPECT_EQ(element(element(number, 0)["items"], 0)["service"].asString(), "www.ups.com");
  EXPECT_EQ(element(element(number, 0)["items"], 0)["number"].asString(), "1Z999AA10123456784");
}

}  // namespace
}  // namespace porvane::test
