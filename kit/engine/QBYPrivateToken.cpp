#include "engine/QBYPrivateToken.h"

#include <array>
#include <cstdlib>
#include <string_view>

#include "platform/Log.h"
#include "platform/Paths.h"
#include "platform/QBYError.h"
#include "platform/Value.h"

namespace qby {

namespace {

constexpr std::array<std::string_view, 3> kKnownIDs = {
    QBYPrivateToken::kLaPosteAPI, QBYPrivateToken::kPostNordAPI, QBYPrivateToken::kUSPSWebToolsAPI};

constexpr const char* kTokensFileName = "Tokens.plist";

bool isKnown(std::string_view identifier) {
  for (const auto known : kKnownIDs)
    if (known == identifier) return true;
  return false;
}

std::optional<std::string> tokenFromFile(const std::string& identifier) {
  const auto file = Paths::sharedContainer() / kTokensFileName;
  std::error_code error;
  if (!std::filesystem::exists(file, error)) return std::nullopt;
  const auto bytes = Paths::readFile(file);
  // Only the path goes to the log: the parser's message could quote the file's contents.
  std::optional<Value> tokens = bytes ? Value::fromPlist(*bytes) : std::nullopt;
  if (!tokens || !tokens->isDictionary()) {
    log("Unable to read API keys from %@", file.string());
    return std::nullopt;
  }
  auto token = (*tokens)[identifier].asString();
  if (!token || token->empty()) return std::nullopt;
  return token;
}

}  // namespace

std::string QBYPrivateToken::environmentVariableForID(const std::string& identifier) {
  std::string name = "PORVANE_TOKEN_";
  for (const unsigned char c : identifier) {
    if (c >= 'a' && c <= 'z')
      name += static_cast<char>(c - 'a' + 'A');
    else if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
      name += static_cast<char>(c);
    else
      name += '_';
  }
  return name;
}

std::optional<std::string> QBYPrivateToken::tokenForID(
    const std::optional<std::string>& identifier) {
  if (!identifier || !isKnown(*identifier)) return std::nullopt;
  if (const char* value = std::getenv(environmentVariableForID(*identifier).c_str());
      value && *value)
    return std::string(value);
  return tokenFromFile(*identifier);
}

}  // namespace qby
