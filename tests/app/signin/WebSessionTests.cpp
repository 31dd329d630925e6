// The WebKit side of the suite's cookies and user agent: the probe reads the agent without
// loading the page, saved session cookies reach a new sign-in window, website data removal
// empties the view's store and the group's file, and the sign-in address of each service.
#include <gtest/gtest.h>
#include <gtkmm/init.h>
#include <libsoup/soup.h>

#include <memory>
#include <optional>
#include <string>

#include "QBYOnlineSignInWindowController.h"
#include "QBYWebSession.h"
#include "ShopFixture.h"
#include "engine/QBYCookieStorage.h"
#include "platform/MainQueue.h"
#include "support/GtkTestSupport.h"
#include "support/TestSupport.h"

namespace porvane::app {
namespace {

using qby::test::iterateUntil;
using test::ShopFixture;
using namespace std::chrono_literals;

class WebSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(qby::test::initGtk());
    Gtk::init_gtkmm_internals();
    ASSERT_TRUE(shop.listening());
  }
  ShopFixture shop;
};

bool hasCookieNamed(const qby::CookieList& cookies, const std::string& name) {
  for (const auto& cookie : cookies)
    if (soup_cookie_get_name(cookie.get()) == name) return true;
  return false;
}

TEST_F(WebSessionTest, ProbeAnswersTheAgentWithoutLoadingThePage) {
  auto probe = makeWebKitUserAgentProbe();
  std::optional<std::string> agent;
  bool answered = false;
  probe->probeUserAgent(shop.url("/version-check"), [&](std::optional<std::string> value) {
    agent = std::move(value);
    answered = true;
  });
  ASSERT_TRUE(iterateUntil([&] { return answered; }, 20s));
  ASSERT_TRUE(agent);
  EXPECT_NE(agent->find("AppleWebKit"), std::string::npos) << *agent;
  qby::test::iterateFor(300ms);
  EXPECT_TRUE(shop.seen().empty());
}

TEST_F(WebSessionTest, SavedSessionCookiesReachANewSignInWindow) {
  // A session cookie (no expiry) the last update run saved: it never reaches the group's
  // file, so only the hand-over can bring it into the web view.
  auto* raw = soup_cookie_new("session-id", "258-7713340-0416411", "127.0.0.1", "/", -1);
  qby::CookieList cookies;
  cookies.emplace_back(raw);
  ASSERT_TRUE(qby::saveSessionCookies(cookies, qby::QBYAppGroupID, qby::QBYSessionDataLabel));
  ASSERT_FALSE(hasCookieNamed(qby::groupCookies(), "session-id"));

  std::vector<std::string> started;
  QBYOnlineSignInWindowController window(
      [&](const std::string& domain, const std::optional<std::string>&,
          std::weak_ptr<qby::QBYDeliveriesUpdaterCaptureView>) { started.push_back(domain); });
  window.signInForURL(shop.url("/gp/your-account/order-history"), shop.host(),
                      ShopFixture::kAccount, false);
  ASSERT_TRUE(iterateUntil([&] { return window.pane().cookiesReady(); }, 20s));
  ASSERT_TRUE(iterateUntil(
      [&] {
        auto seen = shop.seen();
        return !seen.empty() && seen.back() == "/gp/your-account/order-history";
      },
      20s));
  qby::test::iterateFor(500ms);
  // Signed in straight away: the order page came without a detour to the sign-in form.
  for (const auto& path : shop.seen()) EXPECT_NE(path, "/ap/signin");
  // ...yet nobody submitted a form, so the sign-in does not complete by itself.
  EXPECT_TRUE(started.empty());
}

TEST_F(WebSessionTest, RemovingWebsiteDataEmptiesTheViewsStoreAndTheGroupFile) {
  auto* session = webNetworkSession();
  ASSERT_TRUE(session);
  auto* manager = webkit_network_session_get_cookie_manager(session);
  SoupCookie* cookie = soup_cookie_new("remember-me", "1", "127.0.0.1", "/", 3600);
  bool added = false;
  webkit_cookie_manager_add_cookie(
      manager, cookie, nullptr,
      +[](GObject* source, GAsyncResult* result, gpointer data) {
        *static_cast<bool*>(data) =
            webkit_cookie_manager_add_cookie_finish(WEBKIT_COOKIE_MANAGER(source), result, nullptr);
      },
      &added);
  soup_cookie_free(cookie);
  ASSERT_TRUE(iterateUntil([&] { return added; }, 10s));
  ASSERT_TRUE(iterateUntil([] { return hasCookieNamed(qby::groupCookies(), "remember-me"); }, 10s));

  bool removed = false;
  makeWebKitWebsiteDataRemover()->removeAllWebsiteData([&] { removed = true; });
  ASSERT_TRUE(iterateUntil([&] { return removed; }, 10s));
  EXPECT_TRUE(
      iterateUntil([] { return !hasCookieNamed(qby::groupCookies(), "remember-me"); }, 10s));
}

TEST(SignInAddress, StartsAtTheOrderListOfTheStorefront) {
  EXPECT_EQ(QBYOnlineSignInViewController::signInURLForService("www.amazon.co.uk"),
            "https://www.amazon.co.uk/gp/css/order-history");
  EXPECT_EQ(QBYOnlineSignInViewController::signInURLForService("www.amazon.com/url"),
            "https://www.amazon.com/gp/css/order-history");
  EXPECT_EQ(QBYOnlineSignInViewController::signInURLForService("www.amazon.at"),
            "https://www.amazon.de/gp/css/order-history");
  EXPECT_EQ(QBYOnlineSignInViewController::signInURLForService("shop.example.com"),
            "https://shop.example.com/");
  EXPECT_EQ(QBYOnlineSignInViewController::signInURLForService(""), "");
  EXPECT_EQ(QBYOnlineSignInViewController::signInURLForService("/path"), "");
  EXPECT_EQ(QBYOnlineSignInViewController::signInURLForService("evil.com@x"), "");
}

}  // namespace
}  // namespace porvane::app
