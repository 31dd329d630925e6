#include "platform/MMWormholeFileTransiting.h"

#include <gio/gio.h>

#include <system_error>

#include "platform/FileSystem.h"
#include "platform/GLibPtr.h"
#include "platform/Log.h"
#include "platform/Paths.h"

namespace qby {

namespace {

constexpr const char* kExtension = ".archive";
// Messages are a number, a short text or a small dictionary; anything this large in the folder
// was not written by the channel and is not read into memory.
constexpr std::uintmax_t kMaximumMessageBytes = 4 * 1024 * 1024;

QBYError invalidIdentifierError(const std::string& identifier) {
  return QBYError::make(QBYErrorDomainWormhole, QBYWormholeErrorInvalidIdentifier,
                        format("Invalid message identifier \"%@\"", escapedIdentifier(identifier)));
}

bool isPlainFolderName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos) return false;
  return g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr);
}

}  // namespace

std::string escapedIdentifier(const std::string& identifier) {
  // Control characters, quotes and bytes beyond ASCII become escapes, so a hostile identifier
  // can neither break a log line nor reach a terminal as a control sequence.
  std::string text = identifier.substr(0, identifier.find('\0'));
  GCharPtr escaped(g_strescape(text.c_str(), nullptr));
  return escaped ? std::string(escaped.get()) : std::string();
}

bool MMWormholeIsValidIdentifier(const std::string& identifier) {
  // g_dbus_is_member_name stops at a NUL byte; such a text names neither a file nor a signal.
  if (identifier.find('\0') != std::string::npos) return false;
  if (identifier.size() > MMWormholeMaximumIdentifierLength) return false;
  return g_dbus_is_member_name(identifier.c_str());
}

std::unique_ptr<MMWormholeFileTransiting>
MMWormholeFileTransiting::initWithApplicationGroupIdentifier(
    const std::string& applicationGroupIdentifier, const std::optional<std::string>& directory) {
  if (applicationGroupIdentifier != Paths::kAppGroupID) {
    log("No container for application group %@", applicationGroupIdentifier);
    return nullptr;
  }
  if (directory && !isPlainFolderName(*directory)) {
    log("Invalid message folder \"%@\"", escapedIdentifier(*directory));
    return nullptr;
  }
  std::filesystem::path folder = Paths::sharedContainer();
  if (directory) folder /= *directory;
  if (!Paths::ensureDirectory(folder)) {
    log("Error creating message folder %@", folder.string());
    return nullptr;
  }
  return std::unique_ptr<MMWormholeFileTransiting>(
      new MMWormholeFileTransiting(applicationGroupIdentifier, directory, std::move(folder)));
}

std::optional<std::filesystem::path> MMWormholeFileTransiting::filePathForIdentifier(
    const std::string& identifier) const {
  if (!MMWormholeIsValidIdentifier(identifier)) return std::nullopt;
  return folder_ / (identifier + kExtension);
}

bool MMWormholeFileTransiting::writeMessageObject(const std::optional<Value>& object,
                                                  const std::string& identifier, QBYError* error) {
  const auto path = filePathForIdentifier(identifier);
  if (!path) {
    setError(error, invalidIdentifierError(identifier));
    return false;
  }
  if (!object) return true;
  QBYError archiveError;
  const auto bytes = object->toPlist(Value::PlistFormat::Binary, &archiveError);
  if (!bytes) {
    setError(error, QBYError::make(QBYErrorDomainWormhole, QBYWormholeErrorArchive,
                                   format("Cannot archive message %@: %@", identifier,
                                          archiveError.description())));
    return false;
  }
  // The folder may have been removed since the channel was made (a cleaned container).
  if (!Paths::ensureDirectory(folder_)) {
    setError(error, QBYError::make(QBYErrorDomainWormhole, QBYWormholeErrorWrite,
                                   format("Cannot create message folder %@", folder_.string())));
    return false;
  }
  std::string reason;
  if (!FileSystem::current().writeFileAtomically(*path, *bytes, &reason)) {
    setError(error, QBYError::make(QBYErrorDomainWormhole, QBYWormholeErrorWrite,
                                   format("Cannot write message %@: %@", identifier, reason)));
    return false;
  }
  return true;
}

std::optional<Value> MMWormholeFileTransiting::messageObjectForIdentifier(
    const std::string& identifier) {
  const auto path = filePathForIdentifier(identifier);
  if (!path) return std::nullopt;
  std::error_code code;
  const auto size = std::filesystem::file_size(*path, code);
  if (code) return std::nullopt;  // no message waiting
  if (size > kMaximumMessageBytes) {
    log("Error reading message %@: %@", identifier, format("%@ bytes", size));
    return std::nullopt;
  }
  const auto bytes = Paths::readFile(*path);
  if (!bytes) {
    log("Error reading message %@: %@", identifier, std::string("cannot read the file"));
    return std::nullopt;
  }
  QBYError error;
  auto object = Value::fromPlist(*bytes, &error);
  if (!object) {
    log("Error reading message %@: %@", identifier, error.description());
    return std::nullopt;
  }
  return object;
}

void MMWormholeFileTransiting::deleteContentForIdentifier(const std::string& identifier) {
  const auto path = filePathForIdentifier(identifier);
  if (!path) return;
  std::error_code code;
  std::filesystem::remove(*path, code);
  if (code) log("Error deleting message %@: %@", identifier, code.message());
}

void MMWormholeFileTransiting::deleteContentForAllMessages() {
  if (!directory_) return;
  std::error_code code;
  std::filesystem::directory_iterator entries(folder_, code);
  if (code) return;
  for (const auto& entry : entries) {
    if (!entry.is_regular_file(code)) continue;
    std::error_code removeCode;
    std::filesystem::remove(entry.path(), removeCode);
    if (removeCode)
      log("Error deleting message %@: %@", entry.path().filename().string(), removeCode.message());
  }
}

}  // namespace qby
