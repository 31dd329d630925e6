// The channel by which the programs of the suite hand each other short actions. A sender
// writes the action's object into the action's message file (MMWormholeFileTransiting) and,
// once the write succeeded, broadcasts a session-bus signal named after the action: object
// path "/com/quillbay/Porvane/Wormhole", interface "com.quillbay.Porvane.Wormhole", member =
// the identifier, one text argument naming the channel (see channelName()). A receiver that
// listens for the identifier hears only its own channel's signals, reads the file when the
// signal arrives and hands the object (nothing when there is no file) to its listener.
// The file stays until the receiver clears it, so a program that was not running finds the
// message when it starts listening.
//
// Without a session bus the channel still writes and reads files; it logs why no signal went
// out and listeners then hear nothing until the program looks for waiting messages itself.
//
// Threads: make, use and destroy a wormhole on the main thread. Signals arrive on the
// session-bus connection's side and are handed over to the main queue; listeners always run
// there, asynchronously, after the work already queued.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/MMWormholeFileTransiting.h"
#include "platform/QBYError.h"
#include "platform/Value.h"

namespace qby {

inline constexpr const char* MMWormholeSignalPath = "/com/quillbay/Porvane/Wormhole";
inline constexpr const char* MMWormholeSignalInterface = "com.quillbay.Porvane.Wormhole";

class MMWormhole {
 public:
  // Gets the object of the message (nothing: none was written or it could not be read).
  using Listener = std::function<void(const std::optional<Value>& message)>;

  // A file channel for the group's container and the optional folder in it, signalling on the
  // session bus. Nothing when the container or folder cannot be made.
  static std::unique_ptr<MMWormhole> initWithApplicationGroupIdentifier(
      const std::string& applicationGroupIdentifier, const std::optional<std::string>& directory);
  // A channel over the given messenger (another file layout, or a test double), signalling
  // under the given channel name.
  static std::unique_ptr<MMWormhole> initWithMessenger(
      std::unique_ptr<MMWormholeTransiting> messenger, std::string channelName = {});

  // What the signals carry so that only programs sharing the message folder hear each other:
  // installations with separate containers (a portable one, a test's) on one session bus
  // never take each other's signals for their own. A digest of the folder's path, since a
  // path need not be the valid UTF-8 a bus text must be.
  const std::string& channelName() const;
  static std::string channelNameForFolder(const std::filesystem::path& folder);

  // Removes every listener and its bus subscription; a signal already handed to the main
  // queue then finds nobody and is dropped.
  ~MMWormhole();
  MMWormhole(const MMWormhole&) = delete;
  MMWormhole& operator=(const MMWormhole&) = delete;

  MMWormholeTransiting& wormholeMessenger();
  // Whether signals can go out and come in (a session bus was reached).
  bool canSignal() const;

  // Writes the message; only when that succeeded is the signal broadcast. False, with the
  // reason in *error and in the log, when the identifier is invalid or the write failed.
  // Without a session bus the file is written, the missing signal is logged, and the answer
  // is still true: the message waits for the receiver.
  bool passMessageObject(const std::optional<Value>& object, const std::string& identifier,
                         QBYError* error = nullptr);
  std::optional<Value> messageWithIdentifier(const std::string& identifier);
  void clearMessageContentsForIdentifier(const std::string& identifier);
  void clearAllMessageContents();

  // Keeps the listener (replacing an earlier one for the identifier) and subscribes to the
  // identifier's signal, dropping the previous subscription, so there is one per identifier.
  // An invalid identifier or an empty listener registers nothing: false, with the reason.
  bool listenForMessageWithIdentifier(const std::string& identifier, Listener listener,
                                      QBYError* error = nullptr);
  void stopListeningForMessageWithIdentifier(const std::string& identifier);
  // How many identifiers have a listener.
  std::size_t listenerCount() const;

  // The listeners and the bus subscriptions, shared weakly with the bus callbacks.
  struct State;

 private:
  explicit MMWormhole(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace qby
