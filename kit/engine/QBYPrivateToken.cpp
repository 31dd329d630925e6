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

namespace {

void appendVariableName(std::string& name, const std::string& text) {
  for (const unsigned char c : text) {
    if (c >= 'a' && c <= 'z')
      name += static_cast<char>(c - 'a' + 'A');
    else if ((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
      name += static_cast<char>(c);
    else
      name += '_';
  }
}

}  // namespace

std::string QBYPrivateToken::environmentVariableForID(const std::string& identifier) {
  std::string name = "PORVANE_TOKEN_";
  appendVariableName(name, identifier);
  return name;
}

std::string QBYPrivateToken::environmentVariableForCredential(const std::string& serviceKey,
                                                              const std::string& type) {
  std::string name = "PORVANE_CREDENTIAL_";
  appendVariableName(name, serviceKey);
  name += '_';
  appendVariableName(name, type);
  return name;
}

std::optional<std::string> QBYPrivateToken::credential(const std::string& serviceKey,
                                                       const std::string& type) {
  if (const char* value = std::getenv(environmentVariableForCredential(serviceKey, type).c_str());
      value && *value)
    return std::string(value);
  const auto file = Paths::sharedContainer() / kTokensFileName;
  std::error_code error;
  if (!std::filesystem::exists(file, error)) return std::nullopt;
  const auto bytes = Paths::readFile(file);
  std::optional<Value> tokens = bytes ? Value::fromPlist(*bytes) : std::nullopt;
  if (!tokens || !tokens->isDictionary()) {
    log("Unable to read API keys from %@", file.string());
    return std::nullopt;
  }
  auto found = (*tokens)["Credentials"][serviceKey][type].asString();
  if (!found || found->empty()) return std::nullopt;
  return found;
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
