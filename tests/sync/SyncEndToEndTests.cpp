// Two machines' worth of data kept in step through the real sync server: each "machine" is a
// PORVANE_HOME of its own driven through the porvane program, the server is porvane-server
// started as a child process on 127.0.0.1. The keyring is the test session's.
//
// The server keeps its data in SQLite, or, where PORVANE_TEST_POSTGRESQL names a throwaway
// cluster (tests/server/with-postgresql.sh, ctest entry sync_end_to_end_postgresql), in a
// PostgreSQL schema that each case creates empty and drops again.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <libsoup/soup.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <random>
#include <thread>

#include "SyncServerProcess.h"
#include "cli/CliProcess.h"
#include "platform/GLibPtr.h"
#include "platform/MainQueue.h"
#include "support/TestSupport.h"

namespace qby::test {
namespace {

using porvane::test::readText;
using porvane::test::runCli;
using porvane::test::RunResult;

class SyncEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = makeTempDir("sync-e2e");
    std::filesystem::create_directories(root / "server");
    std::filesystem::create_directories(root / "a");
    std::filesystem::create_directories(root / "b");
    // Short-lived login codes and a low lock-out limit, so both can be seen in a test.
    server = std::make_unique<SyncServer>(
        root / "server", "[accounts]\ncode-lifetime=2\n[limits]\nlogin-per-address=3\n");
    ASSERT_TRUE(server->start()) << server->log();
    if (server->storage().postgresql()) {
      ASSERT_EQ(server->storage().deliveryCount(), 0);
    }
    // One keyring serves every test of the session: each test has an address of its own.
    email = "user" + std::to_string(std::random_device()()) + "@example.org";
  }

  RunResult on(const char* machine, const std::vector<std::string>& arguments,
               const std::string& input = "") {
    return runCli(arguments, input, {{"PORVANE_HOME", (root / machine).string()}});
  }

  RunResult signIn(const char* machine, const std::string& password) {
    return on(machine, {"account", "sign-in", email, "--server", server->url(), "--password-stdin"},
              password + "\n");
  }

  void registerAndSignInBoth() {
    const auto registered = on("a",
                               {"account", "register", email, "--server", server->url(),
                                "--accept-terms", "--password-stdin"},
                               kPassword + std::string("\n"));
    ASSERT_EQ(registered.exitCode, 0) << registered.err;
    const auto second = signIn("b", kPassword);
    ASSERT_EQ(second.exitCode, 0) << second.err;
  }

  void sync(const char* machine) {
    const auto result = on(machine, {"sync", "--json"});
    ASSERT_EQ(result.exitCode, 0) << machine << ": " << result.out << result.err;
  }

  // The names of a machine's deliveries in a list ("--all" for the archive too).
  std::string names(const char* machine, const char* which = "--all") {
    std::vector<std::string> arguments{"list", "--json"};
    if (std::string(which) != "--active") arguments.push_back(which);
    const auto listed = on(machine, arguments);
    EXPECT_EQ(listed.exitCode, 0) << listed.err;
    return listed.out;
  }

  static constexpr const char* kPassword = "correct horse 42";
  std::filesystem::path root;
  std::unique_ptr<SyncServer> server;
  std::string email;
};

TEST_F(SyncEndToEndTest, AddArchiveAndDeleteTravelAndTheServerRestartLosesNothing) {
  registerAndSignInBoth();
  ASSERT_EQ(on("a", {"add", "1Z999AA10123456784", "--name", "Boots from A"}).exitCode, 0);
  sync("a");
  sync("b");
  EXPECT_NE(names("b").find("Boots from A"), std::string::npos) << names("b");
  if (server->storage().postgresql()) {
    // The delivery went through the case's own schema, not a file beside the server.
    EXPECT_EQ(server->storage().deliveryCount(), 1);
    EXPECT_FALSE(std::filesystem::exists(root / "server" / "porvane-server.db"));
  }

  // A restart between two requests keeps every account and delivery.
  server->stop();
  ASSERT_TRUE(server->start());
  ASSERT_EQ(on("b", {"add", "1Z12345E6605272234", "--name", "Lamp from B"}).exitCode, 0);
  sync("b");
  sync("a");
  EXPECT_NE(names("a").find("Lamp from B"), std::string::npos) << names("a");

  // Archiving on one machine takes the delivery off the other's active list.
  ASSERT_EQ(on("a", {"archive", "1Z999AA10123456784"}).exitCode, 0);
  sync("a");
  sync("b");
  EXPECT_EQ(names("b", "--active").find("Boots from A"), std::string::npos) << names("b");
  EXPECT_NE(names("b", "--active").find("Lamp from B"), std::string::npos);

  // Deleting does too.
  ASSERT_EQ(on("b", {"delete", "1Z12345E6605272234"}).exitCode, 0);
  sync("b");
  sync("a");
  EXPECT_EQ(names("a", "--active").find("Lamp from B"), std::string::npos) << names("a");
}

TEST_F(SyncEndToEndTest, ChangesMadeOnBothWhileOfflineAreBothKept) {
  registerAndSignInBoth();
  server->stop();
  ASSERT_EQ(on("a", {"add", "1Z999AA10123456784", "--name", "Offline A"}).exitCode, 0);
  ASSERT_EQ(on("b", {"add", "1Z12345E6605272234", "--name", "Offline B"}).exitCode, 0);
  // With the server away a sync fails, says so, and keeps the change queued.
  const auto offline = on("a", {"sync", "--json"});
  EXPECT_EQ(offline.exitCode, 1);
  EXPECT_NE(offline.out.find("\"result\": \"failed\""), std::string::npos) << offline.out;
  EXPECT_EQ(offline.out.find("\"queued\": 0"), std::string::npos) << offline.out;

  ASSERT_TRUE(server->start());
  sync("a");
  sync("b");
  sync("a");
  for (const char* machine : {"a", "b"}) {
    const std::string listed = names(machine);
    EXPECT_NE(listed.find("Offline A"), std::string::npos) << machine << listed;
    EXPECT_NE(listed.find("Offline B"), std::string::npos) << machine << listed;
  }
}

TEST_F(SyncEndToEndTest, WrongPasswordLockOutAndExpiredLoginCode) {
  const auto registered = on("a",
                             {"account", "register", email, "--server", server->url(),
                              "--accept-terms", "--password-stdin"},
                             kPassword + std::string("\n"));
  ASSERT_EQ(registered.exitCode, 0) << registered.err;

  const auto wrong = signIn("b", "not the password");
  EXPECT_EQ(wrong.exitCode, 1);
  EXPECT_NE(wrong.err.find("The e-mail address or password is incorrect."), std::string::npos)
      << wrong.err;
  const auto status = on("b", {"account", "status", "--json"});
  EXPECT_NE(status.out.find("\"signedIn\": false"), std::string::npos) << status.out;

  // The login code handed out at registration expires; the next sync falls back to the
  // password and succeeds.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  sync("a");

  for (int i = 0; i < 3; ++i) signIn("b", "still wrong");
  const auto locked = signIn("b", kPassword);
  EXPECT_EQ(locked.exitCode, 1);
  EXPECT_NE(locked.err.find("Too many failed sign-in attempts"), std::string::npos) << locked.err;
  // Passwords never reach the server's log.
  EXPECT_EQ(server->log().find(kPassword), std::string::npos);
  EXPECT_EQ(server->log().find("still wrong"), std::string::npos);
}

TEST_F(SyncEndToEndTest, TroubleshootingReportReachesTheServerOrSaysItCouldNot) {
  const auto registered = on("a",
                             {"account", "register", email, "--server", server->url(),
                              "--accept-terms", "--password-stdin"},
                             kPassword + std::string("\n"));
  ASSERT_EQ(registered.exitCode, 0) << registered.err;
  ASSERT_EQ(on("a", {"add", "1Z999AA10123456784", "--name", "Boots"}).exitCode, 0);

  const auto sent = on("a", {"troubleshoot", "1Z999AA10123456784", "--comments",
                             "stuck since Monday", "--send", "--json"});
  ASSERT_EQ(sent.exitCode, 0) << sent.out << sent.err;
  EXPECT_NE(sent.out.find("\"sent\": true"), std::string::npos) << sent.out;
  EXPECT_NE(sent.out.find("\"no\": \"1Z999AA10123456784\""), std::string::npos) << sent.out;
  EXPECT_NE(sent.out.find("\"comments\": \"stuck since Monday\""), std::string::npos);

  server->stop();
  const auto unsent = on("a", {"troubleshoot", "1Z999AA10123456784", "--send"});
  EXPECT_EQ(unsent.exitCode, 1);
  EXPECT_NE(unsent.err.find("Unable to send report"), std::string::npos) << unsent.err;
}

// A delivery whose name is far longer than this program lets anyone type (another client put it
// on the server) and a server whose administrator then lowers the body limit to its smallest:
// the machine that changes the delivery again sends it cut to what every server accepts, so
// it is neither refused for good nor left at the head of the queue, and the change after it
// arrives too. (Sent whole, the change would be refused on every sync.)
TEST_F(SyncEndToEndTest, AHugeChangeTravelsCutAndTheQueueMovesOn) {
  registerAndSignInBoth();
  const std::string huge(150 * 1024, 'N');
  char* address = g_uri_escape_string(email.c_str(), nullptr, FALSE);
  const std::string body = "cmd=add&modified=" + std::to_string(std::time(nullptr) - 3600) +
                           ".000000&uuid=E2E-HUGE-1&from=www.ups.com&name=" + huge +
                           "&no=1Z999AA10123456784&extra=&date=&email=" + address +
                           "&password=correct%20horse%2042&updated=0";
  g_free(address);
  const std::string stored = server->post("/sync/porvane/xml.php", body);
  ASSERT_NE(stored.find("<success value=\"true\""), std::string::npos) << stored;
  sync("a");
  ASSERT_NE(names("a").find(huge), std::string::npos);

  server->stop();
  server->configure("[limits]\nmax-body=65536\n");
  ASSERT_TRUE(server->start()) << server->log();
  ASSERT_EQ(on("a", {"archive", "1Z999AA10123456784"}).exitCode, 0);
  const auto restored = on("a", {"add", "1Z999AA10123456784"});
  ASSERT_EQ(restored.exitCode, 0) << restored.err;
  ASSERT_EQ(on("a", {"add", "1Z12345E6605272234", "--name", "After the big one"}).exitCode, 0);
  const auto sent = on("a", {"sync", "--json"});
  ASSERT_EQ(sent.exitCode, 0) << sent.out << sent.err;
  EXPECT_NE(sent.out.find("\"queued\": 0"), std::string::npos) << sent.out;
  sync("b");
  const std::string listed = names("b");
  EXPECT_NE(listed.find("After the big one"), std::string::npos) << listed.substr(0, 300);
  EXPECT_NE(listed.find("\"" + std::string(8192, 'N') + "\""), std::string::npos);
  // The server's answer brings the cut name back to the machine that sent it, so both agree.
  EXPECT_NE(names("a").find("\"" + std::string(8192, 'N') + "\""), std::string::npos);
}

// What the server refuses as too large is answered in the reply the client reads: the user
// sees the server's message, not a connection problem.
TEST_F(SyncEndToEndTest, ARequestTheServerRefusesAsTooLargeShowsItsMessage) {
  std::filesystem::create_directories(root / "strict");
  SyncServer strict(root / "strict", "[limits]\nmax-body=65536\n");
  ASSERT_TRUE(strict.start()) << strict.log();
  const std::string longPassword(70000, 'p');
  const auto refused = on("a",
                          {"account", "register", email, "--server", strict.url(), "--accept-terms",
                           "--password-stdin"},
                          longPassword + "\n");
  EXPECT_EQ(refused.exitCode, 1) << refused.out << refused.err;
  EXPECT_NE(refused.err.find("The request is too large."), std::string::npos) << refused.err;
  EXPECT_EQ(refused.err.find("connect"), std::string::npos) << refused.err;
}

// A full account keeps syncing: the change over the quota stays on its machine, the user is
// told why, and the changes after it still travel.
TEST_F(SyncEndToEndTest, AFullAccountSaysSoAndKeepsSyncing) {
  server->stop();
  server->configure("[accounts]\nquota=1\n");
  ASSERT_TRUE(server->start()) << server->log();
  registerAndSignInBoth();
  ASSERT_EQ(on("a", {"add", "1Z999AA10123456784", "--name", "First"}).exitCode, 0);
  sync("a");
  // Added while the server is away, so that the change goes out with the sync command.
  server->stop();
  ASSERT_EQ(on("a", {"add", "1Z12345E6605272234", "--name", "Over the quota"}).exitCode, 0);
  ASSERT_TRUE(server->start()) << server->log();
  const auto full = on("a", {"sync", "--json"});
  EXPECT_EQ(full.exitCode, 0) << full.out << full.err;
  EXPECT_NE(full.out.find("most deliveries it may (1)"), std::string::npos) << full.out;
  EXPECT_NE(full.out.find("\"queued\": 0"), std::string::npos) << full.out;
  const auto status = on("a", {"account", "status", "--json"});
  EXPECT_NE(status.out.find("\"signedIn\": true"), std::string::npos) << status.out;
  EXPECT_NE(names("a").find("Over the quota"), std::string::npos);

  // The other machine gets what the account holds, and nothing over the quota.
  sync("b");
  const std::string listed = names("b");
  EXPECT_NE(listed.find("First"), std::string::npos) << listed;
  EXPECT_EQ(listed.find("Over the quota"), std::string::npos) << listed;
}

TEST_F(SyncEndToEndTest, SignOutTellsTheServerAndForgetsTheAccount) {
  registerAndSignInBoth();
  const auto out = on("b", {"account", "sign-out", "--json"});
  ASSERT_EQ(out.exitCode, 0) << out.err;
  EXPECT_NE(out.out.find("\"signed-out\""), std::string::npos) << out.out;
  const auto status = on("b", {"account", "status", "--json"});
  EXPECT_NE(status.out.find("\"signedIn\": false"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("\"email\": null"), std::string::npos) << status.out;
  EXPECT_EQ(on("b", {"sync"}).exitCode, 1);
}

// The server offers a services file whose signature does not verify (as after tampering on
// the way): the client considers the offer and installs nothing.
TEST(SyncUpdateOfferTest, AnOfferThatDoesNotVerifyIsNotInstalled) {
  const auto root = makeTempDir("sync-offer");
  std::filesystem::create_directories(root / "server");
  std::filesystem::create_directories(root / "home");
  constexpr const char* kMarker = "tampered-services-marker-4711";
  writeFile(root / "server" / "Services.js", std::string("// ") + kMarker + "\n");
  writeFile(root / "server" / "Services.sig", std::string(344, 'A'));
  SyncServer server(root / "server",
                    "[updates]\nservices-file=" + (root / "server" / "Services.js").string() +
                        "\nsignature-file=" + (root / "server" / "Services.sig").string() +
                        "\nversion=999999\n");
  ASSERT_TRUE(server.start());
  const std::map<std::string, std::string> environment{{"PORVANE_HOME", (root / "home").string()},
                                                       {"PORVANE_LOG", "1"}};
  // A sign-in to an account that does not exist leaves the server address; a fresh home
  // asks that server for service updates when its manager starts.
  runCli({"account", "sign-in", "nobody@example.org", "--server", server.url(), "--password-stdin"},
         "whatever\n", environment);
  const auto run = runCli({"update", "--force"}, "", environment);
  EXPECT_NE(run.err.find("New service update available"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("Verifying service update with signature"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("Installed service update verified"), std::string::npos) << run.err;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root / "home")) {
    if (!entry.is_regular_file()) continue;
    EXPECT_EQ(readText(entry.path()).find(kMarker), std::string::npos) << entry.path();
  }
}

TEST_F(SyncEndToEndTest, AddressesThatWouldSendThePasswordInClearAreRefused) {
  const auto refused = on(
      "a", {"account", "sign-in", email, "--server", "http://sync.example.org", "--password-stdin"},
      "secret\n");
  EXPECT_EQ(refused.exitCode, 64);
  EXPECT_NE(refused.err.find("https://"), std::string::npos) << refused.err;
  const auto asArgument =
      on("a", {"account", "sign-in", email, "--server", server->url(), "--password", "secret"});
  EXPECT_EQ(asArgument.exitCode, 64);
}

}  // namespace
}  // namespace qby::test
