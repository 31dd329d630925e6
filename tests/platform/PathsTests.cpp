#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/Paths.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

namespace fs = std::filesystem;

// Sets (or clears) an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value->c_str(), 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Paths, PorvaneHomeHoldsEveryLocationAndTheFoldersAreCreatedPrivate) {
  const fs::path home = test::makeTempDir("layout");
  ScopedEnv portable("PORVANE_HOME", home.string());

  EXPECT_EQ(Paths::sharedContainer(), home / "data" / "porvane");
  EXPECT_EQ(Paths::privateContainer(), home / "config" / "porvane");
  EXPECT_EQ(Paths::sharedCaches(), home / "cache" / "porvane" / "shared");
  EXPECT_EQ(Paths::caches(), home / "cache" / "porvane" / "local");
  EXPECT_EQ(Paths::logs(), home / "data" / "porvane" / "Logs");
  for (const fs::path& folder :
       {home / "data", home / "data" / "porvane", home / "config" / "porvane",
        home / "cache" / "porvane" / "shared", home / "cache" / "porvane" / "local",
        home / "data" / "porvane" / "Logs"}) {
    EXPECT_TRUE(fs::is_directory(folder)) << folder;
    EXPECT_EQ(modeOf(folder), 0700u) << folder;
  }
}

TEST(Paths, TheEnvironmentIsReadOnEveryCall) {
  const fs::path first = test::makeTempDir("first");
  const fs::path second = test::makeTempDir("second");
  {
    ScopedEnv portable("PORVANE_HOME", first.string());
    EXPECT_EQ(Paths::sharedContainer(), first / "data" / "porvane");
  }
  ScopedEnv portable("PORVANE_HOME", second.string());
  EXPECT_EQ(Paths::sharedContainer(), second / "data" / "porvane");
}

TEST(Paths, WithoutPorvaneHomeTheXdgFoldersAndTheirFallbacksAreUsed) {
  const fs::path root = test::makeTempDir("xdg");
  ScopedEnv noPortable("PORVANE_HOME", std::nullopt);
  ScopedEnv home("HOME", (root / "home").string());
  {
    ScopedEnv data("XDG_DATA_HOME", (root / "data").string());
    ScopedEnv config("XDG_CONFIG_HOME", (root / "config").string());
    ScopedEnv cache("XDG_CACHE_HOME", (root / "cache").string());
    EXPECT_EQ(Paths::sharedContainer(), root / "data" / "porvane");
    EXPECT_EQ(Paths::privateContainer(), root / "config" / "porvane");
    EXPECT_EQ(Paths::sharedCaches(), root / "cache" / "porvane" / "shared");
  }
  ScopedEnv data("XDG_DATA_HOME", std::nullopt);
  ScopedEnv config("XDG_CONFIG_HOME", "relative/config");  // relative values are ignored
  ScopedEnv cache("XDG_CACHE_HOME", "");
  EXPECT_EQ(Paths::sharedContainer(), root / "home" / ".local" / "share" / "porvane");
  EXPECT_EQ(Paths::privateContainer(), root / "home" / ".config" / "porvane");
  EXPECT_EQ(Paths::caches(), root / "home" / ".cache" / "porvane" / "local");
  EXPECT_FALSE(fs::exists("relative"));
}

TEST(Paths, EnsureDirectoryMakesParentsAndRefusesAFileInTheWay) {
  const fs::path root = test::makeTempDir("ensure");
  EXPECT_TRUE(Paths::ensureDirectory(root / "a" / "b" / "c"));
  EXPECT_TRUE(fs::is_directory(root / "a" / "b" / "c"));
  EXPECT_EQ(modeOf(root / "a"), 0700u);
  EXPECT_TRUE(Paths::ensureDirectory(root / "a" / "b"));  // existing is fine

  test::writeFile(root / "file", "x");
  EXPECT_FALSE(Paths::ensureDirectory(root / "file"));
  EXPECT_FALSE(Paths::ensureDirectory(root / "file" / "below"));
  EXPECT_FALSE(Paths::ensureDirectory(""));
}

TEST(Paths, AtomicWriteReplacesTheFileAndLeavesNothingElse) {
  const fs::path root = test::makeTempDir("atomic");
  const fs::path target = root / "settings.plist";
  std::string error;
  ASSERT_TRUE(Paths::writeFileAtomically(target, "first", &error)) << error;
  EXPECT_EQ(modeOf(target), 0600u);
  ::chmod(target.c_str(), 0644);

  const std::string binary("a\0b\xff", 4);
  ASSERT_TRUE(Paths::writeFileAtomically(target, binary, &error)) << error;
  EXPECT_EQ(Paths::readFile(target), binary);
  EXPECT_EQ(modeOf(target), 0644u);  // a replaced file keeps its permissions
  EXPECT_EQ(namesIn(root), std::vector<std::string>{"settings.plist"});

  ASSERT_TRUE(Paths::writeFileAtomically(target, "", &error)) << error;
  EXPECT_EQ(Paths::readFile(target), "");
}

TEST(Paths, AtomicWriteFailsWhenTheFolderIsAFile) {
  const fs::path root = test::makeTempDir("atomic-parent");
  test::writeFile(root / "notafolder", "keep");
  std::string error;
  EXPECT_FALSE(Paths::writeFileAtomically(root / "notafolder" / "target", "new", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(Paths::readFile(root / "notafolder"), "keep");
  EXPECT_EQ(namesIn(root), std::vector<std::string>{"notafolder"});
}

TEST(Paths, AFailedAtomicWriteLeavesTheOldFileAndRemovesItsTemporaryFile) {
  const fs::path root = test::makeTempDir("atomic-fail");
  const fs::path target = root / "data";
  ASSERT_TRUE(Paths::writeFileAtomically(target, "old contents"));

  // Tests run as root, so permissions cannot make the write fail; a file-size limit can.
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  rlimit small = old;
  small.rlim_cur = 4;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string error;
  const bool written = Paths::writeFileAtomically(target, std::string(10000, 'n'), &error);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(written);
  EXPECT_NE(error.find("data"), std::string::npos) << error;
  EXPECT_EQ(Paths::readFile(target), "old contents");
  EXPECT_EQ(namesIn(root), std::vector<std::string>{"data"});
}

TEST(Paths, AtomicWriteOntoAFolderFailsAndLeavesTheFolder) {
  const fs::path root = test::makeTempDir("atomic-dir");
  test::writeFile(root / "target" / "inside", "x");
  EXPECT_FALSE(Paths::writeFileAtomically(root / "target", "new"));
  EXPECT_EQ(Paths::readFile(root / "target" / "inside"), "x");
  EXPECT_EQ(namesIn(root), std::vector<std::string>{"target"});
}

TEST(Paths, ReadFileAnswersNothingForMissingFilesAndFolders) {
  const fs::path root = test::makeTempDir("read");
  EXPECT_EQ(Paths::readFile(root / "missing"), std::nullopt);
  EXPECT_EQ(Paths::readFile(root), std::nullopt);
  const std::string large(200000, 'z');
  test::writeFile(root / "large", large);
  EXPECT_EQ(Paths::readFile(root / "large"), large);
}

}  // namespace
}  // namespace qby
