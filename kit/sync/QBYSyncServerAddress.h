// Where the sync account's server is. There is no built-in host: the user enters the address
// of their own server, or of one they were given, and it is kept in the shared defaults under
// "QBYSyncServerURL". An address must use https, except on the loopback interface (localhost,
// 127.0.0.0/8, ::1), so that a password never crosses a network in clear. An address stored
// by hand that breaks the rule counts as no address.
//
// Threads: any (the shared defaults lock themselves).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Vendor.h"

namespace qby {

class QBYUserDefaults;

inline constexpr const char* QBYSyncServerURLKey = Vendor::kSyncServerURLKey;
inline constexpr const char* QBYSyncServicePath = "/sync/porvane/xml.php";
inline constexpr const char* QBYSyncReportPath = "/sync/porvane/report/";

class QBYSyncServerAddress {
 public:
  // The address as it will be stored (scheme, host, port and any path, without a final "/"),
  // or nothing with the reason in problem.
  static std::optional<std::string> acceptableAddress(std::string_view text, std::string* problem);
  // Whether host names this machine's loopback interface.
  static bool isLoopbackHost(std::string_view host);

  // The configured address, when there is one and it is acceptable.
  static std::optional<std::string> address(QBYUserDefaults& defaults);
  static bool setAddress(QBYUserDefaults& defaults, const std::optional<std::string>& address);
  // The address followed by the path, or nothing without a configured address.
  static std::optional<std::string> urlForPath(QBYUserDefaults& defaults, std::string_view path);
};

}  // namespace qby
