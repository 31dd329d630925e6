// The program's file log and the login-item command, run as a user runs them: the log gets
// the framework's lines while the terminal keeps the tool's own, and the login item is set,
// told and removed with the right exit codes.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "CliProcess.h"
#include "manager/QBYBackgroundUpdater.h"
#include "platform/Paths.h"
#include "platform/QBYUserDefaults.h"
#include "platform/Value.h"
#include "support/TestSupport.h"

namespace porvane::test {
namespace {

namespace fs = std::filesystem;

fs::path logFile() {
  return qby::Paths::sharedContainer() / "Logs" / "porvane.log";
}

qby::Value json(const RunResult& result) {
  auto value = qby::Value::fromJSON(result.out);
  EXPECT_TRUE(value) << result.out << result.err;
  return value.value_or(qby::Value());
}

TEST(CliLogTest, WithLoggingOnTheProgramWritesItsOwnLogAndLeavesItsOutputAlone) {
  ASSERT_TRUE(qby::QBYUserDefaults::sharedDefaults().setBool(true, "QBYLogEnabled"));
  const RunResult result = runCli({"list", "--json"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_EQ(result.out, "[]\n");
  EXPECT_EQ(result.err, "");

  const auto log = qby::Paths::readFile(logFile());
  ASSERT_TRUE(log) << "no " << logFile();
  EXPECT_EQ(log->rfind("porvane ", 0), 0u) << *log;
  EXPECT_NE(log->find("\nVendor ID: "), std::string::npos) << *log;
  const auto header = log->find("\n\n");
  ASSERT_NE(header, std::string::npos);

  // The framework's lines of a run that starts the manager follow the header; the machine
  // reads standard output as before.
  const RunResult added = runCli({"add", "1Z999AA10123456784", "--json"});
  EXPECT_EQ(added.exitCode, 0) << added.err;
  EXPECT_TRUE(qby::Value::fromJSON(added.out)) << added.out;
  EXPECT_EQ(added.err, "");
  EXPECT_GT(qby::Paths::readFile(logFile())->size(), header + 2);

  // The tool's own messages stay on the terminal, not in the file.
  const RunResult missing = runCli({"show", "nothing-like-this"});
  EXPECT_EQ(missing.exitCode, 66);
  EXPECT_NE(missing.err.find("porvane show: "), std::string::npos);
  EXPECT_EQ(qby::Paths::readFile(logFile())->find("porvane show: "), std::string::npos);
}

TEST(CliLogTest, WithLoggingOffNoLogIsWritten) {
  const RunResult result = runCli({"list", "--json"});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_FALSE(fs::exists(logFile()));
}

TEST(CliLoginItemTest, SetsTellsAndRemovesTheLoginItem) {
  const fs::path item = qby::QBYBackgroundUpdater::loginItemPath();
  RunResult status = runCli({"login-item", "status", "--json"});
  ASSERT_EQ(status.exitCode, 0) << status.err;
  EXPECT_EQ(json(status)["enabled"], qby::Value(false));
  EXPECT_EQ(json(status)["path"], qby::Value(item.string()));

  const RunResult on = runCli({"login-item", "on", "--json"});
  ASSERT_EQ(on.exitCode, 0) << on.err;
  EXPECT_EQ(json(on)["enabled"], qby::Value(true));
  EXPECT_TRUE(fs::is_regular_file(item));

  // Removing twice: the second has nothing to do and still succeeds.
  for (int i = 0; i < 2; ++i) {
    const RunResult off = runCli({"login-item", "off"});
    EXPECT_EQ(off.exitCode, 0) << off.err;
    EXPECT_NE(off.out.find("does not start at login"), std::string::npos) << off.out;
  }
  EXPECT_FALSE(fs::exists(item));
}

TEST(CliLoginItemTest, AWrongWordIsAUsageError) {
  for (const auto& words : std::vector<std::vector<std::string>>{
           {"login-item"}, {"login-item", "maybe"}, {"login-item", "on", "off"}}) {
    const RunResult result = runCli(words);
    EXPECT_EQ(result.exitCode, 64);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("porvane login-item: ", 0), 0u) << result.err;
  }
}

TEST(CliLoginItemTest, AnEntryThatCannotBeWrittenIsAFailureWithItsReason) {
  const fs::path folder = qby::QBYBackgroundUpdater::loginItemPath().parent_path();
  qby::test::writeFile(folder, "a file where the folder should be");
  const RunResult result = runCli({"login-item", "on", "--json"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err.rfind("porvane login-item: could not set the login item: ", 0), 0u)
      << result.err;
  EXPECT_TRUE(fs::is_regular_file(folder));
}

}  // namespace
}  // namespace porvane::test
