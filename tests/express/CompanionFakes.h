// What the companion program meets on a desktop, as small fakes for its end-to-end tests: a
// notification server that records Notify and CloseNotification and can send ActionInvoked, a
// listener for the launcher-entry badge signal, a bus daemon of the test's own (for bus
// activation and for a fake logind on a "system" bus), and the companion as a child process.
//
// Every fake talks over a connection of its own, so a name it owns goes when it stops, as it
// would for a real service. Main thread: calls and signals are handled on the default main
// context, which the test iterates while it waits (MainQueue::runUntil).
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/GLibPtr.h"

namespace porvane::test {

// A connection of its own to the bus at the address (the session bus when empty).
qby::GObjectPtr<GDBusConnection> connectTo(const std::string& address, std::string* error);

class FakeNotificationServer {
 public:
  struct Shown {
    std::uint32_t id = 0;
    std::uint32_t replacesID = 0;
    std::string appName;
    std::string summary;
    std::string body;
    // The action keys and their labels, in order.
    std::vector<std::pair<std::string, std::string>> actions;
  };

  FakeNotificationServer() = default;
  ~FakeNotificationServer();
  FakeNotificationServer(const FakeNotificationServer&) = delete;
  FakeNotificationServer& operator=(const FakeNotificationServer&) = delete;

  // Owns "org.freedesktop.Notifications" on the bus (the session bus when empty).
  bool start(const std::string& address = "", std::string* error = nullptr);

  const std::vector<Shown>& shown() const { return shown_; }
  const std::vector<std::uint32_t>& closed() const { return closed_; }
  // The key of the action with that label, or nothing.
  static std::optional<std::string> actionKey(const Shown& shown, const std::string& label);
  // Emits ActionInvoked as a user's click would.
  void invoke(std::uint32_t id, const std::string& actionKey);

 private:
  static void methodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                         const gchar* method, GVariant* parameters,
                         GDBusMethodInvocation* invocation, gpointer data);

  qby::GObjectPtr<GDBusConnection> connection_;
  guint objectID_ = 0;
  std::uint32_t nextID_ = 1;
  std::vector<Shown> shown_;
  std::vector<std::uint32_t> closed_;
};

// Records the counts of com.canonical.Unity.LauncherEntry Update signals on the session bus.
class LauncherEntryListener {
 public:
  LauncherEntryListener();
  ~LauncherEntryListener();
  LauncherEntryListener(const LauncherEntryListener&) = delete;
  LauncherEntryListener& operator=(const LauncherEntryListener&) = delete;

  const std::vector<std::int64_t>& counts() const { return counts_; }

 private:
  qby::GObjectPtr<GDBusConnection> connection_;
  guint subscription_ = 0;
  std::vector<std::int64_t> counts_;
};

// A dbus-daemon of the test's own, listening on a socket in a temporary folder, with a
// service folder for bus activation. Its environment (and so that of the programs it
// activates) is the test's, with DBUS_SESSION_BUS_ADDRESS pointing at itself.
class PrivateBus {
 public:
  PrivateBus();
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  bool running() const { return static_cast<bool>(process_); }
  const std::string& address() const { return address_; }
  const std::filesystem::path& serviceFolder() const { return services_; }
  // Writes a service file that starts the program with the arguments for the name.
  void addService(const std::string& name, const std::string& commandLine);
  // Whether the name has an owner on this bus.
  bool hasOwner(const std::string& name);
  // Asks the bus to start the name's service; answers the bus's reply code (1 started,
  // 2 already running) or 0 on an error.
  unsigned startService(const std::string& name, std::string* error = nullptr);

 private:
  std::filesystem::path folder_;
  std::filesystem::path services_;
  std::string address_;
  qby::GObjectPtr<GSubprocess> process_;
  qby::GObjectPtr<GDBusConnection> connection_;
};

// The desktop's GlobalShortcuts portal: it owns "org.freedesktop.portal.Desktop", opens
// sessions, records the shortcuts bound and can send Activated as a key press would.
class FakeShortcutsPortal {
 public:
  struct Bound {
    std::string session;
    std::string id;
    std::string preferredTrigger;
  };

  FakeShortcutsPortal() = default;
  ~FakeShortcutsPortal();
  FakeShortcutsPortal(const FakeShortcutsPortal&) = delete;
  FakeShortcutsPortal& operator=(const FakeShortcutsPortal&) = delete;

  bool start(std::string* error = nullptr);
  const std::vector<Bound>& bound() const { return bound_; }
  const std::vector<std::string>& closedSessions() const { return closed_; }
  void activate(const std::string& session, const std::string& id);

 private:
  static void methodCall(GDBusConnection*, const gchar* sender, const gchar*, const gchar*,
                         const gchar* method, GVariant* parameters,
                         GDBusMethodInvocation* invocation, gpointer data);
  static GVariant* getProperty(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                               const gchar* property, GError** error, gpointer data);
  void respond(const std::string& sender, const std::string& token, GVariant* results);

  qby::GObjectPtr<GDBusConnection> connection_;
  std::vector<guint> objectIDs_;
  std::vector<Bound> bound_;
  std::vector<std::string> closed_;
  unsigned sessions_ = 0;
};

// A fake logind on a bus: it owns "org.freedesktop.login1" and sends PrepareForSleep.
class FakeLogind {
 public:
  bool start(const std::string& address, std::string* error = nullptr);
  void prepareForSleep(bool sleeping);

 private:
  qby::GObjectPtr<GDBusConnection> connection_;
};

// The companion program as a child process with its standard output and error in files.
class CompanionProcess {
 public:
  CompanionProcess(const std::vector<std::string>& arguments,
                   const std::map<std::string, std::string>& environment);
  ~CompanionProcess();
  CompanionProcess(const CompanionProcess&) = delete;
  CompanionProcess& operator=(const CompanionProcess&) = delete;

  bool started() const { return static_cast<bool>(process_); }
  bool finished() const { return finished_; }
  // The exit status, or the negative signal number; nothing while it runs.
  std::optional<int> exitStatus() const;
  // Serves the main loop until the program ends or the timeout passes.
  bool waitForExit(double timeoutSeconds);
  void kill(int signal);
  // What it logged so far (its standard error).
  std::string log() const;
  // Serves the main loop until the log holds the text (counted times).
  bool waitForLog(const std::string& text, double timeoutSeconds, std::size_t times = 1);

  static std::string programPath();

 private:
  static void exited(GObject* source, GAsyncResult* result, gpointer data);

  std::filesystem::path folder_;
  qby::GObjectPtr<GSubprocess> process_;
  bool finished_ = false;
};

// How often the text occurs in the whole.
std::size_t occurrences(const std::string& whole, const std::string& text);

}  // namespace porvane::test
