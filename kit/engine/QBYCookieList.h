// Owned cookies as the updater hands them between sessions and the keychain: a list of
// libsoup cookies that frees itself. Only the cookie's name is declared here, so the updater's
// callers do not compile against libsoup; QBYCookieStorage.h has the operations on cookies.
//
// Threads: a list belongs to the thread that holds it.
#pragma once

#include <memory>
#include <vector>

typedef struct _SoupCookie SoupCookie;

namespace qby {

struct SoupCookieDeleter {
  void operator()(SoupCookie* cookie) const;
};
using SoupCookiePtr = std::unique_ptr<SoupCookie, SoupCookieDeleter>;
using CookieList = std::vector<SoupCookiePtr>;

}  // namespace qby
