#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Paths.h"
#include "platform/QBYNotificationCenter.h"
#include "platform/QBYUserDefaults.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

namespace fs = std::filesystem;

fs::path defaultsFile(const std::string& name = "test") {
  return test::makeTempDir("defaults") / (name + ".plist");
}

std::vector<std::string> filesStartingWith(const fs::path& folder, const std::string& prefix) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename();
    if (name.rfind(prefix, 0) == 0) names.push_back(name);
  }
  return names;
}

// Records every change notification the defaults object posts.
class ChangeRecorder {
 public:
  explicit ChangeRecorder(const QBYUserDefaults& defaults)
      : token_(QBYNotificationCenter::defaultCenter().addObserver(
            QBYUserDefaultsDidChangeNotification, &defaults,
            [this](const Notification& n) { userInfos.push_back(n.userInfo); })) {}
  std::vector<Dictionary> userInfos;

 private:
  ObserverToken token_;
};

TEST(UserDefaults, StoredValuesWinOverRegisteredOnesWhichAreNeverWritten) {
  QBYUserDefaults defaults(defaultsFile());
  defaults.registerDefaults(Dictionary{{"QBYSortMode", Value(1)}, {"playsounds", Value(true)}});
  EXPECT_EQ(defaults.objectForKey("QBYSortMode"), Value(1));
  EXPECT_TRUE(defaults.boolForKey("playsounds"));
  EXPECT_TRUE(defaults.objectForKey("missing").isNull());

  ASSERT_TRUE(defaults.setInteger(3, "QBYSortMode"));
  EXPECT_EQ(defaults.integerForKey("QBYSortMode"), 3);
  EXPECT_EQ(defaults.dictionaryRepresentation(), (Dictionary{{"QBYSortMode", Value(3)}}));

  ASSERT_TRUE(defaults.removeObjectForKey("QBYSortMode"));
  EXPECT_EQ(defaults.integerForKey("QBYSortMode"), 1);

  QBYUserDefaults fresh(defaults.file());
  EXPECT_TRUE(fresh.objectForKey("playsounds").isNull());
  EXPECT_TRUE(fresh.dictionaryRepresentation().empty());
}

TEST(UserDefaults, TypedGettersConvertLikeThePlatform) {
  QBYUserDefaults defaults(defaultsFile());
  ASSERT_TRUE(defaults.setObject(Value("42abc"), "text42"));
  ASSERT_TRUE(defaults.setObject(Value("  -7"), "textMinus7"));
  ASSERT_TRUE(defaults.setObject(Value("abc"), "textWord"));
  ASSERT_TRUE(defaults.setObject(Value("YES"), "textYes"));
  ASSERT_TRUE(defaults.setObject(Value("no"), "textNo"));
  ASSERT_TRUE(defaults.setObject(Value("2.5"), "text2.5"));
  ASSERT_TRUE(defaults.setDouble(3.9, "real"));
  ASSERT_TRUE(defaults.setInteger(5, "integer"));
  ASSERT_TRUE(defaults.setBool(true, "bool"));
  ASSERT_TRUE(defaults.setObject(Value(Array{Value(1), Value("two")}), "array"));
  ASSERT_TRUE(defaults.setObject(Value(Dictionary{{"k", Value("v")}}), "dictionary"));

  EXPECT_EQ(defaults.integerForKey("text42"), 42);
  EXPECT_EQ(defaults.integerForKey("textMinus7"), -7);
  EXPECT_EQ(defaults.integerForKey("textWord"), 0);
  EXPECT_EQ(defaults.integerForKey("real"), 3);
  EXPECT_EQ(defaults.integerForKey("array"), 0);
  EXPECT_TRUE(defaults.boolForKey("textYes"));
  EXPECT_FALSE(defaults.boolForKey("textNo"));
  EXPECT_TRUE(defaults.boolForKey("integer"));
  EXPECT_TRUE(defaults.boolForKey("real"));
  EXPECT_FALSE(defaults.boolForKey("missing"));
  EXPECT_DOUBLE_EQ(defaults.doubleForKey("text2.5"), 2.5);
  EXPECT_DOUBLE_EQ(defaults.doubleForKey("real"), 3.9);
  EXPECT_DOUBLE_EQ(defaults.doubleForKey("bool"), 1.0);

  EXPECT_EQ(defaults.stringForKey("textWord"), "abc");
  EXPECT_EQ(defaults.stringForKey("integer"), "5");
  EXPECT_EQ(defaults.stringForKey("array"), std::nullopt);
  EXPECT_EQ(defaults.stringForKey("missing"), std::nullopt);

  EXPECT_EQ(defaults.arrayForKey("array"), (Array{Value(1), Value("two")}));
  EXPECT_EQ(defaults.arrayForKey("dictionary"), std::nullopt);
  EXPECT_EQ(defaults.dictionaryForKey("dictionary"), (Dictionary{{"k", Value("v")}}));
  EXPECT_EQ(defaults.dictionaryForKey("array"), std::nullopt);

  // Everything survives the trip through the file.
  QBYUserDefaults reread(defaults.file());
  EXPECT_EQ(reread.dictionaryRepresentation(), defaults.dictionaryRepresentation());
}

TEST(UserDefaults, DateOrNilAnswersOnlyDates) {
  QBYUserDefaults defaults(defaultsFile());
  const Date date(1700000000);  // the XML form keeps whole seconds
  ASSERT_TRUE(defaults.setObject(Value(date), "date"));
  ASSERT_TRUE(defaults.setObject(Value("2024-01-01"), "text"));
  EXPECT_EQ(defaults.dateOrNilForKey("date"), date);
  EXPECT_EQ(defaults.dateOrNilForKey("text"), std::nullopt);
  EXPECT_EQ(defaults.dateOrNilForKey("missing"), std::nullopt);
}

TEST(UserDefaults, ThePostFlagDecidesWhetherTheChangeIsAnnounced) {
  QBYUserDefaults defaults(defaultsFile());
  QBYUserDefaults other(defaultsFile("other"));
  ChangeRecorder recorder(defaults);
  ChangeRecorder otherRecorder(other);

  defaults.setBool(true, "QBYBackgroundUpdates", true);
  defaults.setInteger(4, "QBYHistoryDays", false);
  defaults.setInteger(5, "QBYHistoryDays", true);
  defaults.setValue(Value("list"), "QBYMenuBarMode", true);
  defaults.removeObjectForKey("QBYMenuBarMode", true);
  defaults.removeObjectForKey("QBYHistoryDays", false);

  ASSERT_EQ(recorder.userInfos.size(), 4u);
  EXPECT_EQ(recorder.userInfos[0],
            (Dictionary{{"QBYUserDefaultsKey", Value("QBYBackgroundUpdates")},
                        {"QBYUserDefaultsValue", Value(true)}}));
  EXPECT_EQ(recorder.userInfos[1], (Dictionary{{"QBYUserDefaultsKey", Value("QBYHistoryDays")},
                                               {"QBYUserDefaultsValue", Value(5)}}));
  EXPECT_EQ(recorder.userInfos[2], (Dictionary{{"QBYUserDefaultsKey", Value("QBYMenuBarMode")},
                                               {"QBYUserDefaultsValue", Value("list")}}));
  EXPECT_EQ(recorder.userInfos[3], (Dictionary{{"QBYUserDefaultsKey", Value("QBYMenuBarMode")}}));
  EXPECT_FALSE(recorder.userInfos[3].contains("QBYUserDefaultsValue"));
  EXPECT_TRUE(otherRecorder.userInfos.empty());  // the sender is the object that changed

  EXPECT_TRUE(defaults.boolForKey("QBYBackgroundUpdates"));
  EXPECT_TRUE(defaults.objectForKey("QBYHistoryDays").isNull());
}

TEST(UserDefaults, IncrementedIntegerStartsFromZeroAndIsStored) {
  QBYUserDefaults defaults(defaultsFile());
  EXPECT_EQ(defaults.incrementedIntegerForKey("count"), 1);
  EXPECT_EQ(defaults.incrementedIntegerForKey("count"), 2);
  ASSERT_TRUE(defaults.setObject(Value("41"), "text"));
  EXPECT_EQ(defaults.incrementedIntegerForKey("text"), 42);
  EXPECT_EQ(QBYUserDefaults(defaults.file()).objectForKey("count"), Value(2));
}

TEST(UserDefaults, TwoObjectsOnOneFileSeeAndKeepEachOthersWrites) {
  const fs::path file = defaultsFile();
  QBYUserDefaults a(file);
  QBYUserDefaults b(file);
  EXPECT_TRUE(b.objectForKey("fromA").isNull());  // b has read the file before a writes

  ASSERT_TRUE(a.setObject(Value("1"), "fromA"));
  EXPECT_EQ(b.stringForKey("fromA"), "1");
  ASSERT_TRUE(b.setObject(Value("2"), "fromB"));
  ASSERT_TRUE(a.setObject(Value("3"), "fromA"));  // must not drop b's key
  EXPECT_EQ(b.dictionaryRepresentation(),
            (Dictionary{{"fromA", Value("3")}, {"fromB", Value("2")}}));
  EXPECT_EQ(a.stringForKey("fromB"), "2");
}

TEST(UserDefaults, AFileReplacedFromOutsideIsReadAgain) {
  QBYUserDefaults defaults(defaultsFile());
  ASSERT_TRUE(defaults.setObject(Value("old"), "key"));
  EXPECT_EQ(defaults.stringForKey("key"), "old");
  const auto plist = Value(Dictionary{{"key", Value("new")}}).toPlist(Value::PlistFormat::Binary);
  ASSERT_TRUE(plist);
  ASSERT_TRUE(Paths::writeFileAtomically(defaults.file(), *plist));
  EXPECT_EQ(defaults.stringForKey("key"), "new");
}

TEST(UserDefaults, TwoProcessesIncrementingNeverLoseACount) {
  const fs::path file = defaultsFile("race");
  constexpr int kEach = 200;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child touches only its own fresh object and leaves without running exit handlers.
    QBYUserDefaults mine(file);
    std::int64_t last = 0;
    for (int i = 0; i < kEach; ++i) {
      const std::int64_t value = mine.incrementedIntegerForKey("counter");
      if (value <= last) _exit(1);
      last = value;
    }
    _exit(0);
  }
  QBYUserDefaults mine(file);
  std::int64_t last = 0;
  bool increasing = true;
  for (int i = 0; i < kEach; ++i) {
    const std::int64_t value = mine.incrementedIntegerForKey("counter");
    increasing = increasing && value > last;
    last = value;
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(increasing);
  EXPECT_EQ(QBYUserDefaults(file).integerForKey("counter"), 2 * kEach);
}

TEST(UserDefaults, ACorruptFileIsMovedAsideAndNotOverwritten) {
  test::LogCapture log;
  const fs::path file = defaultsFile("corrupt");
  const std::string garbage = "<?xml version=\"1.0\"?><plist><dict><key>QBYSortMode";
  test::writeFile(file, garbage);

  QBYUserDefaults defaults(file);
  EXPECT_TRUE(defaults.objectForKey("QBYSortMode").isNull());
  const auto aside = filesStartingWith(file.parent_path(), "corrupt.plist.corrupt-");
  ASSERT_EQ(aside.size(), 1u);
  EXPECT_EQ(Paths::readFile(file.parent_path() / aside.front()), garbage);
  EXPECT_EQ(log.linesContaining("corrupt.plist").size(), 1u);

  ASSERT_TRUE(defaults.setInteger(2, "QBYSortMode"));
  EXPECT_EQ(QBYUserDefaults(file).dictionaryRepresentation(),
            (Dictionary{{"QBYSortMode", Value(2)}}));
  EXPECT_EQ(Paths::readFile(file.parent_path() / aside.front()), garbage);
  EXPECT_EQ(log.linesContaining("corrupt.plist").size(), 1u);
}

TEST(UserDefaults, APlistThatIsNotADictionaryIsMovedAsideBeforeAWrite) {
  const fs::path file = defaultsFile("array");
  const auto plist = Value(Array{Value("a")}).toPlist(Value::PlistFormat::XML);
  ASSERT_TRUE(plist);
  test::writeFile(file, *plist);

  QBYUserDefaults defaults(file);
  ASSERT_TRUE(defaults.setBool(true, "flag"));  // the first touch is a write
  EXPECT_EQ(filesStartingWith(file.parent_path(), "array.plist.corrupt-").size(), 1u);
  EXPECT_EQ(QBYUserDefaults(file).dictionaryRepresentation(), (Dictionary{{"flag", Value(true)}}));
}

TEST(UserDefaults, AnEmptyFileReadsAsNoSettings) {
  const fs::path file = defaultsFile("empty");
  test::writeFile(file, "");
  QBYUserDefaults defaults(file);
  EXPECT_TRUE(defaults.dictionaryRepresentation().empty());
  EXPECT_TRUE(filesStartingWith(file.parent_path(), "empty.plist.corrupt-").empty());
}

TEST(UserDefaults, AFailedWriteIsReportedLoggedAndNotAnnounced) {
  test::LogCapture log;
  const fs::path root = test::makeTempDir("unwritable");
  test::writeFile(root / "file", "x");
  QBYUserDefaults defaults(root / "file" / "defaults.plist");
  ChangeRecorder recorder(defaults);

  EXPECT_FALSE(defaults.setObject(Value("v"), "key"));
  defaults.setValue(Value("v"), "key", true);
  EXPECT_TRUE(defaults.objectForKey("key").isNull());
  EXPECT_TRUE(recorder.userInfos.empty());
  EXPECT_FALSE(log.linesContaining("Error writing user defaults").empty());
}

TEST(UserDefaults, AValueWithoutAPlistFormKeepsThePreviousValue) {
  test::LogCapture log;
  QBYUserDefaults defaults(defaultsFile());
  ASSERT_TRUE(defaults.setObject(Value("before"), "key"));
  EXPECT_FALSE(defaults.setObject(Value(Dictionary{{"inner", Value()}}), "key"));
  EXPECT_EQ(defaults.stringForKey("key"), "before");
  EXPECT_EQ(QBYUserDefaults(defaults.file()).stringForKey("key"), "before");
  EXPECT_EQ(log.linesContaining("Error writing user defaults").size(), 1u);
}

TEST(UserDefaults, SharedAndStandardDefaultsLiveInTheirContainers) {
  QBYUserDefaults::setProgramName("porvane-test");
  EXPECT_EQ(QBYUserDefaults::sharedDefaults().file(),
            Paths::sharedContainer() / "QX7T2LM9RA.com.quillbay.Porvane.plist");
  EXPECT_EQ(&QBYUserDefaults::sharedDefaults(), &QBYUserDefaults::sharedDefaults());
  EXPECT_EQ(QBYUserDefaults::standardDefaults().file(),
            Paths::privateContainer() / "porvane-test.plist");
  EXPECT_NE(&QBYUserDefaults::standardDefaults(), &QBYUserDefaults::sharedDefaults());

  ASSERT_TRUE(QBYUserDefaults::sharedDefaults().setInteger(1, "QBYLastOpenedVersion"));
  EXPECT_TRUE(fs::exists(Paths::sharedContainer() / "QX7T2LM9RA.com.quillbay.Porvane.plist"));
}

// A file system whose writes, renames or locks fail on demand, as on a full disk or in a
// folder the user cannot write; everything it lets through is real.
class FaultyFileSystem : public FileSystem {
 public:
  bool writeFileAtomically(const fs::path& target, std::string_view bytes,
                           std::string* error) override {
    ++writes;
    if (!failWrites) return FileSystem::writeFileAtomically(target, bytes, error);
    if (error) *error = "Cannot write " + target.string() + ": No space left on device";
    return false;
  }
  bool rename(const fs::path& from, const fs::path& to, std::string* error) override {
    if (!failRenames) return FileSystem::rename(from, to, error);
    if (error) *error = "Read-only file system";
    return false;
  }
  std::optional<FileLock> lock(const fs::path& file, std::string* error) override {
    if (!failLocks) return FileSystem::lock(file, error);
    if (error) *error = "Permission denied";
    return std::nullopt;
  }

  bool failWrites = false;
  bool failRenames = false;
  bool failLocks = false;
  int writes = 0;
};

TEST(UserDefaultsFaults, AFullDiskKeepsTheStoredValueAndTellsTheCaller) {
  test::LogCapture log;
  const fs::path file = defaultsFile("full");
  QBYUserDefaults defaults(file);
  ASSERT_TRUE(defaults.setInteger(1, "QBYSortMode"));
  const auto before = Paths::readFile(file);
  ChangeRecorder recorder(defaults);

  FaultyFileSystem faulty;
  faulty.failWrites = true;
  FileSystem::Override override(faulty);
  EXPECT_FALSE(defaults.setInteger(2, "QBYSortMode"));
  defaults.setInteger(3, "QBYSortMode", true);
  EXPECT_EQ(faulty.writes, 2);

  EXPECT_EQ(defaults.integerForKey("QBYSortMode"), 1);
  EXPECT_EQ(Paths::readFile(file), before);
  EXPECT_TRUE(recorder.userInfos.empty());
  const auto lines = log.linesContaining("Error writing user defaults");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines.front().find("No space left on device"), std::string::npos);
}

TEST(UserDefaultsFaults, NoWriteWithoutTheLock) {
  test::LogCapture log;
  QBYUserDefaults defaults(defaultsFile("unlocked"));
  FaultyFileSystem faulty;
  faulty.failLocks = true;
  FileSystem::Override override(faulty);
  EXPECT_FALSE(defaults.setBool(true, "flag"));
  EXPECT_EQ(faulty.writes, 0);
  EXPECT_TRUE(defaults.objectForKey("flag").isNull());
  EXPECT_EQ(log.linesContaining("cannot lock: Permission denied").size(), 1u);
}

TEST(UserDefaultsFaults, ACorruptFileThatCannotBeMovedAsideIsNeverOverwritten) {
  test::LogCapture log;
  const fs::path file = defaultsFile("stuck");
  const std::string garbage = "<?xml version=\"1.0\"?><plist><dict><key>QBYSortMode";
  test::writeFile(file, garbage);

  FaultyFileSystem faulty;
  faulty.failRenames = true;
  FileSystem::Override override(faulty);
  QBYUserDefaults defaults(file);
  EXPECT_TRUE(defaults.objectForKey("QBYSortMode").isNull());
  EXPECT_FALSE(defaults.setInteger(2, "QBYSortMode"));
  EXPECT_EQ(faulty.writes, 0);
  EXPECT_EQ(Paths::readFile(file), garbage);
  EXPECT_TRUE(filesStartingWith(file.parent_path(), "stuck.plist.corrupt-").empty());
  EXPECT_FALSE(log.linesContaining("cannot move it aside: Read-only file system").empty());
}

TEST(UserDefaultsFaults, TheOverrideEndsWithItsScope) {
  const fs::path file = defaultsFile("scoped");
  QBYUserDefaults defaults(file);
  {
    FaultyFileSystem faulty;
    faulty.failWrites = true;
    FileSystem::Override override(faulty);
    EXPECT_FALSE(defaults.setBool(true, "flag"));
  }
  EXPECT_TRUE(defaults.setBool(true, "flag"));
  EXPECT_TRUE(QBYUserDefaults(file).boolForKey("flag"));
}

}  // namespace
}  // namespace qby
