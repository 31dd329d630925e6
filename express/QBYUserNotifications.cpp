#include "QBYUserNotifications.h"

#include <glib.h>

#include "PorvaneKit.h"
#include "platform/GLibPtr.h"
#include "platform/Log.h"

namespace porvane::express {

namespace {

// Texts from a script or a sync partner reach the desktop's notification server, whose
// D-Bus strings must be valid UTF-8: anything else would make GIO drop the whole message.
std::string validText(const std::optional<std::string>& text) {
  if (!text) return {};
  if (g_utf8_validate(text->data(), static_cast<gssize>(text->size()), nullptr)) return *text;
  qby::GCharPtr valid(g_utf8_make_valid(text->data(), static_cast<gssize>(text->size())));
  return valid.get();
}

}  // namespace

bool QBYUserNotifications::present(const qby::QBYNotification& notification) {
  if (!notification.identifier || notification.identifier->empty() || !notification.uuid ||
      notification.uuid->empty())
    return false;
  const std::string identifier = validText(notification.identifier);
  const std::string uuid = validText(notification.uuid);

  auto shown = qby::GObjectPtr<GNotification>::adopt(
      g_notification_new(validText(notification.title).c_str()));
  if (notification.message)
    g_notification_set_body(shown.get(), validText(notification.message).c_str());
  const std::string archive = std::string("app.") + kArchiveActionName;
  const std::string show = std::string("app.") + kShowActionName;
  if (notification.action == qby::QBYNotificationActionArchive)
    g_notification_add_button_with_target(shown.get(), qby::QBYLocalizedString("Archive").c_str(),
                                          archive.c_str(), "s", uuid.c_str());
  g_notification_set_default_action_and_target(shown.get(), show.c_str(), "s", uuid.c_str());

  // Sending with the same id replaces what the desktop shows; withdrawing first keeps servers
  // that ignore the replacement from stacking both.
  g_application_withdraw_notification(application_, identifier.c_str());
  g_application_send_notification(application_, identifier.c_str(), shown.get());
  shown_[uuid].insert(identifier);
  return true;
}

std::size_t QBYUserNotifications::removeForUUID(const std::string& uuid) {
  const auto found = shown_.find(uuid);
  if (found == shown_.end()) return 0;
  const std::size_t count = found->second.size();
  for (const auto& identifier : found->second)
    g_application_withdraw_notification(application_, identifier.c_str());
  shown_.erase(found);
  return count;
}

void QBYUserNotifications::removeAll() {
  for (const auto& [uuid, identifiers] : shown_)
    for (const auto& identifier : identifiers)
      g_application_withdraw_notification(application_, identifier.c_str());
  shown_.clear();
}

std::size_t QBYUserNotifications::shownCount() const {
  std::size_t count = 0;
  for (const auto& [uuid, identifiers] : shown_) count += identifiers.size();
  return count;
}

}  // namespace porvane::express
