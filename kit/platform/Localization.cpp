#include "platform/Localization.h"

#include <libintl.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

namespace qby {
namespace {

constexpr const char* kDomain = "porvane";

// Catalogs are installed under the system locale folder; a build tree keeps them in
// <build>/locale, which PORVANE_LOCALE_DIR names while developing and testing.
void bindDomain() {
  static std::once_flag once;
  std::call_once(once, [] {
#ifdef PORVANE_TEST_HOOKS
    const char* dir = std::getenv("PORVANE_LOCALE_DIR");
#else
    const char* dir = nullptr;
#endif
    bindtextdomain(kDomain, dir && *dir ? dir : PORVANE_LOCALE_INSTALL_DIR);
    bind_textdomain_codeset(kDomain, "UTF-8");
  });
}

}  // namespace

std::string QBYLocalizedString(std::string_view text) {
  if (text.empty()) return {};
  bindDomain();
  const std::string key(text);
  return dgettext(kDomain, key.c_str());
}

}  // namespace qby
