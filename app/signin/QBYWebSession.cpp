#include "QBYWebSession.h"

#include <libsoup/soup.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <system_error>

#include "engine/QBYCookieStorage.h"
#include "engine/QBYUserAgentChecker.h"
#include "platform/GLibPtr.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"

namespace porvane::app {

namespace {

// Holds the session for the life of the program: web views, the probe and the remover all
// need the same one, and WebKit's network process keeps its file open meanwhile.
qby::GObjectPtr<WebKitNetworkSession>& sessionHolder() {
  static qby::GObjectPtr<WebKitNetworkSession> session;
  return session;
}

using AsyncBody = std::function<void(GObject* source, GAsyncResult* result)>;

void runAsyncBody(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<AsyncBody> body(static_cast<AsyncBody*>(data));
  (*body)(source, result);
}

gpointer asyncBody(AsyncBody body) {
  return new AsyncBody(std::move(body));
}

// Counts the cookies still being set and calls done once, after the last.
struct CookieBatch {
  std::size_t remaining = 0;
  std::function<void()> done;
  void finishOne() {
    if (remaining > 0 && --remaining == 0 && done) qby::MainQueue::async(std::move(done));
  }
};

class WebKitUserAgentProbe : public qby::QBYUserAgentProbe {
 public:
  void probeUserAgent(const std::string& url,
                      std::function<void(std::optional<std::string>)> answer) override {
    struct Probe {
      qby::GObjectPtr<GtkWidget> view;
      std::function<void(std::optional<std::string>)> answer;
    };
    auto* probe =
        new Probe{qby::GObjectPtr<GtkWidget>::adopt(newSessionWebView(nullptr)), std::move(answer)};
    g_signal_connect(probe->view.get(), "decide-policy",
                     G_CALLBACK(+[](WebKitWebView* view, WebKitPolicyDecision* decision,
                                    WebKitPolicyDecisionType type, gpointer data) -> gboolean {
                       if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) return FALSE;
                       auto* probe = static_cast<Probe*>(data);
                       auto* action = webkit_navigation_policy_decision_get_navigation_action(
                           WEBKIT_NAVIGATION_POLICY_DECISION(decision));
                       auto* request = webkit_navigation_action_get_request(action);
                       auto* headers = webkit_uri_request_get_http_headers(request);
                       const char* header =
                           headers ? soup_message_headers_get_one(headers, "User-Agent") : nullptr;
                       // The navigation request of a fresh view may not carry the header yet;
                       // the agent its settings hold is the one its requests are sent with.
                       if (!header)
                         header =
                             webkit_settings_get_user_agent(webkit_web_view_get_settings(view));
                       std::optional<std::string> agent;
                       if (header && *header) agent = header;
                       webkit_policy_decision_ignore(decision);
                       g_signal_handlers_disconnect_by_data(view, data);
                       auto answer = std::move(probe->answer);
                       // The view may not be destroyed inside its own signal.
                       qby::MainQueue::async([probe] { delete probe; });
                       if (answer) answer(std::move(agent));
                       return TRUE;
                     }),
                     probe);
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(probe->view.get()), url.c_str());
  }
};

class WebKitWebsiteDataRemover : public qby::QBYWebsiteDataRemover {
 public:
  void removeAllWebsiteData(std::function<void()> done) override {
    qby::MainQueue::async([done = std::move(done)]() mutable {
      auto* session = webNetworkSession();
      if (!session) {
        if (done) done();
        return;
      }
      auto* manager = webkit_network_session_get_website_data_manager(session);
      webkit_website_data_manager_clear(
          manager, WEBKIT_WEBSITE_DATA_ALL, 0, nullptr, runAsyncBody,
          asyncBody([done = std::move(done)](GObject* source, GAsyncResult* result) {
            GError* rawError = nullptr;
            if (!webkit_website_data_manager_clear_finish(WEBKIT_WEBSITE_DATA_MANAGER(source),
                                                          result, &rawError)) {
              qby::log("Removing web site data failed: %@",
                       rawError ? rawError->message : "unknown error");
              g_clear_error(&rawError);
            }
            if (done) done();
          }));
    });
  }
};

}  // namespace

WebKitNetworkSession* webNetworkSession() {
  auto& session = sessionHolder();
  if (session) return session.get();
  const auto cookieFile = qby::cookieFileForGroup();
  std::error_code error;
  const auto dataFolder = cookieFile.parent_path() / "WebKit";
  std::filesystem::create_directories(dataFolder / "Data", error);
  if (error) {
    qby::log("Cannot create the web data folder %@: %@", dataFolder.string(), error.message());
    return nullptr;
  }
  std::filesystem::create_directories(dataFolder / "Cache", error);
  session = qby::GObjectPtr<WebKitNetworkSession>::adopt(
      webkit_network_session_new((dataFolder / "Data").c_str(), (dataFolder / "Cache").c_str()));
  webkit_cookie_manager_set_persistent_storage(
      webkit_network_session_get_cookie_manager(session.get()), cookieFile.c_str(),
      WEBKIT_COOKIE_PERSISTENT_STORAGE_SQLITE);
  webkit_cookie_manager_set_accept_policy(webkit_network_session_get_cookie_manager(session.get()),
                                          WEBKIT_COOKIE_POLICY_ACCEPT_NO_THIRD_PARTY);
  return session.get();
}

GtkWidget* newSessionWebView(WebKitUserContentManager* contentManager) {
  auto* session = webNetworkSession();
  return GTK_WIDGET(g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", session,
                                 contentManager ? "user-content-manager" : nullptr, contentManager,
                                 nullptr));
}

void transferSharedCookiesFromGroup(WebKitWebView* webView, std::string_view group,
                                    std::function<void()> done) {
  // The group's lasting cookies are already in the view's store (they share the file);
  // setting them again costs nothing and covers a file written since the session opened.
  // The store is not emptied first: with a shared file that would delete the very cookies
  // background updates rely on, and a failure halfway would lose them.
  auto cookies = qby::groupCookies(group);
  if (auto saved = qby::sessionCookiesForGroup(group)) {
    for (auto& cookie : *saved) cookies.push_back(std::move(cookie));
  }
  auto* session = webkit_web_view_get_network_session(webView);
  if (cookies.empty() || !session) {
    qby::MainQueue::async(std::move(done));
    return;
  }
  auto* manager = webkit_network_session_get_cookie_manager(session);
  auto batch = std::make_shared<CookieBatch>(CookieBatch{cookies.size(), std::move(done)});
  for (const auto& cookie : cookies) {
    webkit_cookie_manager_add_cookie(manager, cookie.get(), nullptr, runAsyncBody,
                                     asyncBody([batch](GObject* source, GAsyncResult* result) {
                                       GError* rawError = nullptr;
                                       if (!webkit_cookie_manager_add_cookie_finish(
                                               WEBKIT_COOKIE_MANAGER(source), result, &rawError)) {
                                         qby::log("Setting a cookie in the web view failed: %@",
                                                  rawError ? rawError->message : "unknown error");
                                         g_clear_error(&rawError);
                                       }
                                       batch->finishOne();
                                     }));
  }
}

std::shared_ptr<qby::QBYUserAgentProbe> makeWebKitUserAgentProbe() {
  return std::make_shared<WebKitUserAgentProbe>();
}

std::shared_ptr<qby::QBYWebsiteDataRemover> makeWebKitWebsiteDataRemover() {
  return std::make_shared<WebKitWebsiteDataRemover>();
}

void installWebKitServices() {
  qby::QBYUserAgentChecker::setDefaultProbe(makeWebKitUserAgentProbe());
  qby::setWebsiteDataRemover(makeWebKitWebsiteDataRemover());
}

}  // namespace porvane::app
