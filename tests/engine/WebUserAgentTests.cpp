// The browser user agent: learned once per system version, kept per domain for scripts.
#include <gtest/gtest.h>

#include <thread>

#include "engine/QBYUserAgentChecker.h"
#include "platform/MainQueue.h"
#include "platform/QBYUserDefaults.h"

namespace qby {
namespace {

constexpr const char* kLinuxAgent =
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.0 "
    "Safari/605.1.15";

// A web view stand-in: records what it was asked and answers when told to.
class FakeProbe : public QBYUserAgentProbe {
 public:
  void probeUserAgent(const std::string& url,
                      std::function<void(std::optional<std::string>)> answer) override {
    EXPECT_TRUE(MainQueue::isMainThread());
    urls.push_back(url);
    answers.push_back(std::move(answer));
  }
  std::vector<std::string> urls;
  std::vector<std::function<void(std::optional<std::string>)>> answers;
};

class WebUserAgent : public testing::Test {
 protected:
  void SetUp() override {
    auto& defaults = QBYUserDefaults::sharedDefaults();
    defaults.removeObjectForKey("QBYUserAgent");
    defaults.removeObjectForKey("QBYUserAgentVersion");
    // The page the check asks for is on the user's sync server.
    defaults.setObject(Value("https://sync.example.org/"), "QBYSyncServerURL");
  }
  static Value stored(const char* key) {
    return QBYUserDefaults::sharedDefaults().objectForKey(key);
  }
  static QBYUserAgentChecker::SystemVersionSource version(std::string text) {
    return [text] { return text; };
  }
};

TEST_F(WebUserAgent, DomainAgentsAreSavedAndRemoved) {
  EXPECT_EQ(QBYUserAgentChecker::defaultsKeyForDomain("www.ups.com"), "QBYUserAgent-www.ups.com");
  EXPECT_EQ(QBYUserAgentChecker::defaultUserAgent(), QBYUserAgentDesktop);
  EXPECT_FALSE(QBYUserAgentChecker::userAgentForDomain("www.ups.com").has_value());

  QBYUserAgentChecker::saveUserAgent(std::string(QBYUserAgentMobile), "www.ups.com");
  QBYUserAgentChecker::saveUserAgent(std::string(QBYUserAgentPad), "www.dhl.de");
  EXPECT_EQ(QBYUserAgentChecker::userAgentForDomain("www.ups.com"), QBYUserAgentMobile);
  EXPECT_EQ(stored("QBYUserAgent-www.dhl.de"), Value(QBYUserAgentPad));

  QBYUserAgentChecker::saveUserAgent(std::nullopt, "www.ups.com");
  EXPECT_FALSE(QBYUserAgentChecker::userAgentForDomain("www.ups.com").has_value());
  EXPECT_FALSE(QBYUserDefaults::sharedDefaults().dictionaryRepresentation().contains(
      "QBYUserAgent-www.ups.com"));
  EXPECT_EQ(QBYUserAgentChecker::userAgentForDomain("www.dhl.de"), QBYUserAgentPad);
}

TEST_F(WebUserAgent, SavedAgentIsValidOnlyOnTheVersionItWasCapturedOn) {
  auto probe = std::make_shared<FakeProbe>();
  {
    QBYUserAgentChecker checker(probe, version("12.0/2.50.1"));
    EXPECT_FALSE(checker.savedUserAgent().has_value());
    std::optional<std::string> answered;
    checker.checkUserAgentWithCompletionHandler(
        [&](const std::string& agent) { answered = agent; });
    EXPECT_TRUE(checker.isChecking());
    ASSERT_TRUE(MainQueue::runUntil([&] { return !probe->answers.empty(); }, 10));
    EXPECT_EQ(probe->urls.front(), QBYUserAgentChecker::versionCheckURL());
    EXPECT_EQ(probe->urls.front(), "https://sync.example.org/version-check");
    probe->answers.front()(std::string(kLinuxAgent));
    ASSERT_TRUE(MainQueue::runUntil([&] { return answered.has_value(); }, 10));
    EXPECT_EQ(answered, kLinuxAgent);
    EXPECT_FALSE(checker.isChecking());
    EXPECT_EQ(stored("QBYUserAgentVersion"), Value("12.0/2.50.1"));
    EXPECT_EQ(checker.savedUserAgent(), kLinuxAgent);
  }
  // After a system update the saved agent no longer counts.
  QBYUserAgentChecker updated(probe, version("12.0/2.52"));
  EXPECT_FALSE(updated.savedUserAgent().has_value());
  QBYUserAgentChecker same(probe, version("12.0/2.50.1"));
  EXPECT_EQ(same.savedUserAgent(), kLinuxAgent);
  // Without a version next to it, the agent is not trusted.
  QBYUserDefaults::sharedDefaults().removeObjectForKey("QBYUserAgentVersion");
  EXPECT_FALSE(same.savedUserAgent().has_value());
}

TEST_F(WebUserAgent, WithoutProbeTheDefaultAgentArrivesOnTheMainQueue) {
  QBYUserAgentChecker::setDefaultProbe(nullptr);
  QBYUserAgentChecker checker(nullptr, version("1.0"));
  std::optional<std::string> answered;
  checker.checkUserAgentWithCompletionHandler([&](const std::string& agent) {
    EXPECT_TRUE(MainQueue::isMainThread());
    answered = agent;
  });
  EXPECT_FALSE(answered.has_value()) << "answered before returning";
  ASSERT_TRUE(MainQueue::runUntil([&] { return answered.has_value(); }, 10));
  EXPECT_EQ(answered, QBYUserAgentDesktop);
  EXPECT_TRUE(stored("QBYUserAgent").isNull());
  EXPECT_TRUE(stored("QBYUserAgentVersion").isNull());
}

// No sync server (or one whose address breaks the https rule): no page to ask for, so the web
// view is not asked; the default agent serves and the check stays due for later.
TEST_F(WebUserAgent, WithoutASyncServerTheProbeIsNotAskedAndNothingIsStored) {
  auto& defaults = QBYUserDefaults::sharedDefaults();
  for (const char* address : {"", "http://sync.example.org"}) {
    if (*address)
      defaults.setObject(Value(address), "QBYSyncServerURL");
    else
      defaults.removeObjectForKey("QBYSyncServerURL");
    EXPECT_FALSE(QBYUserAgentChecker::versionCheckURL().has_value()) << address;
    auto probe = std::make_shared<FakeProbe>();
    QBYUserAgentChecker checker(probe, version("3.0"));
    std::optional<std::string> answered;
    checker.checkUserAgentWithCompletionHandler(
        [&](const std::string& agent) { answered = agent; });
    ASSERT_TRUE(MainQueue::runUntil([&] { return answered.has_value(); }, 10));
    EXPECT_EQ(answered, QBYUserAgentDesktop);
    EXPECT_TRUE(probe->urls.empty());
    EXPECT_TRUE(stored("QBYUserAgent").isNull());
    EXPECT_FALSE(checker.isChecking());
  }
  // Once a server is configured the check runs and stores what the web view sends.
  defaults.setObject(Value("http://127.0.0.1:8080"), "QBYSyncServerURL");
  auto probe = std::make_shared<FakeProbe>();
  QBYUserAgentChecker checker(probe, version("3.0"));
  std::optional<std::string> answered;
  checker.checkUserAgentWithCompletionHandler([&](const std::string& agent) { answered = agent; });
  ASSERT_TRUE(MainQueue::runUntil([&] { return !probe->answers.empty(); }, 10));
  EXPECT_EQ(probe->urls.front(), "http://127.0.0.1:8080/version-check");
  probe->answers.front()(std::string(kLinuxAgent));
  ASSERT_TRUE(MainQueue::runUntil([&] { return answered.has_value(); }, 10));
  EXPECT_EQ(checker.savedUserAgent(), kLinuxAgent);
}

TEST_F(WebUserAgent, ARequestWithoutAgentStoresNothingButStillAnswers) {
  auto probe = std::make_shared<FakeProbe>();
  QBYUserAgentChecker checker(probe, version("1.0"));
  std::optional<std::string> answered;
  checker.checkUserAgentWithCompletionHandler([&](const std::string& agent) { answered = agent; });
  ASSERT_TRUE(MainQueue::runUntil([&] { return !probe->answers.empty(); }, 10));
  probe->answers.front()(std::string());
  ASSERT_TRUE(MainQueue::runUntil([&] { return answered.has_value(); }, 10));
  EXPECT_EQ(answered, QBYUserAgentDesktop);
  EXPECT_TRUE(stored("QBYUserAgent").isNull());
  EXPECT_FALSE(checker.savedUserAgent().has_value());
}

TEST_F(WebUserAgent, ChecksShareOneProbeAndAnswerOnTheMainThread) {
  auto probe = std::make_shared<FakeProbe>();
  QBYUserAgentChecker::setDefaultProbe(probe);
  QBYUserAgentChecker checker(nullptr, version("2.0"));
  QBYUserAgentChecker::setDefaultProbe(nullptr);
  std::vector<std::string> answers;
  for (int i = 0; i < 2; ++i)
    checker.checkUserAgentWithCompletionHandler([&](const std::string& agent) {
      EXPECT_TRUE(MainQueue::isMainThread());
      answers.push_back(agent);
    });
  ASSERT_TRUE(MainQueue::runUntil([&] { return !probe->answers.empty(); }, 10));
  MainQueue::drain();
  EXPECT_EQ(probe->answers.size(), 1u);
  // The web view may answer from elsewhere; the handlers still run on the main thread, once.
  auto answer = probe->answers.front();
  std::thread([answer] { answer(std::string(kLinuxAgent)); }).join();
  ASSERT_TRUE(MainQueue::runUntil([&] { return answers.size() == 2; }, 10));
  answer(std::string("late second answer"));
  MainQueue::drain();
  EXPECT_EQ(answers, (std::vector<std::string>{kLinuxAgent, kLinuxAgent}));
  EXPECT_EQ(stored("QBYUserAgent"), Value(kLinuxAgent));

  // A finished check does not block the next one.
  checker.checkUserAgentWithCompletionHandler(
      [&](const std::string& agent) { answers.push_back(agent); });
  ASSERT_TRUE(MainQueue::runUntil([&] { return probe->answers.size() == 2; }, 10));
}

TEST_F(WebUserAgent, AnAnswerAfterTheCheckerIsGoneIsDropped) {
  auto probe = std::make_shared<FakeProbe>();
  bool called = false;
  {
    QBYUserAgentChecker checker(probe, version("3.0"));
    checker.checkUserAgentWithCompletionHandler([&](const std::string&) { called = true; });
    ASSERT_TRUE(MainQueue::runUntil([&] { return !probe->answers.empty(); }, 10));
  }
  probe->answers.front()(std::string(kLinuxAgent));
  MainQueue::drain();
  EXPECT_FALSE(called);
  EXPECT_TRUE(stored("QBYUserAgent").isNull());
}

TEST(WebSystemVersion, OperatingSystemAndWebKitNumbers) {
  const auto version = [](std::string_view osRelease, long major, long minor, long micro) {
    return QBYUserAgentChecker::systemVersionFromOSRelease(osRelease, major, minor, micro);
  };
  EXPECT_EQ(version("NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n", 2, 50, 1), "12.0/2.50.1");
  EXPECT_EQ(version("VERSION_ID=22.04\n", 2, 44, 0), "22.4/2.44");
  EXPECT_EQ(version("ID=ubuntu\r\nVERSION_ID='24.04.1'\r\n", 2, 50, 3), "24.4.1/2.50.3");
  // Look-alike names and commented lines do not count; no VERSION_ID reads as 0.0.
  EXPECT_EQ(version("#VERSION_ID=9\nVERSION_ID_LIKE=8\nID=arch\n", 2, 50, 0), "0.0/2.50");
  EXPECT_EQ(version("", 2, 50, 0), "0.0/2.50");
  EXPECT_EQ(version("VERSION_ID=\"rolling\"\n", 2, 50, 0), "0.0/2.50");

  // The real system's version is stable and looks like "a.b[.c]/d.e[.f]".
  const auto current = QBYUserAgentChecker::currentSystemVersion();
  EXPECT_EQ(current, QBYUserAgentChecker::currentSystemVersion());
  EXPECT_NE(current.find('/'), std::string::npos);
  QBYUserAgentChecker checker;
  EXPECT_EQ(checker.systemVersion(), current);
}

}  // namespace
}  // namespace qby
