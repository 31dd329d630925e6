#include "model/TemplateText.h"

namespace qby {

std::string stringWithDate(std::string_view templateText, const std::optional<std::string>& date,
                           bool* usedDate) {
  if (usedDate) *usedDate = false;
  const auto first = templateText.find("%@");
  if (first == std::string_view::npos) return std::string(templateText);
  std::string result(templateText.substr(0, first));
  if (date) {
    result += *date;
    if (usedDate) *usedDate = true;
  }
  const auto rest = templateText.substr(first + 2);
  result += rest.substr(0, rest.find("%@"));
  return result;
}

}  // namespace qby
