#include "QBYStatusMenuController.h"

#include <glib.h>
#include <unistd.h>

#include <filesystem>

#include "PorvaneKit.h"
#include "QBYBackgroundAppDelegate.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "platform/GLibPtr.h"
#include "platform/Log.h"
#include "presentation/QBYDateFormatter.h"
#include "presentation/text/QBYDeliveryRowText.h"
#include "store/QBYDataStore.h"
#include "sync/QBYSyncManager.h"

namespace porvane::express {

namespace {

constexpr const char* kTodayProgramName = "porvane-app";
constexpr const char* kAddURL = "porvane://add";
constexpr const char* kShowURL = "porvane://show";
constexpr const char* kSettingsURL = "porvane://settings";

// The row texts pad a blank line with a single space so list rows keep their height; a menu
// item shows nothing for it instead.
std::string lineOrEmpty(const std::string& text) {
  return text.find_first_not_of(" \t\n") == std::string::npos ? std::string() : text;
}

}  // namespace

std::vector<MenuDelivery> menuDeliveries(
    const std::vector<std::shared_ptr<qby::Delivery>>& deliveries,
    qby::QBYDateFormatter& formatter) {
  std::vector<MenuDelivery> rows;
  rows.reserve(deliveries.size());
  for (const auto& delivery : deliveries) {
    if (!delivery) continue;
    const auto detail = delivery->selectedDetail();
    const auto text = qby::QBYDeliveryRowText::forDelivery(
        delivery.get(), detail.get(), formatter, qby::QBYDeliveryRowText::QBYDisplayStyleNormal);
    MenuDelivery row;
    row.uuid = delivery->uuid().value_or("");
    row.title = lineOrEmpty(text.title);
    // A delivery without tracking lines yet still needs a name in the menu.
    if (row.title.empty()) row.title = delivery->name().value_or(delivery->no().value_or(""));
    row.status = lineOrEmpty(text.status);
    row.deliver = lineOrEmpty(text.deliver);
    if (!text.daysNumber.empty())
      row.days = text.daysText.empty() ? text.daysNumber : text.daysNumber + " " + text.daysText;
    const auto url = delivery->url();
    row.hasTrackingPage = url && !url->empty();
    row.packageCount = std::max<std::size_t>(1, delivery->details().size());
    row.selectedPackage = static_cast<std::size_t>(std::max<std::int64_t>(0, delivery->selected()));
    rows.push_back(std::move(row));
  }
  return rows;
}

QBYStatusMenuController::QBYStatusMenuController(GDBusConnection* sessionBus,
                                                 QBYBackgroundAppDelegate& application)
    : application_(application),
      item_(std::make_unique<QBYStatusItem>(sessionBus, *this)),
      todayProgram_(todayProgram()) {
  item_->setEmptyText(qby::QBYLocalizedString("You do not have\nany deliveries"));
  item_->setItemIsMenu(!todayProgram_);
}

QBYStatusMenuController::~QBYStatusMenuController() = default;

std::optional<std::string> QBYStatusMenuController::todayProgram() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    const auto beside = self.parent_path() / kTodayProgramName;
    if (access(beside.c_str(), X_OK) == 0) return beside.string();
  }
  qby::GCharPtr found(g_find_program_in_path(kTodayProgramName));
  if (found) return std::string(found.get());
  return std::nullopt;
}

void QBYStatusMenuController::setVisible(bool visible) {
  item_->setVisible(visible);
  if (visible) reload();
}

bool QBYStatusMenuController::visible() const {
  return item_->visible();
}

void QBYStatusMenuController::reload() {
  if (!item_->visible()) return;
  auto* manager = application_.deliveriesManager();
  if (!manager) return;
  item_->setDeliveries(menuDeliveries(manager->activeDeliveries(), manager->dateFormatter()),
                       manager->status().value_or(""));
}

void QBYStatusMenuController::statusItemActivated() {
  if (!todayProgram_) return;
  const char* argv[] = {todayProgram_->c_str(), "--today", nullptr};
  GError* rawError = nullptr;
  if (!g_spawn_async(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr, nullptr,
                     nullptr, &rawError)) {
    qby::log("Cannot start %@: %@", *todayProgram_, rawError ? rawError->message : "?");
    g_clear_error(&rawError);
  }
}

std::shared_ptr<qby::Delivery> QBYStatusMenuController::delivery(
    const std::optional<std::string>& uuid) const {
  auto* manager = application_.deliveriesManager();
  if (!manager || !uuid) return nullptr;
  return manager->deliveryWithUUID(uuid);
}

void QBYStatusMenuController::saveChangeOf(const std::shared_ptr<qby::Delivery>& delivery) {
  auto* manager = application_.deliveriesManager();
  if (!manager || !manager->dataStore()) return;
  if (!manager->dataStore()->saveData()) {
    qby::log("Error saving changes to %@", delivery->uuid().value_or("(null)"));
    return;
  }
  if (const auto& sync = manager->syncManager()) sync->syncObject(delivery, false);
}

void QBYStatusMenuController::menuCommandChosen(MenuCommand command,
                                                const std::optional<std::string>& uuid,
                                                std::size_t package) {
  auto* manager = application_.deliveriesManager();
  switch (command) {
    case MenuCommand::OpenInPorvane:
      if (uuid) application_.showDeliveryWithUUID(*uuid);
      break;
    case MenuCommand::OpenTrackingPage:
      if (const auto found = delivery(uuid)) {
        const auto url = found->url();
        if (url && !url->empty())
          application_.openURL(*url);
        else
          qby::log("Tried to open an invalid URL: %@", url.value_or("(null)"));
      }
      break;
    case MenuCommand::Refresh:
      if (const auto found = delivery(uuid)) {
        found->markForUpdate();
        saveChangeOf(found);
        if (manager) manager->update();
      }
      break;
    case MenuCommand::Archive:
      if (uuid) application_.archiveDeliveryWithUUID(*uuid);
      break;
    case MenuCommand::ShowPackage:
      if (const auto found = delivery(uuid)) {
        found->setSelected(static_cast<std::int64_t>(package));
        saveChangeOf(found);
        reload();
      }
      break;
    case MenuCommand::UpdateNow:
      if (manager) manager->manualUpdate(0);
      break;
    case MenuCommand::AddDelivery:
      application_.openURL(kAddURL);
      break;
    case MenuCommand::OpenPorvane:
      application_.openURL(kShowURL);
      break;
    case MenuCommand::Preferences:
      application_.openURL(kSettingsURL);
      break;
    case MenuCommand::Quit:
      application_.terminate();
      break;
  }
}

}  // namespace porvane::express
