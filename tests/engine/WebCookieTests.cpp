// The group cookie storage (a cookie file plus the process's session cookies), the shared
// storage, and the session cookies saved in the keyring.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>

#include "engine/QBYCookieStorage.h"
#include "engine/QBYPasswordManager.h"
#include "platform/Paths.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

SoupCookiePtr makeCookie(const char* name, const char* value, const char* domain,
                         bool session = true, const char* path = "/") {
  SoupCookiePtr cookie(soup_cookie_new(name, value, domain, path, session ? -1 : 3600));
  return cookie;
}

CookieList listOf(SoupCookiePtr a, SoupCookiePtr b = {}, SoupCookiePtr c = {}) {
  CookieList list;
  for (auto* cookie : {&a, &b, &c})
    if (*cookie) list.push_back(std::move(*cookie));
  return list;
}

// name=value pairs, sorted, for comparisons that do not care about order.
std::vector<std::string> namesAndValues(const CookieList& cookies) {
  std::vector<std::string> result;
  for (const auto& cookie : cookies)
    result.push_back(std::string(soup_cookie_get_name(cookie.get())) + "=" +
                     soup_cookie_get_value(cookie.get()));
  std::sort(result.begin(), result.end());
  return result;
}

// A group of this test process alone: the keyring daemon is shared by all test processes.
std::string uniqueGroup(const std::string& name) {
  return "test." + std::to_string(getpid()) + "." + name;
}

TEST(WebCookieValues, PropertiesSurviveTheRoundTrip) {
  auto cookie = makeCookie("sid", "a b;c", "shop.example.com", false, "/account");
  soup_cookie_set_secure(cookie.get(), true);
  soup_cookie_set_http_only(cookie.get(), true);
  soup_cookie_set_same_site_policy(cookie.get(), SOUP_SAME_SITE_POLICY_STRICT);

  const Dictionary properties = cookieProperties(cookie.get());
  EXPECT_EQ(properties["name"], Value("sid"));
  EXPECT_EQ(properties["value"], Value("a b;c"));
  EXPECT_EQ(properties["path"], Value("/account"));
  EXPECT_EQ(properties["secure"], Value(true));
  EXPECT_EQ(properties["sameSite"], Value("Strict"));
  ASSERT_TRUE(properties["expires"].isDate());
  EXPECT_NEAR(properties["expires"].asDate()->timeIntervalSinceNow(), 3600, 120);

  const auto again = cookieWithProperties(properties);
  ASSERT_TRUE(again);
  EXPECT_EQ(cookieProperties(again.get()), properties);
  EXPECT_FALSE(isSessionCookie(again.get()));
}

TEST(WebCookieValues, SessionCookiesHaveNoExpiryAndBadPropertiesMakeNoCookie) {
  const auto session = makeCookie("s", "1", "example.org");
  EXPECT_TRUE(isSessionCookie(session.get()));
  EXPECT_FALSE(cookieProperties(session.get()).contains("expires"));

  EXPECT_FALSE(cookieWithProperties(Dictionary{{"value", "x"}, {"domain", "example.org"}}));
  EXPECT_FALSE(cookieWithProperties(Dictionary{{"name", "x"}}));
  EXPECT_FALSE(cookieWithProperties(Dictionary{{"name", "x"}, {"domain", ""}}));
  EXPECT_FALSE(cookieWithProperties(Dictionary{{"name", 5}, {"domain", "example.org"}}));

  // Expiry as seconds, and far beyond what a calendar can hold, still make a lasting cookie.
  const auto numeric = cookieWithProperties(
      Dictionary{{"name", "n"}, {"domain", "example.org"}, {"expires", 4102444800.0}});
  ASSERT_TRUE(numeric);
  EXPECT_FALSE(isSessionCookie(numeric.get()));
  const auto far = cookieWithProperties(
      Dictionary{{"name", "n"}, {"domain", "example.org"}, {"expires", 1e300}});
  ASSERT_TRUE(far);
  EXPECT_FALSE(isSessionCookie(far.get()));
  const auto minimal = cookieWithProperties(Dictionary{{"name", "n"}, {"domain", "example.org"}});
  ASSERT_TRUE(minimal);
  EXPECT_STREQ(soup_cookie_get_path(minimal.get()), "/");
  EXPECT_STREQ(soup_cookie_get_value(minimal.get()), "");
}

// The suite's group storage and the shared storage start empty, also when every test of the
// program runs in one process.
class WebGroupCookies : public testing::Test {
 protected:
  void SetUp() override {
    transferCookies(CookieList(), QBYAppGroupID, true);
    withSharedCookieJar([](SoupCookieJar* jar) { deleteAllCookies(jar); });
  }
};

TEST_F(WebGroupCookies, TwoJarsOnTheSameFileShareCookies) {
  const auto first = groupCookieJar();
  ASSERT_TRUE(first);
  EXPECT_EQ(cookieFileForGroup(), Paths::sharedContainer() / "Cookies.sqlite");
  soup_cookie_jar_add_cookie(first.get(),
                             makeCookie("lasting", "1", "a.example.com", false).release());
  soup_cookie_jar_add_cookie(first.get(), makeCookie("session", "2", "a.example.com").release());
  EXPECT_TRUE(std::filesystem::exists(cookieFileForGroup()));

  // Opened later, even on another thread, a jar sees both.
  CookieList seen;
  std::thread([&seen] { seen = allCookies(groupCookieJar().get()); }).join();
  EXPECT_EQ(namesAndValues(seen), (std::vector<std::string>{"lasting=1", "session=2"}));

  // A change made through the second jar reaches the third; the first keeps what it read.
  const auto second = groupCookieJar();
  soup_cookie_jar_add_cookie(second.get(),
                             makeCookie("lasting", "3", "a.example.com", false).release());
  for (auto& cookie : allCookies(second.get()))
    if (std::string(soup_cookie_get_name(cookie.get())) == "session")
      soup_cookie_jar_delete_cookie(second.get(), cookie.get());
  EXPECT_EQ(namesAndValues(groupCookies()), (std::vector<std::string>{"lasting=3"}));
}

TEST_F(WebGroupCookies, SessionCookiesFromResponsesAreKeptForTheProcess) {
  {
    const auto jar = groupCookieJar();
    GUri* uri = g_uri_parse("https://track.example.net/login", G_URI_FLAGS_NONE, nullptr);
    soup_cookie_jar_set_cookie(jar.get(), uri, "token=abc; Path=/; HttpOnly");
    soup_cookie_jar_set_cookie(jar.get(), uri, "remember=yes; Max-Age=600");
    g_uri_unref(uri);
  }
  const auto cookies = groupCookies();
  EXPECT_EQ(namesAndValues(cookies), (std::vector<std::string>{"remember=yes", "token=abc"}));
}

TEST_F(WebGroupCookies, ALastingCookieInTheFileWinsOverAnOlderSessionCookie) {
  const auto mine = groupCookieJar();
  soup_cookie_jar_add_cookie(mine.get(), makeCookie("id", "session", "b.example.com").release());
  // Another process (here: a jar that knows nothing of this process) writes the file.
  {
    auto other = GObjectPtr<SoupCookieJar>::adopt(
        soup_cookie_jar_db_new(cookieFileForGroup().c_str(), FALSE));
    soup_cookie_jar_add_cookie(other.get(),
                               makeCookie("id", "lasting", "b.example.com", false).release());
  }
  const auto cookies = groupCookies();
  ASSERT_EQ(cookies.size(), 1u);
  EXPECT_STREQ(soup_cookie_get_value(cookies[0].get()), "lasting");
}

TEST_F(WebGroupCookies, TransferWithAndWithoutReset) {
  transferCookies(listOf(makeCookie("old", "1", "c.example.com", false),
                         makeCookie("oldSession", "1", "c.example.com")),
                  QBYAppGroupID, false);
  transferCookies(listOf(makeCookie("new", "2", "c.example.com")), QBYAppGroupID, false);
  EXPECT_EQ(namesAndValues(groupCookies()),
            (std::vector<std::string>{"new=2", "old=1", "oldSession=1"}));

  transferCookies(listOf(makeCookie("only", "3", "c.example.com", false)), QBYAppGroupID, true);
  EXPECT_EQ(namesAndValues(groupCookies()), (std::vector<std::string>{"only=3"}));

  // Storages given directly behave the same; a missing storage is ignored.
  auto plain = GObjectPtr<SoupCookieJar>::adopt(soup_cookie_jar_new());
  transferCookies(listOf(makeCookie("x", "1", "d.example.com")), plain.get(), false);
  transferCookies(listOf(makeCookie("y", "2", "d.example.com")), plain.get(), true);
  EXPECT_EQ(namesAndValues(allCookies(plain.get())), (std::vector<std::string>{"y=2"}));
  transferCookies(listOf(makeCookie("z", "1", "d.example.com")),
                  static_cast<SoupCookieJar*>(nullptr), true);
}

TEST_F(WebGroupCookies, SharedStorageToAndFromTheGroup) {
  const std::string group = uniqueGroup("shared");
  withSharedCookieJar([](SoupCookieJar* jar) {
    soup_cookie_jar_add_cookie(jar, makeCookie("fromShared", "1", "e.example.com").release());
  });
  transferCookies(listOf(makeCookie("inGroup", "1", "e.example.com", false)), group, false);

  transferSharedCookiesToGroup(group);
  EXPECT_EQ(namesAndValues(groupCookies(group)),
            (std::vector<std::string>{"fromShared=1", "inGroup=1"}));
  transferSharedCookiesFromGroup(group);
  EXPECT_EQ(namesAndValues(sharedCookies()),
            (std::vector<std::string>{"fromShared=1", "inGroup=1"}));
  // Other groups keep files of their own, inside the container whatever the name.
  EXPECT_TRUE(groupCookies(QBYAppGroupID).empty());
  const auto odd = cookieFileForGroup("../../outside/evil");
  EXPECT_EQ(odd.parent_path(), Paths::sharedContainer());
}

// --- Saved session cookies, through the disposable test keyring ---

class WebSessionCookies : public testing::Test {
 protected:
  void SetUp() override {
    if (!std::getenv("PORVANE_TEST_KEYRING"))
      GTEST_FAIL() << "These tests need the disposable test keyring. Run them as: "
                      "dbus-run-session -- scripts/with-keyring.sh <test program>";
  }
  void TearDown() override { deleteSessionCookiesForGroup(group_); }

  const std::string group_ =
      uniqueGroup(testing::UnitTest::GetInstance()->current_test_info()->name());
};

TEST_F(WebSessionCookies, SavingKeepsOnlySessionCookiesInOrder) {
  EXPECT_EQ(sessionIdentifierForGroup("g"), "g.session");
  EXPECT_FALSE(sessionCookiesForGroup(group_).has_value());

  auto secure = makeCookie("b", "2", "f.example.com");
  soup_cookie_set_secure(secure.get(), true);
  ASSERT_TRUE(saveSessionCookies(
      listOf(makeCookie("a", "1", "f.example.com"),
             makeCookie("lasting", "x", "f.example.com", false), std::move(secure)),
      group_, QBYSessionDataLabel));
  const auto saved = sessionCookiesForGroup(group_);
  ASSERT_TRUE(saved.has_value());
  ASSERT_EQ(saved->size(), 2u);
  EXPECT_STREQ(soup_cookie_get_name((*saved)[0].get()), "a");
  EXPECT_STREQ(soup_cookie_get_name((*saved)[1].get()), "b");
  EXPECT_TRUE(soup_cookie_get_secure((*saved)[1].get()));
  EXPECT_TRUE(isSessionCookie((*saved)[1].get()));

  // Saving again replaces the item.
  ASSERT_TRUE(saveSessionCookies(CookieList(), group_, QBYSessionDataLabel));
  EXPECT_EQ(sessionCookiesForGroup(group_)->size(), 0u);
}

TEST_F(WebSessionCookies, LoadingAddsToTheGroupWithoutRemovingAnything) {
  transferCookies(listOf(makeCookie("stays", "1", "g.example.com", false),
                         makeCookie("staysToo", "1", "g.example.com")),
                  group_, false);
  ASSERT_TRUE(saveSessionCookies(listOf(makeCookie("restored", "2", "g.example.com")), group_,
                                 QBYSessionDataLabel));
  loadSessionCookiesForGroup(group_);
  EXPECT_EQ(namesAndValues(groupCookies(group_)),
            (std::vector<std::string>{"restored=2", "stays=1", "staysToo=1"}));
}

TEST_F(WebSessionCookies, SavingTheGroupStorageSkipsLastingCookies) {
  transferCookies(listOf(makeCookie("session", "1", "h.example.com"),
                         makeCookie("lasting", "1", "h.example.com", false)),
                  group_, false);
  ASSERT_TRUE(saveSessionCookiesForGroup(group_, QBYSessionDataLabel));
  EXPECT_EQ(namesAndValues(*sessionCookiesForGroup(group_)),
            (std::vector<std::string>{"session=1"}));
}

TEST_F(WebSessionCookies, DataThatIsNotAnArrayCountsAsNone) {
  test::LogCapture log;
  const auto identifier = sessionIdentifierForGroup(group_);
  const std::string dictionary =
      *Value(Dictionary{{"name", "a"}}).toPlist(Value::PlistFormat::Binary);
  ASSERT_TRUE(QBYPasswordManager::saveApplicationData(Data(dictionary.begin(), dictionary.end()),
                                                      identifier, QBYSessionDataLabel));
  EXPECT_FALSE(sessionCookiesForGroup(group_).has_value());
  EXPECT_EQ(log.linesContaining("Session data is the wrong class: " + group_).size(), 1u);

  const std::string garbage = "\x01\x02not a property list";
  ASSERT_TRUE(QBYPasswordManager::saveApplicationData(Data(garbage.begin(), garbage.end()),
                                                      identifier, QBYSessionDataLabel));
  EXPECT_FALSE(sessionCookiesForGroup(group_).has_value());
  EXPECT_EQ(log.linesContaining("Session data is the wrong class: " + group_).size(), 2u);
  loadSessionCookiesForGroup(group_);
  EXPECT_TRUE(groupCookies(group_).empty());
}

TEST_F(WebSessionCookies, ElementsThatAreNotCookieDictionariesAreSkipped) {
  const Array archive = {
      Value(Dictionary{{"name", "first"}, {"value", "1"}, {"domain", "i.example.com"}}),
      Value("text"), Value(5), Value(Dictionary{{"value", "no name"}}),
      Value(Dictionary{{"name", "last"}, {"domain", "i.example.com"}})};
  const std::string bytes = *Value(archive).toPlist(Value::PlistFormat::Binary);
  ASSERT_TRUE(QBYPasswordManager::saveApplicationData(
      Data(bytes.begin(), bytes.end()), sessionIdentifierForGroup(group_), QBYSessionDataLabel));
  const auto cookies = sessionCookiesForGroup(group_);
  ASSERT_TRUE(cookies.has_value());
  ASSERT_EQ(cookies->size(), 2u);
  EXPECT_STREQ(soup_cookie_get_name((*cookies)[0].get()), "first");
  EXPECT_STREQ(soup_cookie_get_name((*cookies)[1].get()), "last");
}

class RecordingRemover : public QBYWebsiteDataRemover {
 public:
  void removeAllWebsiteData(std::function<void()> done) override {
    ++calls;
    done();
  }
  int calls = 0;
};

TEST_F(WebSessionCookies, ClearingForgetsEveryStoredCookie) {
  auto remover = std::make_shared<RecordingRemover>();
  setWebsiteDataRemover(remover);
  test::LogCapture log;
  ASSERT_TRUE(saveSessionCookies(listOf(makeCookie("saved", "1", "j.example.com")), group_,
                                 QBYSessionDataLabel));
  transferCookies(listOf(makeCookie("session", "1", "j.example.com"),
                         makeCookie("lasting", "1", "j.example.com", false)),
                  group_, false);
  withSharedCookieJar([](SoupCookieJar* jar) {
    soup_cookie_jar_add_cookie(jar, makeCookie("shared", "1", "j.example.com").release());
  });

  clearCookies(group_);
  EXPECT_FALSE(sessionCookiesForGroup(group_).has_value());
  EXPECT_TRUE(groupCookies(group_).empty());
  EXPECT_TRUE(sharedCookies().empty());
  EXPECT_EQ(remover->calls, 1);
  EXPECT_EQ(log.linesContaining("Web site data removed").size(), 1u);
  setWebsiteDataRemover(nullptr);
  // The default remover has nothing to remove but still reports.
  clearCookies(group_);
  EXPECT_EQ(remover->calls, 1);
  EXPECT_EQ(log.linesContaining("Web site data removed").size(), 2u);
}

}  // namespace
}  // namespace qby
