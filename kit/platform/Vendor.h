// Where the vendor's own web service and support site are. A deployment names its hosts in
// the shared defaults ("QBYVendorServiceURL", "QBYSupportURL"); otherwise the built-in
// addresses apply. Test builds also read PORVANE_VENDOR_URL and PORVANE_SUPPORT_URL. Answers
// never end in "/".
#pragma once

#include <string>

namespace qby::Vendor {

// Base address of the vendor web service (sync, reports, add links, version check).
std::string webServiceURL();
// Address of the support site named in user-facing error texts.
std::string supportSiteURL();

}  // namespace qby::Vendor
