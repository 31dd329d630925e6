#include "platform/QBYError.h"

#include <utility>

namespace qby {

QBYError QBYError::make(std::string domain, std::int64_t code, std::string description,
                        Dictionary userInfo) {
  QBYError error;
  error.domain = std::move(domain);
  error.code = code;
  error.localizedDescription = std::move(description);
  error.userInfo = std::move(userInfo);
  return error;
}

std::string QBYError::description() const {
  std::string text = "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" +
                     localizedDescription + "\"";
  if (!userInfo.empty()) {
    text += " UserInfo={";
    bool first = true;
    for (const auto& [key, value] : userInfo) {
      if (!first) text += ", ";
      first = false;
      text += key + "=" + value.description();
    }
    text += "}";
  }
  return text;
}

std::string QBYError::userInfoDescription() const {
  return Value(userInfo).description();
}

}  // namespace qby
