// Several processes on one store file: concurrent writers lose nothing and never see "database
// is locked"; a process killed in the middle of a save leaves the file all-or-nothing.
//
// The other process is this test program started again (posix_spawn) with a filter that runs
// only MultiProcessChild.Run and an environment variable that names its role.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "StoreTestSupport.h"
#include "support/TestSupport.h"

extern char** environ;

namespace qby::test {
namespace {

constexpr const char* kRole = "QBY_STORE_CHILD_ROLE";
constexpr const char* kFile = "QBY_STORE_CHILD_FILE";
constexpr const char* kReport = "QBY_STORE_CHILD_REPORT";
constexpr int kWrites = 150;
constexpr int kLargeSave = 20000;

pid_t spawnChild(const std::string& role, const std::filesystem::path& file,
                 const std::filesystem::path& report) {
  std::vector<std::string> variables;
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view text(*entry);
    if (text.starts_with(kRole) || text.starts_with(kFile) || text.starts_with(kReport)) continue;
    variables.emplace_back(text);
  }
  variables.push_back(std::string(kRole) + "=" + role);
  variables.push_back(std::string(kFile) + "=" + file.string());
  variables.push_back(std::string(kReport) + "=" + report.string());
  std::vector<char*> envp;
  for (auto& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);

  std::string program = "/proc/self/exe";
  std::string filter = "--gtest_filter=MultiProcessChild.Run";
  std::vector<char*> argv = {program.data(), filter.data(), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), envp.data());
  EXPECT_EQ(rc, 0) << strerror(rc);
  return rc == 0 ? pid : -1;
}

int waitForExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// One side of the concurrent-writers test: inserts parcels named "<side>-<n>", each in a save
// of its own, and marks every parcel of the other side it sees with its own field ("number"
// for the parent, "weight" for the child). Answers the row ids it marked.
// Both sides say they are ready and wait for each other, so their writes overlap.
std::set<std::int64_t> writeConcurrently(const std::filesystem::path& file, const std::string& side,
                                         const std::filesystem::path& ready,
                                         const std::filesystem::path& otherReady,
                                         std::string* failure) {
  std::set<std::int64_t> marked;
  auto store = QBYPersistentStore::open(file, shopModel());
  if (!store) {
    *failure = "open failed";
    return marked;
  }
  QBYManagedObjectContext context(store, QBYConcurrencyType::PrivateQueue);
  const std::string other = side == "parent" ? "child" : "parent";
  const std::string field = side == "parent" ? "number" : "weight";
  auto markOtherSide = [&] {
    context.refreshAllObjects();
    for (auto& parcel : fetchAll(context, "Parcel", "t.name LIKE ? AND t." + field + " IS NULL",
                                 {Value(other + "-%")})) {
      parcel->set(field, 1);
      marked.insert(parcel->objectID().rowID);
    }
  };
  { std::ofstream(ready) << "ready\n"; }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!std::filesystem::exists(otherReady) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  context.performAndWait([&] {
    for (int i = 0; i < kWrites && failure->empty(); ++i) {
      insert(context, "Parcel")->set("name", side + "-" + std::to_string(i));
      if (i % 5 == 0) markOtherSide();
      QBYError error;
      if (!context.save(&error)) *failure = "save failed: " + error.description();
    }
  });
  // However the two sides were scheduled, each finally marks every row of the other: say this
  // side is done, wait for the other, then mark and save once more.
  { std::ofstream(ready.string() + ".done") << "done\n"; }
  const auto doneDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (!std::filesystem::exists(otherReady.string() + ".done") &&
         std::chrono::steady_clock::now() < doneDeadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  context.performAndWait([&] {
    markOtherSide();
    QBYError error;
    if (failure->empty() && !context.save(&error)) *failure = "save failed: " + error.description();
  });
  return marked;
}

TEST(MultiProcessChild, Run) {
  const char* role = std::getenv(kRole);
  if (!role) GTEST_SKIP() << "runs only as the child of a multi-process test";
  const std::filesystem::path file = std::getenv(kFile);
  const std::filesystem::path report = std::getenv(kReport);

  if (std::string_view(role) == "writer") {
    std::string failure;
    auto marked = writeConcurrently(file, "child", report.string() + ".ready",
                                    report.string() + ".parent-ready", &failure);
    std::ofstream out(report);
    out << (failure.empty() ? "ok" : failure) << "\n";
    for (auto rowID : marked) out << rowID << "\n";
    ASSERT_TRUE(failure.empty()) << failure;
  } else if (std::string_view(role) == "victim") {
    auto store = QBYPersistentStore::open(file, shopModel());
    ASSERT_TRUE(store);
    QBYManagedObjectContext context(store, QBYConcurrencyType::MainQueue);
    for (int i = 0; i < kLargeSave; ++i) {
      auto parcel = insert(context, "Parcel");
      parcel->set("name", "victim " + std::to_string(i));
      parcel->set("number", i);
      if (i % 4 == 0) insert(context, "Line")->setOne("parcel", parcel);
    }
    { std::ofstream(report) << "saving\n"; }
    QBYError error;
    ASSERT_TRUE(context.save(&error)) << error.description();
  }
}

TEST(MultiProcess, ConcurrentWritersLoseNothing) {
  const auto folder = makeTempDir("multi");
  const auto file = folder / "Shared.sqlite";
  ASSERT_TRUE(openShop(file));  // created (and migrated) before both sides start
  const auto report = folder / "child-report.txt";

  const pid_t child = spawnChild("writer", file, report);
  ASSERT_GT(child, 0);
  std::string failure;
  const auto parentMarked = writeConcurrently(file, "parent", report.string() + ".parent-ready",
                                              report.string() + ".ready", &failure);
  EXPECT_TRUE(failure.empty()) << failure;
  const int status = waitForExit(child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);

  std::ifstream in(report);
  std::string first;
  std::getline(in, first);
  EXPECT_EQ(first, "ok");  // the child's saves all succeeded: no "database is locked"
  std::set<std::int64_t> childMarked;
  for (std::string line; std::getline(in, line);) childMarked.insert(std::stoll(line));

  auto store = openShop(file);
  QBYManagedObjectContext context(store, QBYConcurrencyType::MainQueue);
  EXPECT_EQ(countOf(context, "Parcel", "t.name LIKE 'parent-%'"),
            static_cast<std::size_t>(kWrites));
  EXPECT_EQ(countOf(context, "Parcel", "t.name LIKE 'child-%'"), static_cast<std::size_t>(kWrites));
  // Every mark either side made survived the other side's saves of the same rows.
  for (auto rowID : parentMarked) {
    EXPECT_EQ(queryText(file, "SELECT number FROM Parcel WHERE Z_PK = " + std::to_string(rowID)),
              "1");
  }
  for (auto rowID : childMarked) {
    EXPECT_EQ(queryText(file, "SELECT weight FROM Parcel WHERE Z_PK = " + std::to_string(rowID)),
              "1.0");
  }
  EXPECT_FALSE(parentMarked.empty());
  EXPECT_FALSE(childMarked.empty());
  EXPECT_EQ(queryText(file, "PRAGMA integrity_check"), "ok");
  std::cout << "parent marked " << parentMarked.size() << " child parcels, child marked "
            << childMarked.size() << " parent parcels\n";
}

TEST(MultiProcess, AProcessKilledWhileSavingLeavesAllOrNothing) {
  const auto folder = makeTempDir("kill");
  const auto file = folder / "Killed.sqlite";
  ASSERT_TRUE(openShop(file));
  std::mt19937 random(std::random_device{}());
  std::size_t saved = 0;
  std::vector<std::string> outcomes;
  for (int round = 0; round < 4; ++round) {
    const auto marker = folder / ("marker-" + std::to_string(round));
    const pid_t child = spawnChild("victim", file, marker);
    ASSERT_GT(child, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!std::filesystem::exists(marker) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_TRUE(std::filesystem::exists(marker)) << "the child never started its save";
    // Early, middle and late in the save: the last rounds may let it finish.
    static constexpr int kDelayRange[][2] = {{0, 100}, {100, 600}, {600, 2000}, {2000, 5000}};
    const int low = kDelayRange[round][0];
    const int high = kDelayRange[round][1];
    std::this_thread::sleep_for(
        std::chrono::milliseconds(low + static_cast<int>(random() % (high - low))));
    kill(child, SIGKILL);
    const int status = waitForExit(child);

    auto store = openShop(file);
    ASSERT_TRUE(store);
    QBYManagedObjectContext context(store, QBYConcurrencyType::MainQueue);
    const std::size_t parcels = countOf(context, "Parcel");
    EXPECT_EQ(parcels % kLargeSave, 0u) << "a partial save is visible: " << parcels;
    EXPECT_EQ(countOf(context, "Line"), parcels / 4);
    EXPECT_GE(parcels, saved);
    saved = parcels;
    EXPECT_EQ(queryText(file, "PRAGMA integrity_check"), "ok");
    outcomes.push_back(WIFSIGNALED(status) ? "killed, " + std::to_string(parcels) + " rows"
                                           : "finished, " + std::to_string(parcels) + " rows");
  }
  for (auto& outcome : outcomes) std::cout << outcome << "\n";
}

}  // namespace
}  // namespace qby::test
