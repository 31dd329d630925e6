// A shop that needs a sign-in, end to end with the real updater and tracking scripts: the
// first update asks for the sign-in, the sign-in window's submitted form lets the updater read
// the order through the window, and the next update, with no window, is still signed in
// through the group's cookie file.
#include <gtest/gtest.h>
#include <gtkmm/init.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QBYOnlineSignInWindowController.h"
#include "ShopFixture.h"
#include "engine/QBYCookieStorage.h"
#include "engine/QBYDeliveriesUpdater.h"
#include "engine/QBYPasswordManager.h"
#include "engine/QBYUserAgentChecker.h"
#include "platform/MainQueue.h"
#include "platform/Value.h"
#include "support/GtkTestSupport.h"
#include "support/TestSupport.h"

namespace porvane::app {
namespace {

namespace fs = std::filesystem;
using qby::test::iterateUntil;
using test::ShopFixture;
using namespace std::chrono_literals;

class RecordingDelegate : public qby::QBYDeliveriesUpdaterDelegate {
 public:
  void updateDeliveryWithResults(const qby::Dictionary& results) override {
    this->results.push_back(results);
  }
  void completeUpdateWithSuccess(bool) override { ++completions; }
  void completeTroubleshootingWithLogs(const std::string&) override {}
  void handleException(const std::string& message) override { exceptions.push_back(message); }

  std::vector<qby::Dictionary> results;
  int completions = 0;
  std::vector<std::string> exceptions;
};

class SignedInUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(qby::test::initGtk());
    Gtk::init_gtkmm_internals();
    ASSERT_TRUE(shop.listening());
    const fs::path scripts = qby::test::makeTempDir("scripts-") / "scripts";
    fs::create_directories(scripts);
    for (const char* name : {"Common.js", "Guess.js", "Strings.js", "Main.js"})
      fs::copy_file(fs::path(PORVANE_SCRIPTS_SOURCE_DIR) / name, scripts / name);
    fs::copy_file(PORVANE_SERVICES_SCRIPT, scripts / "Services.js");
    setenv("PORVANE_RESOURCE_DIR", scripts.parent_path().c_str(), 1);
    setenv("PORVANE_FIXTURE_SERVER", shop.url("").c_str(), 1);
    ASSERT_TRUE(qby::QBYPasswordManager::deletePasswordForAccount(ShopFixture::kAccount, kService));
    // Session cookies an earlier case saved live in the keyring, which the whole test run
    // shares: they would sign this case in before it starts.
    ASSERT_TRUE(qby::deleteSessionCookiesForGroup(qby::QBYAppGroupID));
  }

  void TearDown() override {
    if (updater) updater->invalidate();
    updater.reset();
    qby::MainQueue::drain();
    unsetenv("PORVANE_FIXTURE_SERVER");
  }

  std::shared_ptr<qby::QBYDeliveriesUpdater> newUpdater() {
    if (updater) updater->invalidate();
    updater = qby::QBYDeliveriesUpdater::deliveriesUpdater(std::nullopt, false);
    updater->setDelegate(delegate);
    updater->setUserAgent(std::string(qby::QBYUserAgentDesktop));
    return updater;
  }

  qby::Array deliveries() const {
    auto value =
        qby::Value::fromJSON(std::string(R"([{"uuid": "6B1F0D52-3C1E-4A57-9B0E-7F6C2D1A9E44",
        "hash": "h1", "name": "Kettle", "from": "www.amazon.com", "no": "114-3941689-8772232",
        "extra": ")") + ShopFixture::kAccount +
                             R"("}])");
    return value && value->arrayPtr() ? *value->arrayPtr() : qby::Array{};
  }

  std::string lastStatusAndTap() const {
    if (delegate->results.empty()) return "none";
    const auto& last = delegate->results.back();
    return std::to_string(last["status"].asInteger().value_or(-99)) + "/" +
           last["tap"].asString().value_or("?");
  }

  static constexpr const char* kService = "www.amazon.com";
  ShopFixture shop;
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  std::shared_ptr<qby::QBYDeliveriesUpdater> updater;
};

TEST_F(SignedInUpdateTest, SignInOnceThenUpdateInTheBackground) {
  // Not signed in: the order page sends the customer to the sign-in form.
  newUpdater()->updateDeliveriesWithSettings(deliveries());
  ASSERT_TRUE(iterateUntil([&] { return delegate->completions == 1; }, 30s));
  EXPECT_EQ(lastStatusAndTap(), "0/signin");

  // The sign-in window: the account's stored password is filled in, the user submits.
  ASSERT_TRUE(qby::QBYPasswordManager::setPassword(ShopFixture::kPassword, ShopFixture::kAccount,
                                                   kService));
  auto window = std::make_unique<QBYOnlineSignInWindowController>(
      [&](const std::string& domain, const std::optional<std::string>& extra,
          std::weak_ptr<qby::QBYDeliveriesUpdaterCaptureView> view) {
        updater->signInForDomain(domain, extra, std::move(view));
        updater->updateDeliveriesWithSettings(deliveries());
      });
  window->signInForURL(shop.url("/ap/signin"), kService, ShopFixture::kAccount, false);
  ASSERT_TRUE(iterateUntil([&] { return window->pane().cookiesReady(); }, 20s));
  // Submits once the page script has filled the password.
  const std::string submit =
      "(function(){var p=document.getElementById('ap_password');"
      "if(!p||p.value==='')return false;"
      "document.getElementById('signin-form').requestSubmit();return true;})()";
  bool submitted = false;
  ASSERT_TRUE(iterateUntil(
      [&] {
        auto state = std::make_shared<std::pair<bool, bool>>(false, false);
        webkit_web_view_evaluate_javascript(
            window->pane().webView(), submit.c_str(), -1, nullptr, nullptr, nullptr,
            +[](GObject* source, GAsyncResult* result, gpointer data) {
              std::unique_ptr<std::shared_ptr<std::pair<bool, bool>>> state(
                  static_cast<std::shared_ptr<std::pair<bool, bool>>*>(data));
              JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source),
                                                                           result, nullptr);
              (*state)->second = value && jsc_value_to_boolean(value);
              if (value) g_object_unref(value);
              (*state)->first = true;
            },
            new std::shared_ptr<std::pair<bool, bool>>(state));
        iterateUntil([&] { return state->first; }, 5s);
        submitted = state->second;
        return submitted;
      },
      20s));

  // The updater reads the order through the window, hands the cookies over and the window
  // closes.
  ASSERT_TRUE(iterateUntil([&] { return delegate->completions == 2; }, 30s));
  EXPECT_EQ(lastStatusAndTap(), "2/");
  ASSERT_TRUE(iterateUntil([&] { return !window->get_visible(); }, 10s));
  EXPECT_TRUE(window->pane().captureComplete());
  window.reset();
  qby::MainQueue::drain();

  // The next update, a new updater and no window: still signed in.
  newUpdater()->updateDeliveriesWithSettings(deliveries());
  ASSERT_TRUE(iterateUntil([&] { return delegate->completions == 3; }, 30s));
  EXPECT_EQ(lastStatusAndTap(), "2/");
  EXPECT_TRUE(delegate->exceptions.empty());
  EXPECT_EQ(shop.signIns(), 1);
}

}  // namespace
}  // namespace porvane::app
