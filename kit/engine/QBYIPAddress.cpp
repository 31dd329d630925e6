#include "engine/QBYIPAddress.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/Log.h"

namespace qby {
namespace {

struct IfAddrsDeleter {
  void operator()(ifaddrs* list) const { freeifaddrs(list); }
};
using IfAddrsPtr = std::unique_ptr<ifaddrs, IfAddrsDeleter>;

bool isActive(const QBYInterfaceAddress& entry) {
  return (entry.flags & IFF_UP) && !(entry.flags & IFF_LOOPBACK);
}

// "ipv4" or "ipv6" with the numeric text, or nothing for other families.
std::optional<std::pair<std::string, std::string>> numericAddress(const sockaddr_storage& address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address.ss_family == AF_INET) {
    const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(&address);
    if (!inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text)) return std::nullopt;
    return std::make_pair(std::string("ipv4"), std::string(text));
  }
  if (address.ss_family == AF_INET6) {
    const auto* ipv6 = reinterpret_cast<const sockaddr_in6*>(&address);
    if (!inet_ntop(AF_INET6, &ipv6->sin6_addr, text, sizeof text)) return std::nullopt;
    return std::make_pair(std::string("ipv6"), std::string(text));
  }
  return std::nullopt;
}

// The names standing in for en0 and en1 (see the header), in that order.
std::vector<std::string> preferredInterfaces(const std::vector<QBYInterfaceAddress>& interfaces) {
  std::vector<std::string> names;
  for (const auto& entry : interfaces) {
    if (names.size() == 2) break;
    if (isActive(entry) && std::find(names.begin(), names.end(), entry.name) == names.end())
      names.push_back(entry.name);
  }
  return names;
}

}  // namespace

std::optional<std::vector<QBYInterfaceAddress>> QBYIPAddress::systemInterfaces() {
  ifaddrs* raw = nullptr;
  if (getifaddrs(&raw) != 0) return std::nullopt;
  const IfAddrsPtr list(raw);
  std::vector<QBYInterfaceAddress> interfaces;
  for (const ifaddrs* item = list.get(); item; item = item->ifa_next) {
    QBYInterfaceAddress entry;
    entry.name = item->ifa_name ? item->ifa_name : "";
    entry.flags = item->ifa_flags;
    if (item->ifa_addr) {
      const auto family = item->ifa_addr->sa_family;
      const std::size_t length = family == AF_INET    ? sizeof(sockaddr_in)
                                 : family == AF_INET6 ? sizeof(sockaddr_in6)
                                                      : sizeof(sockaddr);
      sockaddr_storage storage{};
      std::memcpy(&storage, item->ifa_addr, length);
      entry.address = storage;
    }
    interfaces.push_back(std::move(entry));
  }
  return interfaces;
}

std::optional<Dictionary> QBYIPAddress::addresses(
    const std::vector<QBYInterfaceAddress>& interfaces) {
  Dictionary result;
  for (const auto& entry : interfaces) {
    if (!isActive(entry) || !entry.address) continue;
    if (const auto numeric = numericAddress(*entry.address))
      result.set(entry.name + "/" + numeric->first, numeric->second);
  }
  if (result.empty()) return std::nullopt;
  return result;
}

std::optional<Dictionary> QBYIPAddress::addresses() {
  const auto interfaces = systemInterfaces();
  if (!interfaces) return std::nullopt;
  return addresses(*interfaces);
}

std::optional<std::string> QBYIPAddress::address(
    bool preferIPv4, const std::vector<QBYInterfaceAddress>& interfaces) {
  const auto found = addresses(interfaces);
  if (found) {
    const char* first = preferIPv4 ? "ipv4" : "ipv6";
    const char* second = preferIPv4 ? "ipv6" : "ipv4";
    for (const auto& name : preferredInterfaces(interfaces)) {
      for (const char* family : {first, second}) {
        if (const Value* value = found->find(name + "/" + family)) return value->asString();
      }
    }
    const auto fallback = found->begin()->second.asString();
    log("Using fallback IP address: %@", fallback);
    return fallback;
  }
  log("No IP address found: %@", std::optional<std::string>());
  return std::nullopt;
}

std::optional<std::string> QBYIPAddress::address(bool preferIPv4) {
  return address(preferIPv4, systemInterfaces().value_or(std::vector<QBYInterfaceAddress>()));
}

}  // namespace qby
