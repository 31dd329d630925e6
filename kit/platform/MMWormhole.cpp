#include "platform/MMWormhole.h"

#include <gio/gio.h>

#include <map>
#include <utility>

#include "platform/GLibPtr.h"
#include "platform/Log.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"

namespace qby {

struct MMWormhole::State {
  struct Registration {
    Listener listener;
    guint subscription = 0;
  };

  std::unique_ptr<MMWormholeTransiting> messenger;
  std::string channelName;
  GObjectPtr<GDBusConnection> bus;
  std::map<std::string, Registration> listeners;

  void unsubscribe(Registration& registration) {
    if (bus && registration.subscription != 0)
      g_dbus_connection_signal_unsubscribe(bus.get(), registration.subscription);
    registration.subscription = 0;
  }

  // On the main queue: the signal for the identifier arrived.
  void didReceiveMessage(const std::string& identifier) {
    auto found = listeners.find(identifier);
    if (found == listeners.end()) return;
    // The listener may stop listening or listen again while it runs.
    const Listener listener = found->second.listener;
    listener(messenger->messageObjectForIdentifier(identifier));
  }
};

namespace {

// The bus calls back on the thread whose context subscribed; the hop to the main queue keeps
// listeners on the main thread even for a wormhole made elsewhere, and after the work already
// queued there.
void onWormholeSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                      const gchar* signalName, GVariant*, gpointer userData) {
  const auto weak = *static_cast<std::weak_ptr<MMWormhole::State>*>(userData);
  MainQueue::async([weak, identifier = std::string(signalName ? signalName : "")] {
    auto state = weak.lock();
    if (!state) return;
    state->didReceiveMessage(identifier);
  });
}

void freeWeakState(gpointer userData) {
  delete static_cast<std::weak_ptr<MMWormhole::State>*>(userData);
}

GObjectPtr<GDBusConnection> sessionBus() {
  GError* rawError = nullptr;
  auto bus =
      GObjectPtr<GDBusConnection>::adopt(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
  GErrorPtr error(rawError);
  if (!bus)
    log("No session bus for inter-process signals: %@",
        std::string(error ? error->message : "unknown error"));
  return bus;
}

}  // namespace

std::unique_ptr<MMWormhole> MMWormhole::initWithApplicationGroupIdentifier(
    const std::string& applicationGroupIdentifier, const std::optional<std::string>& directory) {
  auto messenger = MMWormholeFileTransiting::initWithApplicationGroupIdentifier(
      applicationGroupIdentifier, directory);
  if (!messenger) return nullptr;
  std::string channel = channelNameForFolder(messenger->messagePassingDirectory());
  return initWithMessenger(std::move(messenger), std::move(channel));
}

std::unique_ptr<MMWormhole> MMWormhole::initWithMessenger(
    std::unique_ptr<MMWormholeTransiting> messenger, std::string channelName) {
  if (!messenger) return nullptr;
  auto state = std::make_shared<State>();
  state->messenger = std::move(messenger);
  state->channelName = std::move(channelName);
  state->bus = sessionBus();
  return std::unique_ptr<MMWormhole>(new MMWormhole(std::move(state)));
}

MMWormhole::MMWormhole(std::shared_ptr<State> state) : state_(std::move(state)) {}

MMWormhole::~MMWormhole() {
  for (auto& [identifier, registration] : state_->listeners) state_->unsubscribe(registration);
  state_->listeners.clear();
}

const std::string& MMWormhole::channelName() const {
  return state_->channelName;
}

std::string MMWormhole::channelNameForFolder(const std::filesystem::path& folder) {
  const std::string path = folder.lexically_normal().string();
  const GCharPtr digest(g_compute_checksum_for_data(
      G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(path.data()), path.size()));
  return digest ? std::string(digest.get()) : std::string();
}

MMWormholeTransiting& MMWormhole::wormholeMessenger() {
  return *state_->messenger;
}

bool MMWormhole::canSignal() const {
  return static_cast<bool>(state_->bus);
}

bool MMWormhole::passMessageObject(const std::optional<Value>& object,
                                   const std::string& identifier, QBYError* error) {
  QBYError writeError;
  if (!state_->messenger->writeMessageObject(object, identifier, &writeError)) {
    log("Error passing message %@: %@", escapedIdentifier(identifier), writeError.description());
    if (error) *error = std::move(writeError);
    return false;
  }
  if (!state_->bus) {
    log("No signal for message %@: no session bus", identifier);
    return true;
  }
  GError* rawError = nullptr;
  if (!g_dbus_connection_emit_signal(
          state_->bus.get(), nullptr, MMWormholeSignalPath, MMWormholeSignalInterface,
          identifier.c_str(), g_variant_new("(s)", state_->channelName.c_str()), &rawError)) {
    GErrorPtr emitError(rawError);
    log("No signal for message %@: %@", identifier,
        std::string(emitError ? emitError->message : "unknown error"));
    return true;
  }
  // A sender that quits right after (a browser host, a command-line tool) must not take the
  // signal with it in the connection's unsent queue.
  if (!g_dbus_connection_flush_sync(state_->bus.get(), nullptr, &rawError)) {
    GErrorPtr flushError(rawError);
    log("No signal for message %@: %@", identifier,
        std::string(flushError ? flushError->message : "unknown error"));
  }
  return true;
}

std::optional<Value> MMWormhole::messageWithIdentifier(const std::string& identifier) {
  return state_->messenger->messageObjectForIdentifier(identifier);
}

void MMWormhole::clearMessageContentsForIdentifier(const std::string& identifier) {
  state_->messenger->deleteContentForIdentifier(identifier);
}

void MMWormhole::clearAllMessageContents() {
  state_->messenger->deleteContentForAllMessages();
}

bool MMWormhole::listenForMessageWithIdentifier(const std::string& identifier, Listener listener,
                                                QBYError* error) {
  if (!MMWormholeIsValidIdentifier(identifier) || !listener) {
    auto invalid = QBYError::make(
        QBYErrorDomainWormhole, QBYWormholeErrorInvalidIdentifier,
        listener ? format("Invalid message identifier \"%@\"", escapedIdentifier(identifier))
                 : format("No listener for message %@", escapedIdentifier(identifier)));
    log("Error listening for message: %@", invalid.description());
    if (error) *error = std::move(invalid);
    return false;
  }
  auto& registration = state_->listeners[identifier];
  state_->unsubscribe(registration);
  registration.listener = std::move(listener);
  if (!state_->bus) {
    log("No signal for message %@: no session bus", identifier);
    return true;
  }
  registration.subscription = g_dbus_connection_signal_subscribe(
      state_->bus.get(), nullptr, MMWormholeSignalInterface, identifier.c_str(),
      MMWormholeSignalPath, state_->channelName.empty() ? nullptr : state_->channelName.c_str(),
      G_DBUS_SIGNAL_FLAGS_NONE, onWormholeSignal, new std::weak_ptr<State>(state_), freeWeakState);
  return true;
}

void MMWormhole::stopListeningForMessageWithIdentifier(const std::string& identifier) {
  auto found = state_->listeners.find(identifier);
  if (found == state_->listeners.end()) return;
  state_->unsubscribe(found->second);
  state_->listeners.erase(found);
}

std::size_t MMWormhole::listenerCount() const {
  return state_->listeners.size();
}

}  // namespace qby
