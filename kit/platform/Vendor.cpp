#include "platform/Vendor.h"

#include <cstdlib>

#include "platform/QBYUserDefaults.h"

namespace qby::Vendor {
namespace {

std::string configured(const char* variable, const char* defaultsKey, const char* fallback) {
  std::string value;
  if (const char* env = std::getenv(variable); env && *env) {
    value = env;
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
  return configured("PORVANE_VENDOR_URL", "QBYVendorServiceURL", "https://sync.quillbay.com");
}

std::string supportSiteURL() {
  return configured("PORVANE_SUPPORT_URL", "QBYSupportURL", "https://www.quillbay.com/support");
}

}  // namespace qby::Vendor
