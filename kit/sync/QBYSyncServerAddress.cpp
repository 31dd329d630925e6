#include "sync/QBYSyncServerAddress.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

#include "platform/GLibPtr.h"
#include "platform/QBYUserDefaults.h"
#include "util/StringUtilities.h"

namespace qby {

namespace {

std::string lowercase(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return result;
}

}  // namespace

bool QBYSyncServerAddress::isLoopbackHost(std::string_view host) {
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

std::optional<std::string> QBYSyncServerAddress::acceptableAddress(std::string_view text,
                                                                   std::string* problem) {
  const std::string trimmed = trimmedString(text);
  auto refuse = [problem](const char* reason) -> std::optional<std::string> {
    if (problem) *problem = reason;
    return std::nullopt;
  };
  if (trimmed.empty()) return refuse("the server address is empty");
  GError* rawError = nullptr;
  GUriPtr uri(g_uri_parse(trimmed.c_str(), G_URI_FLAGS_NONE, &rawError));
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
  std::string address = trimmed;
  while (!address.empty() && address.back() == '/') address.pop_back();
  return address;
}

std::optional<std::string> QBYSyncServerAddress::address(QBYUserDefaults& defaults) {
  const auto stored = defaults.stringForKey(QBYSyncServerURLKey);
  if (!stored || stored->empty()) return std::nullopt;
  return acceptableAddress(*stored, nullptr);
}

bool QBYSyncServerAddress::setAddress(QBYUserDefaults& defaults,
                                      const std::optional<std::string>& address) {
  if (!address) {
    return defaults.removeObjectForKey(QBYSyncServerURLKey);
  }
  const auto accepted = acceptableAddress(*address, nullptr);
  if (!accepted) return false;
  return defaults.setObject(Value(*accepted), QBYSyncServerURLKey);
}

std::optional<std::string> QBYSyncServerAddress::urlForPath(QBYUserDefaults& defaults,
                                                            std::string_view path) {
  auto base = address(defaults);
  if (!base) return std::nullopt;
  return *base + std::string(path);
}

}  // namespace qby
