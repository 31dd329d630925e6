// The machine's own network addresses, for the one carrier interface that wants the client's
// address in its requests.
//
// Linux has no interfaces named en0 and en1 for the primary wired and wireless ports, so
// their places go to the first two interfaces, in the order the kernel lists them, that are
// up and are not the loopback interface; that order follows the interface index, which puts
// the built-in ports first. An address of any other interface is only used as the fallback.
//
// Class operations; any thread.
#pragma once

#include <sys/socket.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace qby {

// One entry of the interface list: an interface name, its flags (IFF_UP, IFF_LOOPBACK, …)
// and one of its addresses (any family; only IPv4 and IPv6 count).
struct QBYInterfaceAddress {
  std::string name;
  unsigned flags = 0;
  std::optional<sockaddr_storage> address;
};

class QBYIPAddress {
 public:
  QBYIPAddress() = delete;

  // "<interface>/ipv4" and "<interface>/ipv6" → the address in numeric form, for interfaces
  // that are up and not loopback; when an interface has several addresses of one family the
  // last one listed wins. Nothing when there is none or the list cannot be read.
  static std::optional<Dictionary> addresses();
  // The address to use, preferring IPv4 or IPv6, with the fallback and log lines described
  // above; nothing when the machine has no address.
  static std::optional<std::string> address(bool preferIPv4);

  // The same two operations over a given interface list.
  static std::optional<Dictionary> addresses(const std::vector<QBYInterfaceAddress>& interfaces);
  static std::optional<std::string> address(bool preferIPv4,
                                            const std::vector<QBYInterfaceAddress>& interfaces);

  // The system's list (getifaddrs), or nothing when it cannot be read.
  static std::optional<std::vector<QBYInterfaceAddress>> systemInterfaces();
};

}  // namespace qby
