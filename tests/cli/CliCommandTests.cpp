// The porvane program as a user runs it, without the network: bad input is refused with the
// right message and exit code and leaves the store untouched; the commands that read and
// change deliveries work on the shared store.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CliProcess.h"
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
  // Saved for an update at once.
  EXPECT_TRUE(delivery["updating"].asBool().value_or(false));

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

}  // namespace
}  // namespace porvane::test
