#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/Resources.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

// Points standard error at a file while it lives.
class StderrToFile {
 public:
  explicit StderrToFile(const std::filesystem::path& file) {
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    FILE* f = std::fopen(file.c_str(), "w");
    dup2(fileno(f), STDERR_FILENO);
    std::fclose(f);
  }
  ~StderrToFile() {
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

std::vector<std::string> readLines(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(Log, FormatsWithObjectPlaceholdersAndReachesObservers) {
  test::LogCapture capture;
  log("Error saving changes: %@ %@", std::string("disk full"), std::optional<std::string>());
  log("Database is missing but previous version was %lu", 42ul);
  ASSERT_EQ(capture.lines().size(), 2u);
  EXPECT_EQ(capture.lines()[0], "Error saving changes: disk full (null)");
  EXPECT_EQ(capture.lines()[1], "Database is missing but previous version was 42");
}

TEST(Log, ObserverStopsReceivingWhenDestroyed) {
  test::LogCapture outer;
  {
    test::LogCapture inner;
    logLine("both");
    EXPECT_EQ(inner.lines().size(), 1u);
  }
  logLine("outer only");
  EXPECT_EQ(outer.lines(), (std::vector<std::string>{"both", "outer only"}));
}

TEST(Log, LinesFromManyThreadsStayWhole) {
  const auto file = test::makeTempDir("log") / "stderr.txt";
  constexpr int kThreads = 8;
  constexpr int kLines = 500;
  const std::string filler(300, 'x');
  {
    StderrToFile redirect(file);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        for (int i = 0; i < kLines; ++i) log("thread %d line %d %@", t, i, filler);
      });
    for (auto& thread : threads) thread.join();
  }
  const auto lines = readLines(file);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  for (const auto& line : lines) {
    ASSERT_EQ(line.rfind("thread ", 0), 0u) << line;
    ASSERT_EQ(line.substr(line.size() - filler.size()), filler) << line;
  }
}

TEST(Resources, FindsFilesInTheOverrideFolderAndRefusesPathsOutsideIt) {
  const auto folder = test::makeTempDir("resources");
  test::writeFile(folder / "scripts" / "Sample.js", "var a = 1;");
  setenv("PORVANE_RESOURCE_DIR", folder.c_str(), 1);
  const auto found = Resources::pathForResource("Sample", "js", "scripts");
  ASSERT_TRUE(found);
  EXPECT_EQ(*found, folder / "scripts" / "Sample.js");
  EXPECT_FALSE(Resources::pathForResource("Missing", "js", "scripts"));
  EXPECT_FALSE(Resources::pathForResource("", "js", "scripts"));
  EXPECT_FALSE(Resources::pathForResource("../scripts/Sample", "js", "scripts"));
  unsetenv("PORVANE_RESOURCE_DIR");
}

TEST(Localization, UntranslatedTextsComeBackUnchanged) {
  EXPECT_EQ(QBYLocalizedString("a moment ago"), "a moment ago");
  EXPECT_EQ(QBYLocalizedString("Updated %@"), "Updated %@");
  EXPECT_EQ(QBYLocalizedString(""), "");
}

}  // namespace
}  // namespace qby
