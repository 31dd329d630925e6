// The companion's side of the desktop's notification service: it shows one delivery
// notification per identifier (a newer one with the same identifier replaces the older), offers
// "Archive" as a button when the notification asks for it, and withdraws every notification of
// a delivery when that delivery is archived or deleted.
//
// GIO picks the service (GNOME's, the freedesktop one, or the portal in a sandbox); the
// buttons and the click on the notification come back as the application's actions
// "app.archive" and "app.show" with the delivery's uuid as their target, so they reach the
// companion only while it runs.
//
// Threads: main thread only.
#pragma once

#include <gio/gio.h>

#include <cstddef>
#include <map>
#include <set>
#include <string>

#include "manager/QBYNotification.h"

namespace porvane::express {

// The application actions the notifications use; their parameter is the delivery's uuid.
inline constexpr const char* kArchiveActionName = "archive";
inline constexpr const char* kShowActionName = "show";

class QBYUserNotifications {
 public:
  // The application must outlive this object and be registered before the first present().
  explicit QBYUserNotifications(GApplication* application) : application_(application) {}
  QBYUserNotifications(const QBYUserNotifications&) = delete;
  QBYUserNotifications& operator=(const QBYUserNotifications&) = delete;

  // Shows the notification; false when it has no identifier or uuid (nothing is shown).
  bool present(const qby::QBYNotification& notification);
  // Withdraws every notification shown for the delivery; answers how many there were.
  std::size_t removeForUUID(const std::string& uuid);
  void removeAll();

  // How many notifications are on screen as far as this process knows.
  std::size_t shownCount() const;

 private:
  GApplication* application_;
  // Delivery uuid → identifiers of its notifications on screen.
  std::map<std::string, std::set<std::string>> shown_;
};

}  // namespace porvane::express
