#include "PorvaneKit.h"

#include "platform/Resources.h"

namespace qby {

const char* PorvaneKitVersion() {
  return Resources::version();
}

unsigned PorvaneKitBuildNumber() {
  return Resources::buildNumber();
}

}  // namespace qby
