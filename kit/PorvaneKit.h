// The public face of PorvaneKit: the constants every program of the suite shares and the
// lookup of localised texts. Programs include this header and the headers of the classes
// they use.
#pragma once

#include "platform/Localization.h"
#include "platform/Paths.h"

namespace qby {

// The application group of all programs: container, shared defaults, cookies, keychain.
inline constexpr const char* QBYAppGroupID = Paths::kAppGroupID;

// The library's version text and build number.
const char* PorvaneKitVersion();
unsigned PorvaneKitBuildNumber();

}  // namespace qby
