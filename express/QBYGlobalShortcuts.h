// The companion's global shortcuts for adding a delivery and showing the deliveries, through
// the desktop's GlobalShortcuts portal: the desktop asks the user to confirm the keys, and the
// portal tells the companion when they are pressed. Keys are never grabbed directly, so a
// desktop without the portal (or with an older one) simply has no shortcuts; the log says so
// and the preferences offer the command to bind by hand.
//
// Main thread only: the portal's answers and signals arrive on the default main context. The
// callback may be called until the object is destroyed, never after.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <optional>
#include <string>

#include "platform/GLibPtr.h"

namespace porvane::express {

class QBYGlobalShortcuts {
 public:
  enum class Shortcut { Add, Show };
  // The shortcut ids the portal knows them by.
  static constexpr const char* kAddID = "add-delivery";
  static constexpr const char* kShowID = "show-deliveries";

  QBYGlobalShortcuts(GDBusConnection* sessionBus, std::function<void(Shortcut)> activated);
  ~QBYGlobalShortcuts();
  QBYGlobalShortcuts(const QBYGlobalShortcuts&) = delete;
  QBYGlobalShortcuts& operator=(const QBYGlobalShortcuts&) = delete;

  // Drops every shortcut registered so far, then registers those asked for; each value is the
  // preferred trigger the user chose (a text such as "<Control><Alt>a"), nothing when off.
  void update(const std::optional<std::string>& addTrigger,
              const std::optional<std::string>& showTrigger);

  // Whether the portal answered and the shortcuts are bound.
  bool bound() const { return bound_; }

 private:
  struct Pending;
  void checkPortal();
  void createSession();
  void bindShortcuts(const std::string& sessionHandle);
  void closeSession();
  // Subscribes to the Response of the request the next call makes, named by the token.
  guint awaitResponse(const std::string& token,
                      void (*handler)(QBYGlobalShortcuts&, guint32, GVariant*));
  std::string nextToken();
  static void onActivated(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                          GVariant* parameters, gpointer data);

  qby::GObjectPtr<GDBusConnection> bus_;
  std::function<void(Shortcut)> activated_;
  qby::GObjectPtr<GCancellable> cancellable_;
  std::optional<std::string> addTrigger_;
  std::optional<std::string> showTrigger_;
  // Nothing: not asked yet; false: no portal on this desktop.
  std::optional<bool> portalAvailable_;
  std::string sessionHandle_;
  guint responseSubscription_ = 0;
  guint activatedSubscription_ = 0;
  unsigned tokenCounter_ = 0;
  bool bound_ = false;
};

}  // namespace porvane::express
