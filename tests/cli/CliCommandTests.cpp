// The porvane program as a user runs it, without the network: bad input is refused with the
// right message and exit code and leaves the store untouched; the commands that read and
// change deliveries work on the shared store.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "CliProcess.h"
#include "PorvaneKit.h"
#include "manager/QBYDeliveriesManager.h"
#include "model/Delivery.h"
#include "platform/MMWormholeFileTransiting.h"
#include "platform/Value.h"
#include "store/QBYDataStore.h"
#include "store/core/QBYManagedObjectContext.h"

namespace porvane::test {
namespace {

constexpr int kUsage = 64;
constexpr int kValidation = 65;
constexpr int kNotFound = 66;

// Every delivery record in the store, deleted ones included.
std::size_t storedDeliveries() {
  qby::QBYDataStore store;
  if (!store.available()) return 0;
  qby::QBYFetchRequest request;
  request.entityName = "Delivery";
  const auto results = store.viewContext()->executeFetchRequest(request);
  return results ? results->size() : 0;
}

qby::Value json(const RunResult& result) {
  auto value = qby::Value::fromJSON(result.out);
  EXPECT_TRUE(value) << result.out << result.err;
  return value.value_or(qby::Value());
}

// A refused add: its exit code, exactly one line on standard error, nothing on standard
// output, and no delivery in the store.
void expectRefused(const std::vector<std::string>& arguments, int code,
                   const std::string& message) {
  const RunResult result = runCli(arguments);
  EXPECT_EQ(result.exitCode, code) << result.err;
  EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(storedDeliveries(), 0u);
}

TEST(CliBadInputTest, UnknownServiceKeyIsAValidationError) {
  expectRefused({"add", "1Z999AA10123456784", "--service", "www.nowhere.example"}, kValidation,
                "porvane add: From is required. Unknown service “www.nowhere.example”");
}

TEST(CliBadInputTest, MissingRequiredSettingNamesIt) {
  expectRefused({"add", "3SABCD1234567", "--service", "www.postnl.nl"}, kValidation,
                "porvane add: Postal code is required.\n");
}

TEST(CliBadInputTest, TwoMissingSettingsMakeOneMessage) {
  const RunResult result = runCli({"add", "123-4567890-1234567", "--service", "www.amazon.com"});
  EXPECT_EQ(result.exitCode, kValidation);
  const bool either = result.err == "porvane add: Account e-mail and Password are required.\n" ||
                      result.err == "porvane add: Password and Account e-mail are required.\n";
  EXPECT_TRUE(either) << result.err;
  EXPECT_EQ(storedDeliveries(), 0u);
}

TEST(CliBadInputTest, MalformedDatesAreRefused) {
  for (const char* date : {"2024-02-30", "tomorrow", "2024-3-4", ""}) {
    SCOPED_TRACE(date);
    expectRefused({"add", "1Z999AA10123456784", "--service", "www.ups.com", "--date", date},
                  kValidation, "porvane add: malformed date");
  }
}

TEST(CliBadInputTest, TenThousandCharacterNumberIsRefusedBeforeRecognition) {
  const std::string number(10000, '7');
  expectRefused({"add", number}, kValidation,
                "porvane add: Tracking No. is too long (at most 256 characters).");
  expectRefused({"add", number, "--service", "www.ups.com"}, kValidation,
                "porvane add: Tracking No. is too long (at most 256 characters).");
}

TEST(CliBadInputTest, WrongCommandLinesAreUsageErrors) {
  EXPECT_EQ(runCli({"add"}).exitCode, kUsage);
  EXPECT_EQ(runCli({"add", "X", "--service"}).exitCode, kUsage);
  EXPECT_EQ(runCli({"list", "--archived", "--all"}).exitCode, kUsage);
  EXPECT_EQ(runCli({"list", "extra"}).exitCode, kUsage);
  EXPECT_EQ(runCli({"show"}).exitCode, kUsage);
  EXPECT_EQ(runCli({"delete"}).exitCode, kUsage);
  EXPECT_EQ(runCli({"update", "--frobnicate"}).exitCode, kUsage);
  EXPECT_EQ(runCli({"frobnicate"}).exitCode, kUsage);
  EXPECT_EQ(storedDeliveries(), 0u);
}

TEST(CliBadInputTest, UnknownDeliveriesAreNotFound) {
  for (const char* command : {"show", "archive", "delete"}) {
    const RunResult result = runCli({command, "0000ffff"});
    EXPECT_EQ(result.exitCode, kNotFound) << command;
    EXPECT_EQ(result.err, std::string("porvane ") + command +
                              ": no delivery with the ID or tracking number “0000ffff”\n");
  }
}

TEST(CliCommandTest, AddListShowSearchArchiveAndDelete) {
  RunResult added = runCli(
      {"add", "--json", "--name", "Camera", "--service", "www.ups.com", "1z 999 aa1 0123456784"});
  ASSERT_EQ(added.exitCode, 0) << added.err;
  const qby::Value delivery = json(added);
  const std::string id = delivery["id"].asString().value_or("");
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(delivery["service"].asString(), "www.ups.com");
  EXPECT_EQ(delivery["state"].asString(), "pending");
  // Saved for an update at once; nothing runs it yet.
  EXPECT_EQ(delivery["due"], qby::Value(true));

  // The same number again is not a second delivery.
  RunResult again = runCli({"add", "1Z999AA10123456784", "--service", "www.ups.com"});
  EXPECT_EQ(again.exitCode, 0);
  EXPECT_NE(again.err.find("already tracking"), std::string::npos) << again.err;
  EXPECT_EQ(storedDeliveries(), 1u);

  RunResult list = runCli({"list", "--json"});
  ASSERT_EQ(list.exitCode, 0);
  ASSERT_EQ(json(list).arrayPtr()->size(), 1u);
  EXPECT_EQ(json(list).arrayPtr()->front()["id"].asString(), id);

  const std::string shortID = id.substr(0, 8);
  RunResult text = runCli({"list"});
  EXPECT_EQ(text.out.rfind(shortID, 0), 0u) << text.out;
  EXPECT_NE(text.out.find("Camera · UPS"), std::string::npos) << text.out;

  RunResult shown = runCli({"show", shortID});
  EXPECT_EQ(shown.exitCode, 0);
  EXPECT_EQ(shown.out.rfind("Camera\n", 0), 0u) << shown.out;
  EXPECT_NE(shown.out.find("ID:          " + id), std::string::npos) << shown.out;

  EXPECT_EQ(json(runCli({"search", "--json", "camera"})).arrayPtr()->size(), 1u);
  EXPECT_EQ(json(runCli({"search", "--json", "kamera"})).arrayPtr()->size(), 0u);

  RunResult archived = runCli({"archive", shortID});
  EXPECT_EQ(archived.exitCode, 0) << archived.err;
  EXPECT_EQ(json(runCli({"list", "--json"})).arrayPtr()->size(), 0u);
  const qby::Value archive = json(runCli({"list", "--archived", "--json"}));
  ASSERT_EQ(archive.arrayPtr()->size(), 1u);
  EXPECT_EQ(archive.arrayPtr()->front()["state"].asString(), "archived");

  RunResult deleted = runCli({"delete", id});
  EXPECT_EQ(deleted.exitCode, 0) << deleted.err;
  EXPECT_EQ(json(runCli({"list", "--all", "--json"})).arrayPtr()->size(), 0u);
  EXPECT_EQ(runCli({"show", id}).exitCode, kNotFound);
}

TEST(CliCommandTest, ServicesListsTheCatalogueWithItsFields) {
  const RunResult all = runCli({"services", "--json"});
  ASSERT_EQ(all.exitCode, 0) << all.err;
  EXPECT_GT(json(all).arrayPtr()->size(), 10u);

  const qby::Value postnl = json(runCli({"services", "--json", "postnl"}));
  ASSERT_EQ(postnl.arrayPtr()->size(), 1u);
  const qby::Value& service = postnl.arrayPtr()->front();
  EXPECT_EQ(service["key"].asString(), "www.postnl.nl");
  bool postcodeRequired = false;
  for (const auto& setting : *service["settings"].arrayPtr())
    if (setting["type"].asString() == "extra")
      postcodeRequired = setting["required"] == qby::Value(true);
  EXPECT_TRUE(postcodeRequired);
  EXPECT_EQ(json(runCli({"services", "--json", "no such carrier anywhere"})).arrayPtr()->size(),
            0u);
}

TEST(CliBadInputTest, ABadByteInANameNeverHidesTheList) {
  const RunResult added = runCli(
      {"add", "--json", "JJD000390007726468", "--service", "www.dhl.com", "--name", "bad\xffname"});
  ASSERT_EQ(added.exitCode, 0) << added.err;
  EXPECT_EQ(json(added)["name"].asString(), "bad\uFFFDname");
  const RunResult list = runCli({"list", "--json"});
  EXPECT_EQ(list.exitCode, 0) << list.err;
  ASSERT_TRUE(json(list).arrayPtr());
  EXPECT_EQ(json(list).arrayPtr()->size(), 1u);
  EXPECT_EQ(json(runCli({"show", "--json", "JJD000390007726468"}))["name"].asString(),
            "bad\uFFFDname");

  // A store an older version wrote with raw bytes reads as well.
  {
    qby::QBYDataStore store;
    ASSERT_TRUE(store.available());
    qby::QBYFetchRequest request;
    request.entityName = "Delivery";
    auto deliveries = store.viewContext()->executeFetchRequest(request)->allAs<qby::Delivery>();
    ASSERT_EQ(deliveries.size(), 1u);
    deliveries.front()->setName(std::string("raw\xfe\xffname"));
    ASSERT_TRUE(store.saveData());
  }
  const RunResult raw = runCli({"list", "--json"});
  EXPECT_EQ(raw.exitCode, 0) << raw.err;
  ASSERT_TRUE(json(raw).arrayPtr());
  EXPECT_EQ(json(raw).arrayPtr()->front()["name"].asString(), "raw\uFFFD\uFFFDname");
}

TEST(CliBadInputTest, OutputThatCannotBeWrittenIsAFailure) {
  ASSERT_EQ(runCli({"add", "1Z999AA10123456784", "--service", "www.ups.com"}).exitCode, 0);
  for (const auto& arguments : std::vector<std::vector<std::string>>{
           {"list", "--json"},
           {"list"},
           {"show", "1Z999AA10123456784"},
           {"services"},
           {"--version"},
           {"add", "--help"},
           {"add", "JJD000390007726468", "--service", "www.dhl.com"}}) {
    SCOPED_TRACE(arguments.front());
    const RunResult result = runCliWithOutput(arguments, "/dev/full");
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "porvane: write error: No space left on device\n");
  }
}

TEST(CliBadInputTest, TextWithoutARecognisedNumberIsRefusedWithoutATerminal) {
  RunResult result = runCli({"add", "call me at 555 123 4567 tomorrow"});
  EXPECT_EQ(result.exitCode, kValidation);
  EXPECT_NE(result.err.find("no tracking number recognised in “call me at"), std::string::npos)
      << result.err;
  // After "--" the option is text too, and the whole is no number.
  result = runCli({"add", "--", "-1Z999AA", "--service", "www.ups.com"});
  EXPECT_EQ(result.exitCode, kValidation) << result.err;
  expectRefused({"add", "--service", "www.ups.com", "--", "-1Z999AA"}, kValidation,
                "“-1Z999AA” is not a tracking number for UPS (www.ups.com)");
  expectRefused({"add", "--service", "www.ups.com", "call me at 555 123 4567 tomorrow"},
                kValidation, "is not a tracking number for UPS");
  EXPECT_EQ(storedDeliveries(), 0u);
  // With the service named, a plain number the recognition does not know is taken as given.
  result = runCli({"add", "--json", "--service", "www.ups.com", "AB12 345"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(json(result)["number"].asString(), "AB12 345");
}

TEST(CliBadInputTest, FieldsTheServiceDoesNotHaveAreRefused) {
  expectRefused({"add", "1Z999AA10123456784", "--service", "www.ups.com", "--extra", "12345"},
                kUsage, "UPS (www.ups.com) has no extra field, so --extra does not apply");
  expectRefused({"add", "1Z999AA10123456784", "--service", "www.ups.com", "--date", "2024-03-04"},
                kUsage, "has no date field");
  expectRefused({"add", "https://shop.example.org/orders/77", "--extra", "https://x.example"},
                kUsage, "give it as TEXT, not with --extra");
}

TEST(CliBadInputTest, HugeWordsAreCutInMessages) {
  const std::string id(100000, 'a');
  const RunResult result = runCli({"show", id});
  EXPECT_EQ(result.exitCode, kNotFound);
  EXPECT_EQ(result.err, "porvane show: no delivery with the ID or tracking number “" +
                            std::string(40, 'a') + "…”\n");
}

TEST(CliBadInputTest, HelpForEveryCommandAndNoArgumentsToTheProgramsOptions) {
  for (const char* command : {"add", "list", "show", "search", "update", "archive", "delete",
                              "services", "guess", "suggest"}) {
    SCOPED_TRACE(command);
    const RunResult result = runCli({command, "--help"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out.rfind(std::string("Usage: porvane ") + command, 0), 0u) << result.out;
    EXPECT_EQ(result.err, "");
  }
  // Text after "--" is never a request for help.
  EXPECT_EQ(runCli({"show", "--", "--help"}).exitCode, kNotFound);
  for (const char* option : {"--version", "--paths", "--help"}) {
    const RunResult result = runCli({option, "extra"});
    EXPECT_EQ(result.exitCode, kUsage) << option;
    EXPECT_EQ(result.out, "") << option;
  }
}

TEST(CliBadInputTest, AStoreThatCannotBeOpenedSaysWhichFileAndWhy) {
  ASSERT_EQ(runCli({"list"}).exitCode, 0);
  const auto file = qby::QBYDataStore::sharedContainerURL() / "Porvane.sqlite";
  for (const char* suffix : {"-wal", "-shm"}) std::filesystem::remove(file.string() + suffix);
  {
    std::ofstream damaged(file, std::ios::binary | std::ios::trunc);
    damaged << std::string(8192, 'x');
  }
  const RunResult result = runCli({"list"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.err, "porvane list: the delivery store " + file.string() +
                            " could not be opened: file is not a database\n");
}

TEST(CliCommandTest, ReAddingAnArchivedDeliveryRestoresIt) {
  ASSERT_EQ(runCli({"add", "00340434161094042557", "--service", "www.dhl.de", "--name",
                    "Gift for Mum", "--extra", "10115"})
                .exitCode,
            0);
  ASSERT_EQ(runCli({"archive", "00340434161094042557"}).exitCode, 0);
  RunResult restored = runCli({"add", "00340434161094042557"});
  EXPECT_EQ(restored.exitCode, 0) << restored.err;
  EXPECT_EQ(restored.out.rfind("Restored ", 0), 0u) << restored.out;
  qby::Value shown = json(runCli({"show", "--json", "00340434161094042557"}));
  EXPECT_EQ(shown["name"].asString(), "Gift for Mum");
  EXPECT_EQ(shown["extra"].asString(), "10115");
  EXPECT_EQ(shown["archived"], qby::Value(false));
  EXPECT_EQ(storedDeliveries(), 1u);

  // What the user passes replaces only that.
  ASSERT_EQ(runCli({"archive", "00340434161094042557"}).exitCode, 0);
  restored = runCli({"add", "--json", "00340434161094042557", "--name", "Gift for Dad"});
  EXPECT_EQ(restored.exitCode, 0) << restored.err;
  EXPECT_EQ(json(restored)["name"].asString(), "Gift for Dad");
  EXPECT_EQ(json(restored)["extra"].asString(), "10115");
}

TEST(CliCommandTest, NumbersAreFoundInTheFormTheyWereAddedAndNeverGuessed) {
  const qby::Value ups = json(runCli({"add", "--json", "--service", "www.ups.com", "AB12 345"}));
  const std::string id = ups["id"].asString().value_or("");
  ASSERT_FALSE(id.empty());
  const auto lower = [](std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  for (const std::string& word :
       {std::string("ab12345"), std::string("AB-12 345"), id, lower(id), lower(id.substr(0, 6))}) {
    const RunResult shown = runCli({"show", "--json", word});
    EXPECT_EQ(shown.exitCode, 0) << word << ": " << shown.err;
    EXPECT_EQ(json(shown)["id"].asString(), id) << word;
  }

  // The same number under a second service: naming it picks neither, changes neither.
  ASSERT_EQ(runCli({"add", "--service", "www.fedex.com", "AB12345"}).exitCode, 0);
  for (const char* command : {"show", "archive", "delete"}) {
    const RunResult result = runCli({command, "AB12345"});
    EXPECT_EQ(result.exitCode, kUsage) << command;
    EXPECT_NE(result.err.find("matches several deliveries"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("(www.fedex.com)"), std::string::npos) << result.err;
  }
  EXPECT_EQ(json(runCli({"list", "--json"})).arrayPtr()->size(), 2u);

  // A number that equals the beginning of another delivery's ID deletes nothing.
  const std::string prefix = id.substr(0, 8);
  if (std::any_of(prefix.begin(), prefix.end(), [](unsigned char c) { return std::isdigit(c); })) {
    ASSERT_EQ(runCli({"add", "--service", "www.dhl.com", prefix}).exitCode, 0);
    const RunResult deleted = runCli({"delete", prefix});
    EXPECT_EQ(deleted.exitCode, kUsage) << deleted.err;
    EXPECT_EQ(json(runCli({"list", "--json"})).arrayPtr()->size(), 3u);
  }
}

TEST(CliCommandTest, ANewDeliveryIsWaitingNotUpdating) {
  const qby::Value added =
      json(runCli({"add", "--json", "--service", "www.ups.com", "1Z999AA10123456784"}));
  EXPECT_EQ(added["state"].asString(), "pending");
  EXPECT_EQ(added["updating"], qby::Value(false));
  EXPECT_EQ(added["error"], qby::Value(false));
  EXPECT_EQ(added["due"], qby::Value(true));
  const RunResult shown = runCli({"show", "1Z999AA10123456784"});
  EXPECT_EQ(shown.out.find("Updating…"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("\nState:       pending\n"), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("\nNext update: due now\n"), std::string::npos) << shown.out;
}

TEST(CliCommandTest, ControlsInANameReachNoTerminal) {
  ASSERT_EQ(runCli({"add", "1Z999AA10123456784", "--service", "www.ups.com", "--name",
                    "\x1b[31mRED\nnext"})
                .exitCode,
            0);
  for (const char* command : {"list", "show"}) {
    const RunResult result =
        command == std::string("list") ? runCli({"list"}) : runCli({"show", "1Z999AA10123456784"});
    EXPECT_EQ(result.out.find('\x1b'), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("\\x1B[31mRED\\nnext"), std::string::npos) << result.out;
  }
  EXPECT_EQ(json(runCli({"list", "--json"})).arrayPtr()->front()["name"].asString(),
            "\x1b[31mRED\nnext");
}

TEST(CliCommandTest, ArchivingAnArchivedDeliveryAnswersAsBefore) {
  ASSERT_EQ(runCli({"add", "1Z999AA10123456784", "--service", "www.ups.com"}).exitCode, 0);
  const RunResult first = runCli({"archive", "--json", "1Z999AA10123456784"});
  const RunResult again = runCli({"archive", "--json", "1Z999AA10123456784"});
  EXPECT_EQ(again.exitCode, 0) << again.err;
  EXPECT_EQ(json(again), json(first));
  EXPECT_EQ(json(again)["archived"], qby::Value(true));
}

// The tool starts a manager of the main application's kind, but a page the browser handed to
// the application, or any other message waiting for it, stays for the application to take.
TEST(CliCommandTest, MessagesWaitingForTheApplicationAreLeftToIt) {
  auto channel = qby::MMWormholeFileTransiting::initWithApplicationGroupIdentifier(
      qby::QBYAppGroupID, std::string("Wormhole"));
  ASSERT_TRUE(channel);
  const qby::Value page(std::string(R"({"from":"www.ups.com","no":"1Z999AA10123456784"})"));
  ASSERT_TRUE(channel->writeMessageObject(page, qby::QBYWormholeActionNewDelivery));
  ASSERT_TRUE(
      channel->writeMessageObject(qby::Value(std::int64_t{3}), qby::QBYWormholeActionUpdateBadge));

  // An update starts the manager, which is what listens for messages.
  const RunResult updated = runCli({"update", "--json"});
  ASSERT_EQ(updated.exitCode, 0) << updated.err;

  EXPECT_EQ(channel->messageObjectForIdentifier(qby::QBYWormholeActionNewDelivery), page);
  EXPECT_EQ(channel->messageObjectForIdentifier(qby::QBYWormholeActionUpdateBadge),
            qby::Value(std::int64_t{3}));
}

}  // namespace
}  // namespace porvane::test
