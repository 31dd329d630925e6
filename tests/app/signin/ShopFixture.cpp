#include "ShopFixture.h"

#include <cstring>

namespace porvane::app::test {

namespace {

constexpr const char* kSessionValue = "session-id=258-7713340-0416411";

const char* kSignInPage = R"(<!DOCTYPE html><html><head><title>Sign-In</title></head><body>
<form name="signIn" id="signin-form" method="post" action="/ap/signin">
<input type="email" id="ap_email" name="email">
<input type="password" id="ap_password" name="password">
<input type="submit" id="signInSubmit" value="Sign in">
</form></body></html>)";

// What a signed-in customer's order list starts with: the greeting of the navigation bar and
// the order box.
std::string orderPage() {
  return std::string(R"(<!DOCTYPE html><html><head><title>Your Orders</title></head><body>
<div id="nav-tools"><span class="nav-greeting-recognized" id="nav-logobar-greeting">Hello, Buyer</span></div>
<div id="controlsContainer" class="a-row"> </div> <div id="ordersContainer" class="a-section">
<div class="a-box shipment shipment-is-delivered"><span class="a-color-secondary">)") +
         ShopFixture::kOrderText +
         R"(</span><a href="/progress-tracker/package?orderId=1">Track package</a></div>
</div></body></html>)";
}

// An order-details page of the storefront as the updater's module reads it (requests to the
// storefront reach the fixture under "/<host>/…").
const char* kStorefrontOrderPage =
    R"(<!DOCTYPE html><html><head><title>Order Details</title></head><body>
<span class="nav-greeting-recognized" id="nav-logobar-greeting">Hello, Buyer</span>
<div id="orderDetails" class="a-section"><div class="a-box-group od-shipments">
<div class="a-box shipment shipment-is-delivered"><div class="a-box-inner">
<div class="a-row shipment-top-row js-shipment-info-container"><div class="a-row"><span class="a-text-bold">Delivered March 6</span></div></div>
<span class="a-button track-package-button"><a href="/gp/your-account/ship-track?itemId=q1&amp;orderId=114-3941689-8772232">Track package</a></span>
</div></div></div></div></body></html>)";

// Shows the completion markup although nobody submitted a form to get here.
const char* kWelcomePage = R"(<!DOCTYPE html><html><body>
<span class="nav-greeting-recognized" id="nav-logobar-greeting">Hello, Buyer</span>
<form method="post" action="/ap/signin"><input type="email" id="ap_email" name="email">
<input type="password" id="ap_password" name="password"></form></body></html>)";

// Posts everything but a proper message on the sign-in channel, then shows a page.
const char* kGarbagePage = R"(<!DOCTYPE html><html><body><p id="after">garbage sent</p><script>
var ch = window.webkit.messageHandlers.remember;
ch.postMessage(42); ch.postMessage(null); ch.postMessage([1, 2, {email: 'x'}]);
ch.postMessage({email: 17, password: {nested: true}}); ch.postMessage({email: 'a@b'});
ch.postMessage({password: 'p'.repeat(100000), email: '\ud800'});
ch.postMessage('x'.repeat(1000000));
</script></body></html>)";

bool signedIn(SoupServerMessage* message) {
  const char* cookie =
      soup_message_headers_get_one(soup_server_message_get_request_headers(message), "Cookie");
  return cookie && std::strstr(cookie, kSessionValue);
}

void answer(SoupServerMessage* message, unsigned status, const std::string& body) {
  soup_server_message_set_status(message, status, nullptr);
  soup_server_message_set_response(message, "text/html; charset=utf-8", SOUP_MEMORY_COPY,
                                   body.data(), body.size());
}

void redirect(SoupServerMessage* message, const char* location) {
  soup_server_message_set_redirect(message, SOUP_STATUS_FOUND, location);
}

}  // namespace

ShopFixture::ShopFixture() {
  server_ = qby::GObjectPtr<SoupServer>::adopt(soup_server_new(nullptr, nullptr));
  soup_server_add_handler(server_.get(), nullptr, handle, this, nullptr);
  GError* error = nullptr;
  if (!soup_server_listen_local(server_.get(), 0, SOUP_SERVER_LISTEN_IPV4_ONLY, &error)) {
    g_clear_error(&error);
    return;
  }
  GSList* uris = soup_server_get_uris(server_.get());
  if (uris) port_ = g_uri_get_port(static_cast<GUri*>(uris->data));
  g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
}

ShopFixture::~ShopFixture() {
  for (auto& message : neverAnswered_) {
    soup_server_message_set_status(message.get(), SOUP_STATUS_SERVICE_UNAVAILABLE, nullptr);
    soup_server_message_unpause(message.get());
  }
  if (server_) soup_server_disconnect(server_.get());
}

std::string ShopFixture::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void ShopFixture::handle(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*,
                         gpointer self) {
  static_cast<ShopFixture*>(self)->serve(message, path ? path : "");
}

void ShopFixture::serve(SoupServerMessage* message, const std::string& path) {
  seen_.push_back(path);
  const std::string method = soup_server_message_get_method(message);
  if (path == "/ap/signin" && method == "POST") {
    auto* body = soup_server_message_get_request_body(message);
    GHashTable* form = soup_form_decode(body->data ? body->data : "");
    const char* email = static_cast<const char*>(g_hash_table_lookup(form, "email"));
    const char* password = static_cast<const char*>(g_hash_table_lookup(form, "password"));
    const bool good = email && password && std::strcmp(email, kAccount) == 0 &&
                      std::strcmp(password, kPassword) == 0;
    g_hash_table_unref(form);
    if (!good) {
      answer(message, SOUP_STATUS_OK, kSignInPage);
      return;
    }
    ++signIns_;
    auto* headers = soup_server_message_get_response_headers(message);
    soup_message_headers_append(headers, "Set-Cookie",
                                (std::string(kSessionValue) + "; Path=/; Max-Age=86400").c_str());
    soup_message_headers_append(headers, "Set-Cookie", "session-token=tk-5521; Path=/; HttpOnly");
    redirect(message, "/gp/your-account/order-history");
  } else if (path == "/ap/signin") {
    answer(message, SOUP_STATUS_OK, kSignInPage);
  } else if (path == "/gp/your-account/order-history") {
    if (signedIn(message)) {
      answer(message, SOUP_STATUS_OK, orderPage());
    } else {
      redirect(message, "/ap/signin");
    }
  } else if (path == "/www.amazon.com/gp/your-account/order-details") {
    if (signedIn(message)) {
      answer(message, SOUP_STATUS_OK, kStorefrontOrderPage);
    } else {
      redirect(message, "/ap/signin");
    }
  } else if (path == "/welcome") {
    answer(message, SOUP_STATUS_OK, kWelcomePage);
  } else if (path == "/never") {
    soup_server_message_pause(message);
    neverAnswered_.push_back(qby::GObjectPtr<SoupServerMessage>::retain(message));
  } else if (path == "/loop") {
    redirect(message, "/loop");
  } else if (path == "/broken") {
    answer(message, SOUP_STATUS_INTERNAL_SERVER_ERROR, "<html><body>Internal error</body></html>");
  } else if (path == "/garbage") {
    answer(message, SOUP_STATUS_OK, kGarbagePage);
  } else if (path == "/plain") {
    answer(message, SOUP_STATUS_OK, "<html><body><p>second page</p></body></html>");
  } else {
    answer(message, SOUP_STATUS_NOT_FOUND, "<html><body>not here</body></html>");
  }
}

}  // namespace porvane::app::test
