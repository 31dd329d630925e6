#include "sync/QBYSyncServerAddress.h"

#include "platform/QBYUserDefaults.h"
#include "platform/Vendor.h"
#include "util/StringUtilities.h"

namespace qby {

bool QBYSyncServerAddress::isLoopbackHost(std::string_view host) {
  return Vendor::isLoopbackHost(host);
}

std::optional<std::string> QBYSyncServerAddress::acceptableAddress(std::string_view text,
                                                                   std::string* problem) {
  // Unicode white space too: an address pasted from a web page may carry a no-break space.
  return Vendor::acceptableServiceAddress(trimmedString(text), problem);
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
