// Where the vendor's own web service and support site are.
//
// The web service (add links, the user-agent page, sync, reports) is the sync server the user
// configured: the shared defaults' "QBYSyncServerURL". A deployment may name another host for
// the pages other than sync in "QBYVendorServiceURL", which then comes first. There is no
// built-in host: without either there is no web service, and callers leave out what needs it.
// Every address keeps the rule of sync addresses (https, or plain http on this machine's
// loopback interface only); one that breaks it counts as none.
//
// The support site comes from "QBYSupportURL", else a built-in address. Test builds also read
// PORVANE_VENDOR_URL and PORVANE_SUPPORT_URL, before the defaults. Answers never end in "/".
//
// Threads: any (the shared defaults lock themselves).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qby::Vendor {

// The shared defaults' key of the user's sync server address.
inline constexpr const char* kSyncServerURLKey = "QBYSyncServerURL";

// Base address of the vendor web service; nothing when none is configured.
std::optional<std::string> webServiceURL();
// Address of the support site named in user-facing error texts.
std::string supportSiteURL();

// The address as it will be stored (scheme, host, port and any path, without a final "/"), or
// nothing with the reason in problem: it must be an http(s) URL with a host and no user name,
// query or fragment, and plain http only on the loopback interface, so that no password
// crosses a network in clear.
std::optional<std::string> acceptableServiceAddress(std::string_view text, std::string* problem);
// Whether host names this machine's loopback interface (localhost, 127.0.0.0/8, ::1).
bool isLoopbackHost(std::string_view host);

}  // namespace qby::Vendor
