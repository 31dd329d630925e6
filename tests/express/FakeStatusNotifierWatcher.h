// A StatusNotifierWatcher on the test session's private bus, as a desktop panel runs one: it
// owns "org.kde.StatusNotifierWatcher", accepts RegisterStatusNotifierItem and
// RegisterStatusNotifierHost, lists the registered items, announces them with
// StatusNotifierItemRegistered and, when an item's bus name goes, with
// StatusNotifierItemUnregistered.
//
// It talks over a connection of its own, so stopping it is what a watcher that quits does to
// the bus: its name goes with its connection, and starting it again is a new watcher process
// that knows no items.
//
// Main thread: calls are answered on the default main context, which the test iterates.
#pragma once

#include <gio/gio.h>

#include <string>
#include <vector>

#include "platform/GLibPtr.h"

namespace qby::test {

class FakeStatusNotifierWatcher {
 public:
  static constexpr const char* kName = "org.kde.StatusNotifierWatcher";

  FakeStatusNotifierWatcher() = default;
  ~FakeStatusNotifierWatcher();
  FakeStatusNotifierWatcher(const FakeStatusNotifierWatcher&) = delete;
  FakeStatusNotifierWatcher& operator=(const FakeStatusNotifierWatcher&) = delete;

  // Connects, exports the watcher and takes its name; false (with the reason) when that fails,
  // for instance because another watcher runs.
  bool start(std::string* error = nullptr);
  // Leaves the bus; what it recorded stays readable until the next start.
  void stop();
  bool running() const { return static_cast<bool>(connection_); }

  struct Registration {
    std::string service;  // the argument as given
    std::string sender;   // the unique name of the registering connection
  };
  const std::vector<Registration>& registrations() const { return registrations_; }
  // Items whose bus name went after they registered, in that order.
  const std::vector<std::string>& unregistered() const { return unregistered_; }
  // The RegisteredStatusNotifierItems property.
  std::vector<std::string> registeredItems() const;

 private:
  struct Item {
    std::string key;  // as listed: a bus name, or sender and object path
    guint watchID = 0;
  };

  static void methodCall(GDBusConnection*, const gchar* sender, const gchar*, const gchar*,
                         const gchar* method, GVariant* parameters,
                         GDBusMethodInvocation* invocation, gpointer data);
  static GVariant* getProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                               const gchar* property, GError** error, gpointer data);
  static void itemVanished(GDBusConnection*, const gchar* name, gpointer data);
  void registerItem(const std::string& service, const std::string& sender);
  void emit(const char* signal, GVariant* parameters);

  GObjectPtr<GDBusConnection> connection_;
  guint objectID_ = 0;
  std::vector<Registration> registrations_;
  std::vector<std::string> unregistered_;
  std::vector<Item> items_;
};

}  // namespace qby::test
