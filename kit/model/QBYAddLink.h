// The add link: a web address on the vendor's web service that, opened anywhere, offers to add
// a delivery with these settings to the application ("/sync/grab/?from=…&name=…&no=…&extra=…
// &date=…"). Shared deliveries (the e-mail text) carry it. The web service is the configured
// sync server (Vendor::webServiceURL); without one there is no add link.
//
// Pure function of its arguments and the configured web service; any thread.
#pragma once

#include <optional>
#include <string>

namespace qby {

// Each value encoded for a query; absent values, and a blank date, as "". Nothing when no web
// service is configured.
std::optional<std::string> QBYAddLink(const std::optional<std::string>& from,
                                      const std::optional<std::string>& name,
                                      const std::optional<std::string>& no,
                                      const std::optional<std::string>& extra,
                                      const std::optional<std::string>& date);

}  // namespace qby
