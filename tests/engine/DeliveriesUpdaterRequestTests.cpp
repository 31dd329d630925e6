// Web requests of the deliveries updater: how a script's request is built and sent, how the
// answer is decoded, failures (offline, server errors, refused, never-ending), the capture
// path of a sign-in, extra information and the fixture-server rewrite.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <thread>

#include "DeliveriesUpdaterFixture.h"
#include "engine/QBYUserAgentChecker.h"
#include "platform/Paths.h"
#include "platform/QBYUserDefaults.h"

namespace qby::test {
namespace {

// The header lines the /echo route answers, as a map.
std::map<std::string, std::string> echoed(const std::string& text) {
  std::map<std::string, std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    if (const auto colon = line.find(": "); colon != std::string::npos)
      lines[line.substr(0, colon)] = line.substr(colon + 2);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

// A header the server saw, whatever the case of its name.
std::optional<std::string> header(const std::map<std::string, std::string>& headers,
                                  const std::string& name) {
  for (const auto& [key, value] : headers)
    if (g_ascii_strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  return std::nullopt;
}

class UpdaterRequestTest : public UpdaterTest {
 protected:
  // Fetches one address through the test scripts and answers the delivery's results.
  Dictionary fetch(const std::string& url, const Dictionary& more = {}) {
    Dictionary options{{"url", Value(url)}};
    for (const auto& [key, value] : more) options.set(key, value);
    const std::string uuid = "fetch-" + std::to_string(++fetches_);
    EXPECT_TRUE(run({delivery(uuid, "fetch", options)}));
    return delegate_->resultFor(uuid);
  }
  int fetches_ = 0;
};

// --- Building requests ---

TEST_F(UpdaterRequestTest, WithoutPostDataARequestIsAGet) {
  makeUpdater();
  const auto results = fetch(server_->url("/echo"));
  const auto lines = echoed(results["text"].asString().value_or(""));
  EXPECT_EQ(lines.at("method"), "GET");
  EXPECT_FALSE(header(lines, "Content-type"));
  EXPECT_EQ(results["httpStatus"].asInteger(), 200);
}

TEST_F(UpdaterRequestTest, PostDataMakesAFormPostUnlessATypeIsGiven) {
  makeUpdater();
  auto lines = echoed(
      fetch(server_->url("/echo"), {{"post", Value("a=1&b=%C3%A9")}})["text"].asString().value_or(
          ""));
  EXPECT_EQ(lines.at("method"), "POST");
  EXPECT_EQ(header(lines, "Content-type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(lines.at("body"), "a=1&b=%C3%A9");

  lines = echoed(
      fetch(server_->url("/echo"),
            {{"post", Value("{\"n\":\"é\"}")},
             {"options", Value(Dictionary{{"postType", Value("application/json")}})}})["text"]
          .asString()
          .value_or(""));
  EXPECT_EQ(lines.at("method"), "POST");
  EXPECT_EQ(header(lines, "Content-type"), "application/json");
  EXPECT_EQ(lines.at("body"), "{\"n\":\"é\"}");

  // What an omitted argument turns into, and an empty body, are no post data.
  for (const char* none : {"undefined", ""}) {
    lines = echoed(
        fetch(server_->url("/echo"), {{"post", Value(none)}})["text"].asString().value_or(""));
    EXPECT_EQ(lines.at("method"), "GET") << none;
  }
}

TEST_F(UpdaterRequestTest, HeadersComeFromTheSessionAndTheOptions) {
  setenv("PORVANE_TOKEN_API_LAPOSTE_FR", "okapi-key", 1);
  makeUpdater();
  auto lines = echoed(fetch(server_->url("/echo"))["text"].asString().value_or(""));
  EXPECT_EQ(header(lines, "User-Agent"), std::string(kTestUserAgent));
  EXPECT_FALSE(header(lines, "Referer"));
  EXPECT_FALSE(header(lines, "X-Okapi-Key"));

  const Dictionary options{{"userAgent", Value("ScriptAgent/2")},
                           {"referer", Value("https://www.example.com/start")},
                           {"tokenID", Value("api.laposte.fr")},
                           {"headers", Value(Dictionary{{"X-Custom", Value("custom value")},
                                                        {"Accept-Language", Value("de-DE")},
                                                        {"X-Injected", Value("a\r\nX-Evil: 1")},
                                                        {"Bad Name", Value("x")}})}};
  lines = echoed(
      fetch(server_->url("/echo"), {{"options", Value(options)}})["text"].asString().value_or(""));
  EXPECT_EQ(header(lines, "User-Agent"), "ScriptAgent/2");
  EXPECT_EQ(header(lines, "Referer"), "https://www.example.com/start");
  EXPECT_EQ(header(lines, "X-Okapi-Key"), "okapi-key");
  EXPECT_EQ(header(lines, "X-Custom"), "custom value");
  EXPECT_EQ(header(lines, "Accept-Language"), "de-DE");
  // Headers that would break the request are not sent; only their names are logged.
  EXPECT_FALSE(header(lines, "X-Injected"));
  EXPECT_FALSE(header(lines, "X-Evil"));
  EXPECT_EQ(log_.linesContaining("Ignoring request header X-Injected").size(), 1u);
  EXPECT_EQ(log_.linesContaining("Ignoring request header Bad Name").size(), 1u);
  EXPECT_TRUE(log_.linesContaining("X-Evil").empty());

  // An identifier the token store does not know adds no header.
  lines = echoed(
      fetch(server_->url("/echo"),
            {{"options", Value(Dictionary{{"tokenID", Value("api.unknown.example")}})}})["text"]
          .asString()
          .value_or(""));
  EXPECT_FALSE(header(lines, "X-Okapi-Key"));
}

TEST_F(UpdaterRequestTest, TheRunsUserAgentIsTheSavedOneOrTheCheckersAnswer) {
  // Without a probe the check answers the built-in desktop agent.
  updater_ = QBYDeliveriesUpdater::deliveriesUpdater(std::nullopt, false);
  updater_->setDelegate(delegate_);
  EXPECT_TRUE(run({delivery("1", "fetch", {{"url", Value(server_->url("/echo"))}})}));
  auto lines = echoed(delegate_->resultFor("1")["text"].asString().value_or(""));
  EXPECT_EQ(header(lines, "User-Agent"), QBYUserAgentDesktop);
  EXPECT_EQ(updater_->userAgent(), QBYUserAgentDesktop);
  updater_->invalidate();

  auto& defaults = QBYUserDefaults::sharedDefaults();
  defaults.setObject(Value("SavedAgent/3"), "QBYUserAgent");
  defaults.setObject(Value(QBYUserAgentChecker::currentSystemVersion()), "QBYUserAgentVersion");
  updater_ = QBYDeliveriesUpdater::deliveriesUpdater(std::nullopt, false);
  updater_->setDelegate(delegate_);
  EXPECT_TRUE(run({delivery("2", "fetch", {{"url", Value(server_->url("/echo"))}})}));
  lines = echoed(delegate_->resultFor("2")["text"].asString().value_or(""));
  EXPECT_EQ(header(lines, "User-Agent"), "SavedAgent/3");
}

TEST_F(UpdaterRequestTest, AnInvalidAddressIsAnsweredAtOnceWithNothing) {
  makeUpdater();
  for (const char* address : {"not a url", "ftp://example.com/file", "http://", ""}) {
    const auto results = fetch(address);
    EXPECT_EQ(results["text"].asString(), "") << address;
    EXPECT_EQ(results["httpStatus"].asInteger(), 0) << address;
    EXPECT_EQ(results["offline"].asBool(), false) << address;
  }
  EXPECT_EQ(log_.linesContaining("Update failed because the URL was invalid: not a url").size(),
            1u);
  EXPECT_TRUE(server_->seen().empty());
}

TEST_F(UpdaterRequestTest, TheFixtureServerRewriteSendsEveryHostToIt) {
  const std::string fixture = "http://127.0.0.1:" + std::to_string(server_->port());
  setenv("PORVANE_FIXTURE_SERVER", fixture.c_str(), 1);
  server_->route("/www.example.com/track", {200, "text/plain", "rewritten"});
  makeUpdater();
  EXPECT_EQ(fetch("https://www.example.com/track?id=1&x=%20")["text"].asString(), "rewritten");
  EXPECT_EQ(fetch("http://www.example.com:8080/track")["text"].asString(), "rewritten");

  const auto seen = server_->seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].path, "/www.example.com/track");
  EXPECT_EQ(seen[0].query, "id=1&x=%20");
  EXPECT_EQ(seen[1].path, "/www.example.com/track");
  EXPECT_EQ(log_.linesContaining("Fixture server rewrite active: " + fixture).size(), 1u);
}

// --- Decoding answers ---

TEST_F(UpdaterRequestTest, AnswersAreDecodedByHeaderOrOptionElseAsUTF8) {
  server_->route("/latin1", {200, "text/html; charset=ISO-8859-1", "caf\xE9 cr\xE8me"});
  server_->route("/undeclared", {200, "text/html", "caf\xE9 cr\xE8me"});
  server_->route("/unknown", {200, "text/html; charset=x-no-such-charset", "caf\xC3\xA9"});
  makeUpdater();
  EXPECT_EQ(fetch(server_->url("/latin1"))["text"].asString(), "café crème");
  EXPECT_EQ(fetch(server_->url("/undeclared"),
                  {{"options", Value(Dictionary{{"encoding", Value("ISO-8859-1")}})}})["text"]
                .asString(),
            "café crème");
  // The option wins over the header.
  EXPECT_EQ(fetch(server_->url("/unknown"),
                  {{"options", Value(Dictionary{{"encoding", Value("UTF-8")}})}})["text"]
                .asString(),
            "café");
  EXPECT_EQ(fetch(server_->url("/unknown"))["text"].asString(), "café");
  EXPECT_EQ(fetch(server_->url("/unknown"),
                  {{"options", Value(Dictionary{{"encoding", Value("no-such-encoding")}})}})["text"]
                .asString(),
            "café");
}

TEST_F(UpdaterRequestTest, ABodyWithNulCharactersReachesTheScriptWhole) {
  server_->route("/nul", {200, "text/plain", std::string("a\0b", 3)});
  makeUpdater();
  EXPECT_EQ(fetch(server_->url("/nul"))["text"].asString(), std::string("a\0b", 3));
}

// --- Failures ---

TEST_F(UpdaterRequestTest, AServerErrorGivesItsStatusAndText) {
  server_->route("/error", {500, "text/plain", "Server error"});
  server_->route("/empty-error", {503, "text/plain", ""});
  makeUpdater();
  auto results = fetch(server_->url("/error"));
  EXPECT_EQ(results["httpStatus"].asInteger(), 500);
  EXPECT_EQ(results["text"].asString(), "Server error");
  EXPECT_EQ(results["offline"].asBool(), false);

  results = fetch(server_->url("/empty-error"));
  EXPECT_EQ(results["httpStatus"].asInteger(), 503);
  EXPECT_EQ(results["text"].asString(), "");
  EXPECT_EQ(results["offline"].asBool(), false);
  EXPECT_EQ(log_.linesContaining("Data task failed with response: ").size(), 1u);
}

TEST_F(UpdaterRequestTest, ARefusedConnectionIsNoOfflineAnswer) {
  // A port that was free a moment ago and has nobody listening now.
  GError* error = nullptr;
  auto socket = GObjectPtr<GSocket>::adopt(
      g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, &error));
  ASSERT_TRUE(socket);
  auto loopback =
      GObjectPtr<GInetAddress>::adopt(g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4));
  auto any = GObjectPtr<GSocketAddress>::adopt(g_inet_socket_address_new(loopback.get(), 0));
  ASSERT_TRUE(g_socket_bind(socket.get(), any.get(), TRUE, &error));
  auto bound = GObjectPtr<GSocketAddress>::adopt(g_socket_get_local_address(socket.get(), &error));
  const int port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound.get()));
  g_socket_close(socket.get(), nullptr);

  makeUpdater();
  // Even with the network reported gone, a refused connection is the server's doing.
  updater_->setNetworkAvailability([] { return false; });
  const auto results = fetch("http://127.0.0.1:" + std::to_string(port) + "/");
  EXPECT_EQ(results["httpStatus"].asInteger(), 0);
  EXPECT_EQ(results["text"].asString(), "");
  EXPECT_EQ(results["offline"].asBool(), false);
}

TEST_F(UpdaterRequestTest, AResponseThatNeverEndsTimesOut) {
  makeUpdater();
  updater_->setRequestTimeout(1);
  const auto results = fetch(server_->url("/endless"));
  // The part that came is no answer.
  EXPECT_EQ(results["text"].asString(), "");
  EXPECT_EQ(results["offline"].asBool(), false);
  EXPECT_EQ(log_.linesContaining("Data task failed with response: ").size(), 1u);
}

TEST_F(UpdaterRequestTest, ARequestTrickledSlowerThanItsDeadlineFails) {
  makeUpdater();
  // Five bytes every 0.2 seconds for 20 seconds: never silent for the limit of 1 second.
  updater_->setRequestTimeout(1);
  const auto results = fetch(server_->url("/trickle"));
  EXPECT_EQ(results["text"].asString(), "");
  EXPECT_EQ(results["offline"].asBool(), false);
  EXPECT_EQ(log_.linesContaining("did not complete within 1 seconds").size(), 1u);
}

TEST_F(UpdaterRequestTest, AResponseBeyondTheSizeLimitFails) {
  server_->route("/huge", {200, "text/plain",
                           std::string(QBYDeliveriesUpdater::kMaximumResponseSize + 1, 'x')});
  makeUpdater();
  const auto results = fetch(server_->url("/huge"));
  EXPECT_EQ(results["text"].asString(), "");
  EXPECT_EQ(results["httpStatus"].asInteger(), 200);
  EXPECT_EQ(log_.linesContaining("larger than").size(), 1u);
}

// A resolver that finds no name service, as on a machine without a network.
struct OfflineResolver {
  GResolver parent;
};
struct OfflineResolverClass {
  GResolverClass parent;
};
G_DEFINE_TYPE(OfflineResolver, offline_resolver, G_TYPE_RESOLVER)

GList* offlineLookup(GResolver*, const gchar*, GCancellable*, GError** error) {
  g_set_error_literal(error, G_RESOLVER_ERROR, G_RESOLVER_ERROR_TEMPORARY_FAILURE,
                      "Temporary failure in name resolution");
  return nullptr;
}
GList* offlineLookupWithFlags(GResolver* resolver, const gchar* name, GResolverNameLookupFlags,
                              GCancellable* cancellable, GError** error) {
  return offlineLookup(resolver, name, cancellable, error);
}
void offlineLookupAsync(GResolver* resolver, const gchar*, GCancellable* cancellable,
                        GAsyncReadyCallback callback, gpointer data) {
  GTask* task = g_task_new(resolver, cancellable, callback, data);
  g_task_return_new_error(task, G_RESOLVER_ERROR, G_RESOLVER_ERROR_TEMPORARY_FAILURE,
                          "Temporary failure in name resolution");
  g_object_unref(task);
}
void offlineLookupWithFlagsAsync(GResolver* resolver, const gchar* name, GResolverNameLookupFlags,
                                 GCancellable* cancellable, GAsyncReadyCallback callback,
                                 gpointer data) {
  offlineLookupAsync(resolver, name, cancellable, callback, data);
}
GList* offlineLookupFinish(GResolver*, GAsyncResult* result, GError** error) {
  return static_cast<GList*>(g_task_propagate_pointer(G_TASK(result), error));
}

void offline_resolver_class_init(OfflineResolverClass* klass) {
  GResolverClass* resolver = G_RESOLVER_CLASS(klass);
  resolver->lookup_by_name = offlineLookup;
  resolver->lookup_by_name_async = offlineLookupAsync;
  resolver->lookup_by_name_finish = offlineLookupFinish;
  resolver->lookup_by_name_with_flags = offlineLookupWithFlags;
  resolver->lookup_by_name_with_flags_async = offlineLookupWithFlagsAsync;
  resolver->lookup_by_name_with_flags_finish = offlineLookupFinish;
}
void offline_resolver_init(OfflineResolver*) {}

TEST_F(UpdaterRequestTest, ARequestWhileOfflineIsAnsweredAsOffline) {
  auto resolver = GObjectPtr<GResolver>::adopt(
      static_cast<GResolver*>(g_object_new(offline_resolver_get_type(), nullptr)));
  g_resolver_set_default(resolver.get());
  makeUpdater();
  updater_->setNetworkAvailability([] { return false; });
  auto results = fetch("http://carrier.invalid/track");
  EXPECT_EQ(results["text"].asString(), "");
  EXPECT_EQ(results["httpStatus"].asInteger(), 0);
  EXPECT_EQ(results["offline"].asBool(), true);

  // The same failure with a network present is the name service's fault, not the user's.
  updater_->setNetworkAvailability([] { return true; });
  results = fetch("http://carrier.invalid/track");
  EXPECT_EQ(results["offline"].asBool(), false);
}

// --- Sign-in capture ---

class FakeCaptureView : public QBYDeliveriesUpdaterCaptureView {
 public:
  void captureResponseFromURL(const std::string& url, const std::optional<std::string>& userAgent,
                              CaptureHandler completionHandler) override {
    EXPECT_TRUE(MainQueue::isMainThread());
    urls.push_back(url);
    userAgents.push_back(userAgent);
    // Pages arrive on another thread, as a web view's script messages may.
    std::thread([handler = std::move(completionHandler), page = page] {
      if (page) {
        handler(page, std::nullopt);
      } else {
        handler(std::nullopt, QBYError::make("WebKitNetworkError", 302, "Load failed"));
      }
      // A second answer is ignored.
      handler(std::string("twice"), std::nullopt);
    }).detach();
  }
  void completeCaptureWithHandler(CookiesHandler completionHandler) override {
    EXPECT_TRUE(MainQueue::isMainThread());
    completions++;
    completionHandler(std::nullopt);
  }

  std::optional<std::string> page = std::string("<html>captured</html>");
  std::vector<std::string> urls;
  std::vector<std::optional<std::string>> userAgents;
  int completions = 0;
};

TEST_F(UpdaterRequestTest, ASignInRunUpdatesOnlyItsAccountThroughTheView) {
  makeUpdater();
  auto view = std::make_shared<FakeCaptureView>();
  const Dictionary options{{"url", Value("https://shop.example.com/orders")},
                           {"options", Value(Dictionary{{"userAgent", Value("ViewAgent/1")},
                                                        {"referer", Value("ignored")}})}};
  const Value matching = delivery("match", "fetch", options);
  updater_->signInForDomain("fetch", matching["extra"].asString(), view);
  EXPECT_FALSE(QBYDeliveriesUpdater::needsCookies());

  ASSERT_TRUE(run({delivery("other-service", "status", {{"status", Value(2)}}), matching,
                   delivery("other-account", "fetch", {{"url", Value("https://x.example/")}})}));
  ASSERT_TRUE(waitFor([&] { return view->completions == 1; }));
  settle();

  ASSERT_EQ(delegate_->results().size(), 1u);
  const auto results = delegate_->resultFor("match");
  EXPECT_EQ(results["text"].asString(), "<html>captured</html>");
  EXPECT_EQ(results["httpStatus"].asInteger(), 200);
  EXPECT_EQ(results["offline"].asBool(), false);
  // The sign-in state was reset for the batch.
  EXPECT_EQ(results["manualSignIn"].asString(), "object");
  EXPECT_EQ(view->urls, std::vector<std::string>{"https://shop.example.com/orders"});
  EXPECT_EQ(view->userAgents, std::vector<std::optional<std::string>>{"ViewAgent/1"});
  EXPECT_TRUE(server_->seen().empty());
  // The view could not hand over its cookies: the next run copies them.
  EXPECT_TRUE(QBYDeliveriesUpdater::needsCookies());

  // The capture ended with the run: the next one goes through the session again.
  server_->route("/page", {200, "text/plain", "direct"});
  EXPECT_EQ(fetch(server_->url("/page"))["text"].asString(), "direct");
  EXPECT_EQ(log_.linesContaining("Transferring cookies manually").size(), 1u);
  EXPECT_FALSE(QBYDeliveriesUpdater::needsCookies());
}

TEST_F(UpdaterRequestTest, AFailedCaptureIsAnsweredAsOffline) {
  makeUpdater();
  auto view = std::make_shared<FakeCaptureView>();
  view->page.reset();
  const Value matching = delivery("1", "fetch", {{"url", Value("https://shop.example.com/")}});
  updater_->signInForDomain("fetch", matching["extra"].asString(), view);
  ASSERT_TRUE(run({matching}));
  const auto results = delegate_->resultFor("1");
  EXPECT_EQ(results["text"].asString(), "");
  EXPECT_EQ(results["httpStatus"].asInteger(), 500);
  EXPECT_EQ(results["offline"].asBool(), true);
  EXPECT_EQ(log_.linesContaining("Capture failed with error: ").size(), 1u);
}

// --- Extra information ---

TEST_F(UpdaterRequestTest, ExtraInformationAnswersOnlyTheTableAndConfiguredCredentials) {
  setenv("PORVANE_TOKEN_SECURE_SHIPPINGAPIS_COM", "usps-user", 1);
  setenv("PORVANE_TOKEN_API2_POSTNORD_COM", "postnord-key", 1);
  setenv("PORVANE_CREDENTIAL_WWW_DHL_DE_APIKEY", "dhl-key", 1);
  const auto tokens = Value(Dictionary{
      {"Credentials",
       Value(Dictionary{{"www.ups.com", Value(Dictionary{{"clientID", Value("ups-client")}})}})}});
  writeFile(Paths::sharedContainer() / "Tokens.plist", *tokens.toPlist(Value::PlistFormat::XML));
  makeUpdater();

  struct Case {
    const char* key;
    const char* type;
    std::optional<std::string> answer;
  };
  const std::vector<Case> cases{
      {"www.usps.com", "apiUserID", "usps-user"},
      {"www.posten.se", "apiKey", "postnord-key"},
      {"www.postdanmark.dk", "apiKey", "postnord-key"},
      {"www.dhl.de", "apiKey", "dhl-key"},
      {"www.ups.com", "clientID", "ups-client"},
      // Outside the table and the credential types: undefined.
      {"www.example.com", "apiUserID", std::nullopt},
      {"www.example.com", "clientIPAddress", std::nullopt},
      {"www.posten.se", "apiUserID", std::nullopt},
      {"www.dhl.de", "password", std::nullopt},
      {"www.ups.com", "clientSecret", std::nullopt},
  };
  Array deliveries;
  for (std::size_t i = 0; i < cases.size(); ++i)
    deliveries.push_back(delivery(std::to_string(i), "extraInformation",
                                  {{"key", Value(cases[i].key)}, {"type", Value(cases[i].type)}}));
  ASSERT_TRUE(run(deliveries));
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto results = delegate_->resultFor(std::to_string(i));
    SCOPED_TRACE(std::string(cases[i].key) + " " + cases[i].type);
    if (cases[i].answer) {
      EXPECT_EQ(results["kind"].asString(), "string");
      EXPECT_EQ(results["answer"].asString(), cases[i].answer);
    } else {
      EXPECT_EQ(results["kind"].asString(), "undefined");
    }
  }
  // Credentials never reach the log.
  for (const auto& line : log_.lines()) {
    EXPECT_EQ(line.find("dhl-key"), std::string::npos) << line;
    EXPECT_EQ(line.find("ups-client"), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace qby::test
