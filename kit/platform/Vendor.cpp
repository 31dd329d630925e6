#include "platform/Vendor.h"

#include <arpa/inet.h>
#include <glib.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/GLibPtr.h"
#include "platform/QBYUserDefaults.h"

namespace qby::Vendor {
namespace {

// Test builds may point the programs at a fixture server through the environment. A user's
// environment never redirects the sync account's requests: only the shared defaults do, so
// the variables' names are not even in the programs users run.
#ifdef PORVANE_TEST_HOOKS
constexpr const char* kVendorURLVariable = "PORVANE_VENDOR_URL";
constexpr const char* kSupportURLVariable = "PORVANE_SUPPORT_URL";
#else
constexpr const char* kVendorURLVariable = nullptr;
constexpr const char* kSupportURLVariable = nullptr;
#endif

std::optional<std::string> testAddress(const char* variable) {
  if (!variable) return std::nullopt;
  if (const char* env = std::getenv(variable); env && *env) return std::string(env);
  return std::nullopt;
}

std::optional<std::string> stored(const char* defaultsKey) {
  auto value = QBYUserDefaults::sharedDefaults().stringForKey(defaultsKey);
  if (!value || value->empty()) return std::nullopt;
  return value;
}

std::string withoutFinalSlash(std::string value) {
  while (!value.empty() && value.back() == '/') value.pop_back();
  return value;
}

std::string lowercase(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return result;
}

std::string trimmed(std::string_view text) {
  const auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return std::string(text);
}

}  // namespace

std::optional<std::string> webServiceURL() {
  for (auto candidate : {testAddress(kVendorURLVariable), stored("QBYVendorServiceURL"),
                         stored(kSyncServerURLKey)}) {
    if (candidate) return acceptableServiceAddress(*candidate, nullptr);
  }
  return std::nullopt;
}

std::string supportSiteURL() {
  if (auto address = testAddress(kSupportURLVariable)) return withoutFinalSlash(*address);
  if (auto address = stored("QBYSupportURL")) return withoutFinalSlash(*address);
  return "https://www.quillbay.com/support";
}

bool isLoopbackHost(std::string_view host) {
  std::string name = lowercase(host);
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  while (!name.empty() && name.back() == '.') name.pop_back();
  if (name == "localhost" || name.ends_with(".localhost")) return true;
  in_addr v4{};
  if (inet_pton(AF_INET, name.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  in6_addr v6{};
  if (inet_pton(AF_INET6, name.c_str(), &v6) == 1) return IN6_IS_ADDR_LOOPBACK(&v6);
  return false;
}

std::optional<std::string> acceptableServiceAddress(std::string_view text, std::string* problem) {
  const std::string address = trimmed(text);
  auto refuse = [problem](const char* reason) -> std::optional<std::string> {
    if (problem) *problem = reason;
    return std::nullopt;
  };
  if (address.empty()) return refuse("the server address is empty");
  GError* rawError = nullptr;
  GUriPtr uri(g_uri_parse(address.c_str(), G_URI_FLAGS_NONE, &rawError));
  GErrorPtr error(rawError);
  if (!uri) return refuse("the server address is not a valid URL (https://host[:port])");
  const std::string scheme =
      lowercase(g_uri_get_scheme(uri.get()) ? g_uri_get_scheme(uri.get()) : "");
  const char* host = g_uri_get_host(uri.get());
  if (!host || !*host) return refuse("the server address has no host");
  if (g_uri_get_userinfo(uri.get())) return refuse("the server address must not hold a user name");
  if (g_uri_get_query(uri.get()) || g_uri_get_fragment(uri.get()))
    return refuse("the server address must not hold a query or fragment");
  if (scheme == "http") {
    if (!isLoopbackHost(host))
      return refuse(
          "plain http:// is only accepted on this machine's loopback interface; use https:// so "
          "that the password is encrypted");
  } else if (scheme != "https") {
    return refuse("the server address must start with https://");
  }
  return withoutFinalSlash(address);
}

}  // namespace qby::Vendor
