// The sign-in window against a shop on loopback: the stored account filled in, a submitted
// sign-in completing the capture, order pages handed back as HTML one request at a time, the
// cookies handed over and seen by a later update without any window, the password prompt,
// and hostile pages that must end a page request with an error instead of a hang.
#include <gtest/gtest.h>

#include <gtkmm/init.h>
#include <jsc/jsc.h>
#include <libsoup/soup.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QBYOnlineSignInWindowController.h"
#include "ShopFixture.h"
#include "engine/QBYCookieStorage.h"
#include "engine/QBYPasswordManager.h"
#include "manager/QBYDeliveriesManager.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "store/QBYDataStore.h"
#include "support/GtkTestSupport.h"
#include "support/TestSupport.h"

namespace porvane::app {
namespace {

using qby::test::iterateFor;
using qby::test::iterateUntil;
using qby::test::saveScreenshot;
using test::ShopFixture;
using namespace std::chrono_literals;

struct PageAnswer {
  std::optional<std::string> html;
  std::optional<qby::QBYError> error;
};

struct StartedSignIn {
  std::string domain;
  std::optional<std::string> extra;
  std::weak_ptr<qby::QBYDeliveriesUpdaterCaptureView> view;
};

class SignInWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(qby::test::initGtk());
    Gtk::init_gtkmm_internals();
    ASSERT_TRUE(shop.listening());
    // The keyring outlives a test program; every case starts without the shop's password.
    ASSERT_TRUE(
        qby::QBYPasswordManager::deletePasswordForAccount(ShopFixture::kAccount, shop.host()));
    window = std::make_unique<QBYOnlineSignInWindowController>(
        [this](const std::string& domain, const std::optional<std::string>& extra,
               std::weak_ptr<qby::QBYDeliveriesUpdaterCaptureView> view) {
          started.push_back({domain, extra, std::move(view)});
        });
    window->setPasswordPrompt(
        [this](std::function<void(bool)> answer) { prompts.push_back(std::move(answer)); });
  }

  void TearDown() override {
    window.reset();
    qby::MainQueue::drain();
  }

  QBYOnlineSignInViewController& pane() { return window->pane(); }

  // Runs a script in the shown page and answers its value as text ("" when it has none).
  std::string evaluate(const std::string& script) {
    struct Result {
      bool done = false;
      std::string text;
    };
    auto result = std::make_shared<Result>();
    webkit_web_view_evaluate_javascript(
        pane().webView(), script.c_str(), -1, nullptr, nullptr, nullptr,
        +[](GObject* source, GAsyncResult* async, gpointer data) {
          std::unique_ptr<std::shared_ptr<Result>> result(
              static_cast<std::shared_ptr<Result>*>(data));
          JSCValue* value =
              webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), async, nullptr);
          if (value) {
            char* text = jsc_value_to_string(value);
            (*result)->text = text ? text : "";
            g_free(text);
            g_object_unref(value);
          }
          (*result)->done = true;
        },
        new std::shared_ptr<Result>(result));
    iterateUntil([&] { return result->done; });
    return result->text;
  }

  // The window as the virtual display shows it, and the page as the web view draws it (its
  // content comes from WebKit's own process, which a widget snapshot does not reach).
  void saveScreenshots(const std::string& name) {
    saveScreenshot(GTK_WIDGET(window->gobj()), name);
    bool done = false;
    struct Target {
      std::string path;
      bool* done;
    };
    const auto path = (qby::test::screenshotFolder() / (name + "-page.png")).string();
    webkit_web_view_get_snapshot(
        pane().webView(), WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
        +[](GObject* source, GAsyncResult* result, gpointer data) {
          std::unique_ptr<Target> target(static_cast<Target*>(data));
          GdkTexture* texture =
              webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
          // On a busy machine WebKit may not have drawn the page yet: an empty snapshot is no
          // picture to keep, and no failure of what the case checks.
          if (texture && gdk_texture_get_width(texture) > 0 && gdk_texture_get_height(texture) > 0)
            EXPECT_TRUE(gdk_texture_save_to_png(texture, target->path.c_str())) << target->path;
          else
            std::fprintf(stderr, "The page was not drawn yet; no picture %s\n",
                         target->path.c_str());
          if (texture) g_object_unref(texture);
          *target->done = true;
        },
        new Target{path, &done});
    iterateUntil([&] { return done; });
  }

  bool pageShows(const std::string& text) {
    return evaluate("document.body ? document.body.innerHTML : ''").find(text) != std::string::npos;
  }

  std::shared_ptr<PageAnswer> request(const std::string& path) {
    auto answer = std::make_shared<PageAnswer>();
    auto done = std::make_shared<bool>(false);
    pane().captureView()->captureResponseFromURL(
        shop.url(path), std::nullopt,
        [answer](std::optional<std::string> html, std::optional<qby::QBYError> error) {
          answer->html = std::move(html);
          answer->error = std::move(error);
          if (!answer->html && !answer->error) answer->error = qby::QBYError{};
        });
    return answer;
  }

  static bool answered(const std::shared_ptr<PageAnswer>& answer) {
    return answer->html || answer->error;
  }

  void signInThroughForm() {
    ASSERT_TRUE(qby::QBYPasswordManager::setPassword(ShopFixture::kPassword, ShopFixture::kAccount,
                                                     shop.host()));
    window->signInForURL(shop.url("/ap/signin"), shop.host(), ShopFixture::kAccount, false);
    ASSERT_TRUE(iterateUntil(
        [&] {
          return evaluate(
                     "document.getElementById('ap_password') ? "
                     "document.getElementById('ap_password').value : ''") == ShopFixture::kPassword;
        },
        20s));
    EXPECT_EQ(evaluate("document.getElementById('ap_email').value"), ShopFixture::kAccount);
    saveScreenshots("signin-filled");
    evaluate("document.getElementById('signin-form').requestSubmit(); 1");
    ASSERT_TRUE(iterateUntil([&] { return !started.empty(); }, 20s));
  }

  ShopFixture shop;
  std::unique_ptr<QBYOnlineSignInWindowController> window;
  std::vector<StartedSignIn> started;
  std::vector<std::function<void(bool)>> prompts;
};

TEST_F(SignInWindowTest, SubmittedSignInCapturesOrderPagesAndHandsOverCookies) {
  qby::test::LogCapture logs;
  signInThroughForm();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].domain, shop.host());
  EXPECT_EQ(started[0].extra, std::optional<std::string>(ShopFixture::kAccount));
  EXPECT_TRUE(pane().captureStarted());
  EXPECT_FALSE(window->doneButton().get_sensitive());
  EXPECT_EQ(shop.signIns(), 1);
  // The typed password was the stored one: nothing to ask.
  EXPECT_TRUE(
      iterateUntil([&] { return !logs.linesContaining("Password is already saved").empty(); }, 5s));
  EXPECT_TRUE(prompts.empty());

  // Two requests at once: the second waits for the first.
  auto orders = request("/gp/your-account/order-history");
  auto second = request("/plain");
  EXPECT_EQ(pane().queuedCaptureRequests(), 1u);
  ASSERT_TRUE(iterateUntil([&] { return answered(orders); }, 20s));
  ASSERT_TRUE(orders->html) << orders->error->description();
  EXPECT_NE(orders->html->find(ShopFixture::kOrderText), std::string::npos);
  EXPECT_FALSE(answered(second));
  ASSERT_TRUE(iterateUntil([&] { return answered(second); }, 20s));
  ASSERT_TRUE(second->html);
  EXPECT_NE(second->html->find("second page"), std::string::npos);
  saveScreenshots("signin-captured");

  std::optional<qby::CookieList> handed;
  bool handedOver = false;
  auto view = started[0].view.lock();
  ASSERT_TRUE(view);
  view->completeCaptureWithHandler([&](std::optional<qby::CookieList> cookies) {
    handed = std::move(cookies);
    handedOver = true;
  });
  ASSERT_TRUE(iterateUntil([&] { return handedOver; }, 10s));
  ASSERT_TRUE(handed);
  std::vector<std::string> names;
  for (const auto& cookie : *handed) names.push_back(soup_cookie_get_name(cookie.get()));
  EXPECT_NE(std::find(names.begin(), names.end(), "session-id"), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), "session-token"), names.end());
  EXPECT_TRUE(pane().captureComplete());
  EXPECT_FALSE(window->get_visible());

  // A later update, no window: a fresh jar on the shared file is still signed in.
  window.reset();
  qby::MainQueue::drain();
  ASSERT_TRUE(iterateUntil(
      [] {
        for (const auto& cookie : qby::groupCookies())
          if (std::string(soup_cookie_get_name(cookie.get())) == "session-id") return true;
        return false;
      },
      10s));
  auto jar = qby::groupCookieJar();
  ASSERT_TRUE(jar);
  auto session = qby::GObjectPtr<SoupSession>::adopt(soup_session_new());
  soup_session_add_feature(session.get(), SOUP_SESSION_FEATURE(jar.get()));
  auto message = qby::GObjectPtr<SoupMessage>::adopt(
      soup_message_new("GET", shop.url("/gp/your-account/order-history").c_str()));
  GBytes* body = nullptr;
  bool finished = false;
  soup_session_send_and_read_async(
      session.get(), message.get(), G_PRIORITY_DEFAULT, nullptr,
      +[](GObject* source, GAsyncResult* result, gpointer data) {
        auto* state = static_cast<std::pair<GBytes**, bool*>*>(data);
        *state->first = soup_session_send_and_read_finish(SOUP_SESSION(source), result, nullptr);
        *state->second = true;
      },
      new std::pair<GBytes**, bool*>(&body, &finished));
  ASSERT_TRUE(iterateUntil([&] { return finished; }, 10s));
  ASSERT_TRUE(body);
  gsize size = 0;
  const auto* data = static_cast<const char*>(g_bytes_get_data(body, &size));
  const std::string page(data ? data : "", size);
  g_bytes_unref(body);
  EXPECT_NE(page.find(ShopFixture::kOrderText), std::string::npos);
}

// Asks for a page when the web view reports the start of the blank page a completed sign-in
// leaves it on, before the view's own handlers hear of that start: as an updater's first
// request does when it arrives in between.
struct RequestOnBlankStart {
  WebKitWebView* view = nullptr;
  std::function<std::shared_ptr<PageAnswer>()> request;
  std::shared_ptr<PageAnswer> answer;
};

TEST_F(SignInWindowTest, ARequestMadeAsTheSignInCompletesReadsItsOwnPage) {
  RequestOnBlankStart hook{pane().webView(),
                           [this] { return request("/gp/your-account/order-history"); }, nullptr};
  const guint signal = g_signal_lookup("load-changed", WEBKIT_TYPE_WEB_VIEW);
  const gulong id = g_signal_add_emission_hook(
      signal, 0,
      +[](GSignalInvocationHint*, guint count, const GValue* values, gpointer data) -> gboolean {
        auto* hook = static_cast<RequestOnBlankStart*>(data);
        if (count < 2 || g_value_get_object(&values[0]) != hook->view || hook->answer) return TRUE;
        const char* uri = webkit_web_view_get_uri(hook->view);
        if (g_value_get_enum(&values[1]) == WEBKIT_LOAD_STARTED &&
            g_strcmp0(uri, "about:blank") == 0)
          hook->answer = hook->request();
        return TRUE;
      },
      &hook, nullptr);
  // The hook points at this frame: it goes with it, also when an assertion ends the case.
  const std::unique_ptr<void, std::function<void(void*)>> removal(
      &hook, [signal, id](void*) { g_signal_remove_emission_hook(signal, id); });
  signInThroughForm();
  ASSERT_TRUE(iterateUntil([&] { return hook.answer != nullptr; }, 20s));
  ASSERT_TRUE(iterateUntil([&] { return answered(hook.answer); }, 20s));
  ASSERT_TRUE(hook.answer->html) << hook.answer->error->description();
  EXPECT_NE(hook.answer->html->find(ShopFixture::kOrderText), std::string::npos)
      << *hook.answer->html;
}

TEST_F(SignInWindowTest, CompletionNeedsASubmissionAndManualSignInNeedsDone) {
  // The completion markup on a page nobody submitted a form for.
  window->signInForURL(shop.url("/welcome"), shop.host(), ShopFixture::kAccount, false);
  ASSERT_TRUE(iterateUntil([&] { return pageShows("nav-logobar-greeting"); }, 20s));
  iterateFor(500ms);
  EXPECT_TRUE(started.empty());
  EXPECT_FALSE(pane().readyToDismiss());

  // A manual sign-in: the submitted form reaches the order page, yet only "Done" ends it.
  ASSERT_TRUE(qby::QBYPasswordManager::setPassword(ShopFixture::kPassword, ShopFixture::kAccount,
                                                   shop.host()));
  window->signInForURL(shop.url("/ap/signin"), shop.host(), ShopFixture::kAccount, true);
  EXPECT_TRUE(window->doneButton().get_visible());
  ASSERT_TRUE(iterateUntil(
      [&] {
        return evaluate(
                   "location.pathname + '|' + "
                   "((document.getElementById('ap_password') || {}).value || '')") ==
               std::string("/ap/signin|") + ShopFixture::kPassword;
      },
      20s));
  evaluate("document.getElementById('signin-form').requestSubmit(); 1");
  ASSERT_TRUE(iterateUntil([&] { return pageShows(ShopFixture::kOrderText); }, 20s));
  iterateFor(500ms);
  EXPECT_TRUE(pane().readyToDismiss());
  EXPECT_TRUE(started.empty());
  saveScreenshots("signin-manual-before-done");
  window->doneButton().activate();
  ASSERT_TRUE(iterateUntil([&] { return !started.empty(); }));
  EXPECT_EQ(started[0].domain, shop.host());
  EXPECT_FALSE(window->doneButton().get_sensitive());
  // Pressing it again does not start a second update.
  window->completeSignIn();
  iterateFor(100ms);
  EXPECT_EQ(started.size(), 1u);
}

TEST_F(SignInWindowTest, NewPasswordIsOfferedAndTheWindowWaitsForTheAnswer) {
  // Nothing stored: the fields stay empty and the user types a password.
  window->signInForURL(shop.url("/ap/signin"), shop.host(), ShopFixture::kAccount, false);
  ASSERT_TRUE(iterateUntil([&] { return pageShows("signin-form"); }, 20s));
  iterateFor(300ms);
  EXPECT_EQ(evaluate("document.getElementById('ap_password').value"), "");
  evaluate(std::string("document.getElementById('ap_email').value = '") + ShopFixture::kAccount +
           "'; document.getElementById('ap_password').value = 's3cret \\'quoted\" pass'; "
           "document.getElementById('signin-form').requestSubmit(); 1");
  ASSERT_TRUE(iterateUntil([&] { return prompts.size() == 1 && !started.empty(); }, 20s));
  EXPECT_TRUE(pane().promptingToSavePassword());

  // The capture ends while the prompt is open: the window stays.
  bool handedOver = false;
  started[0].view.lock()->completeCaptureWithHandler(
      [&](std::optional<qby::CookieList>) { handedOver = true; });
  ASSERT_TRUE(iterateUntil([&] { return handedOver; }, 10s));
  EXPECT_TRUE(window->get_visible());
  saveScreenshots("signin-password-prompt");

  prompts[0](true);
  EXPECT_FALSE(window->get_visible());
  EXPECT_EQ(qby::QBYPasswordManager::passwordForAccount(ShopFixture::kAccount, shop.host(),
                                                        std::nullopt, std::nullopt),
            std::optional<std::string>(ShopFixture::kPassword));
}

TEST_F(SignInWindowTest, HostilePagesEndTheRequestWithAnError) {
  pane().setPageTimeout(2.0);
  window->present();
  auto never = request("/never");
  auto loop = request("/loop");
  auto broken = request("/broken");
  auto garbage = request("/garbage");
  auto plain = request("/plain");
  ASSERT_TRUE(iterateUntil([&] { return answered(never); }, 15s));
  EXPECT_FALSE(never->html);
  EXPECT_EQ(never->error->domain, "com.quillbay.Porvane.SignIn");
  ASSERT_TRUE(iterateUntil([&] { return answered(loop); }, 15s));
  EXPECT_FALSE(loop->html) << *loop->html;
  ASSERT_TRUE(iterateUntil([&] { return answered(broken); }, 15s));
  EXPECT_FALSE(broken->html);
  EXPECT_EQ(broken->error->code, 500);
  // Nonsense on the channel is no page failure and breaks nothing after it.
  ASSERT_TRUE(iterateUntil([&] { return answered(garbage); }, 15s));
  ASSERT_TRUE(garbage->html);
  EXPECT_NE(garbage->html->find("garbage sent"), std::string::npos);
  ASSERT_TRUE(iterateUntil([&] { return answered(plain); }, 15s));
  ASSERT_TRUE(plain->html);
  EXPECT_NE(plain->html->find("second page"), std::string::npos);
  EXPECT_TRUE(prompts.empty());
  saveScreenshots("signin-after-hostile-pages");
}

TEST_F(SignInWindowTest, ClosingTheWindowAnswersWaitingRequests) {
  window->present();
  auto never = request("/never");
  auto queued = request("/plain");
  ASSERT_TRUE(iterateUntil([&] { return pane().captureRequestLoading(); }));
  window->close();
  EXPECT_TRUE(answered(never));
  EXPECT_TRUE(answered(queued));
  EXPECT_FALSE(never->html);
  EXPECT_FALSE(queued->html);
  // The updater may still hold the view; asking it now answers at once.
  auto view = pane().captureView();
  window.reset();
  bool cookiesAnswered = false;
  view->completeCaptureWithHandler([&](std::optional<qby::CookieList> cookies) {
    cookiesAnswered = true;
    EXPECT_FALSE(cookies);
  });
  EXPECT_TRUE(cookiesAnswered);
}

// Records the sign-in the manager hands to its updater.
class SignInRecordingUpdater : public qby::QBYDeliveriesUpdaterHandle {
 public:
  void setDelegate(std::weak_ptr<qby::QBYDeliveriesUpdaterDelegate>) override {}
  void updateDeliveriesWithSettings(const qby::Array&) override {}
  void startTroubleshooting() override {}
  void updateLogs() override {}
  void signInForDomain(const std::string& domain, const std::optional<std::string>& extra,
                       std::weak_ptr<qby::QBYDeliveriesUpdaterCaptureView> view) override {
    signIns.push_back({domain, extra, std::move(view)});
  }
  void invalidate() override {}
  void reduceMemoryUsage() override {}
  bool busy() const override { return false; }
  bool configurationFailed() const override { return false; }
  std::vector<StartedSignIn> signIns;
};

TEST(SignInWindowManager, DoneHandsTheWindowToTheManagersUpdater) {
  ASSERT_TRUE(qby::test::initGtk());
  Gtk::init_gtkmm_internals();
  ShopFixture shop;
  ASSERT_TRUE(shop.listening());
  auto store =
      std::make_shared<qby::QBYDataStore>(qby::test::makeTempDir("store") / "Porvane.sqlite");
  ASSERT_TRUE(store->available());
  std::shared_ptr<SignInRecordingUpdater> updater;
  qby::QBYDeliveriesManager::Options options;
  options.updaterFactory = [&](std::optional<std::filesystem::path>, bool) {
    updater = std::make_shared<SignInRecordingUpdater>();
    return updater;
  };
  options.parentAppOpen = [] { return false; };
  options.listenForActions = false;
  auto manager = qby::QBYDeliveriesManager::create(std::move(options));
  manager->setDataStore(store);

  auto window = QBYOnlineSignInWindowController::forManager(*manager);
  window->signInForURL(shop.url("/welcome"), shop.host(), ShopFixture::kAccount, true);
  ASSERT_TRUE(iterateUntil([&] { return window->pane().cookiesReady(); }, 20s));
  window->doneButton().activate();
  ASSERT_TRUE(iterateUntil([&] { return updater && !updater->signIns.empty(); }));
  EXPECT_EQ(updater->signIns[0].domain, shop.host());
  EXPECT_EQ(updater->signIns[0].extra, std::optional<std::string>(ShopFixture::kAccount));
  EXPECT_EQ(updater->signIns[0].view.lock(), window->pane().captureView());
  window.reset();
  qby::MainQueue::drain();
  manager.reset();
}

TEST(PasswordSearchHost, DropsOnlyOneLeadingShopPrefix) {
  EXPECT_EQ(QBYWebWindowController::passwordSearchHost("www.example.com"), "example.com");
  EXPECT_EQ(QBYWebWindowController::passwordSearchHost("checkout.example.com"), "example.com");
  EXPECT_EQ(QBYWebWindowController::passwordSearchHost("secure12.store.example.com"),
            "example.com");
  EXPECT_EQ(QBYWebWindowController::passwordSearchHost("www.www.example.com"), "www.example.com");
  EXPECT_EQ(QBYWebWindowController::passwordSearchHost("shop.www.example.com"),
            "shop.www.example.com");
  EXPECT_EQ(QBYWebWindowController::passwordSearchHost(""), "");
}

}  // namespace
}  // namespace porvane::app
