#include "platform/Vendor.h"

#include <cstdlib>
#include <optional>

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

std::string configured(const char* variable, const char* defaultsKey, const char* fallback) {
  std::string value;
  if (auto address = testAddress(variable)) {
    value = std::move(*address);
  } else if (auto stored = QBYUserDefaults::sharedDefaults().stringForKey(defaultsKey);
             stored && !stored->empty()) {
    value = *stored;
  } else {
    value = fallback;
  }
  while (!value.empty() && value.back() == '/') value.pop_back();
  return value;
}

}  // namespace

std::string webServiceURL() {
  return configured(kVendorURLVariable, "QBYVendorServiceURL", "https://sync.quillbay.com");
}

std::string supportSiteURL() {
  return configured(kSupportURLVariable, "QBYSupportURL", "https://www.quillbay.com/support");
}

}  // namespace qby::Vendor
