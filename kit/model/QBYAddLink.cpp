#include "model/QBYAddLink.h"

#include "model/ModelText.h"
#include "platform/Format.h"
#include "platform/QBYError.h"
#include "platform/Vendor.h"

namespace qby {

std::optional<std::string> QBYAddLink(const std::optional<std::string>& from,
                                      const std::optional<std::string>& name,
                                      const std::optional<std::string>& no,
                                      const std::optional<std::string>& extra,
                                      const std::optional<std::string>& date) {
  using modeltext::queryValue;
  const auto webService = Vendor::webServiceURL();
  if (!webService) return std::nullopt;
  const std::optional<std::string> day =
      modeltext::hasNonBlankText(date) ? date : std::optional<std::string>();
  return *webService + format("/sync/grab/?from=%@&name=%@&no=%@&extra=%@&date=%@",
                              queryValue(from), queryValue(name), queryValue(no), queryValue(extra),
                              queryValue(day));
}

}  // namespace qby
