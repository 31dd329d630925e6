// The message files of the inter-process channel: one file per action identifier,
// "<container>/<directory>/<identifier>.archive", holding the action's object as a binary
// property list. A file is replaced atomically (through FileSystem::current()), so a reader
// sees the previous message or the new one, never a part; two senders of one action leave the
// later object. A message stays until the receiver deletes it.
//
// Identifiers name files and session-bus signals at once, so only D-Bus member names are
// accepted ("[A-Za-z_][A-Za-z0-9_]*"): that keeps "/", ".." and anything that is not plain
// ASCII out of the path. They are at most MMWormholeMaximumIdentifierLength bytes, so that the
// file name and the temporary one written beside it stay within the file system's 255.
//
// Threads: any. The object keeps no mutable state; concurrent writers of one identifier are
// ordered by the rename.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "platform/QBYError.h"
#include "platform/Value.h"

namespace qby {

inline constexpr const char* QBYErrorDomainWormhole = "com.quillbay.wormhole";
enum QBYWormholeError : long {
  QBYWormholeErrorInvalidIdentifier = 1,
  QBYWormholeErrorArchive = 2,
  QBYWormholeErrorWrite = 3,
};

inline constexpr std::size_t MMWormholeMaximumIdentifierLength = 200;

// Whether the text may name a message (file and signal).
bool MMWormholeIsValidIdentifier(const std::string& identifier);
// The identifier as log lines and errors show it: control characters, quotes and bytes beyond
// ASCII escaped, cut at a NUL character.
std::string escapedIdentifier(const std::string& identifier);

// Reads and writes the messages of a channel.
class MMWormholeTransiting {
 public:
  virtual ~MMWormholeTransiting() = default;
  // No object: true without writing (the signal still goes out; the receiver reads whatever
  // file is there, usually none). An invalid identifier, an object a property list cannot hold
  // (a null inside it, a text with a NUL character) or a failed write: false, with the reason
  // in *error, and the previous message left as it was.
  virtual bool writeMessageObject(const std::optional<Value>& object, const std::string& identifier,
                                  QBYError* error = nullptr) = 0;
  // The waiting object; nothing for an invalid identifier, a missing file or a damaged one
  // (a damaged file is logged and left for the receiver to clear).
  virtual std::optional<Value> messageObjectForIdentifier(const std::string& identifier) = 0;
  virtual void deleteContentForIdentifier(const std::string& identifier) = 0;
  // Every message file of the folder; only when the channel has a folder of its own, since
  // without one the files sit directly in the shared container beside everything else.
  virtual void deleteContentForAllMessages() = 0;
};

// Told of a message that arrived (the channel's own receiving side implements it).
class MMWormholeTransitingDelegate {
 public:
  virtual ~MMWormholeTransitingDelegate() = default;
  virtual void notifyListenerForMessageWithIdentifier(const std::string& identifier,
                                                      const std::optional<Value>& message) = 0;
};

class MMWormholeFileTransiting final : public MMWormholeTransiting {
 public:
  // Nothing when the group has no container here (only the suite's group has one), when the
  // directory is not a single plain folder name, or when the folder cannot be created.
  static std::unique_ptr<MMWormholeFileTransiting> initWithApplicationGroupIdentifier(
      const std::string& applicationGroupIdentifier, const std::optional<std::string>& directory);

  const std::string& applicationGroupIdentifier() const { return applicationGroupIdentifier_; }
  const std::optional<std::string>& directory() const { return directory_; }
  // The folder of the message files (created again when a write finds it gone).
  const std::filesystem::path& messagePassingDirectory() const { return folder_; }
  // "<folder>/<identifier>.archive"; nothing for an invalid identifier.
  std::optional<std::filesystem::path> filePathForIdentifier(const std::string& identifier) const;

  bool writeMessageObject(const std::optional<Value>& object, const std::string& identifier,
                          QBYError* error = nullptr) override;
  std::optional<Value> messageObjectForIdentifier(const std::string& identifier) override;
  void deleteContentForIdentifier(const std::string& identifier) override;
  void deleteContentForAllMessages() override;

 private:
  MMWormholeFileTransiting(std::string group, std::optional<std::string> directory,
                           std::filesystem::path folder)
      : applicationGroupIdentifier_(std::move(group)),
        directory_(std::move(directory)),
        folder_(std::move(folder)) {}

  std::string applicationGroupIdentifier_;
  std::optional<std::string> directory_;
  std::filesystem::path folder_;
};

}  // namespace qby
