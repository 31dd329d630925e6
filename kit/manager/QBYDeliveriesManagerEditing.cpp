// Adding, saving, archiving and deleting deliveries, the add queue of the other programs, the
// manual order and the archive: the manager's editing side.
#include <algorithm>
#include <cstdio>
#include <random>

#include "engine/QBYPasswordManager.h"
#include "engine/QBYServiceUpdate.h"
#include "manager/QBYDeliveriesCalendar.h"
#include "manager/QBYDeliveriesManager.h"
#include "manager/QBYManualOrder.h"
#include "manager/QBYResultsApplier.h"
#include "manager/QBYServiceCatalogue.h"
#include "manager/QBYSettingsValidation.h"
#include "model/Delivery.h"
#include "model/QBYDeliveryKeys.h"
#include "model/Service.h"
#include "model/Setting.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/QBYUserDefaults.h"
#include "store/QBYDataStore.h"
#include "store/QBYDeliveriesQueries.h"
#include "store/core/QBYManagedObjectContext.h"
#include "util/StringUtilities.h"

namespace qby {

namespace {

// A new random (version 4) UUID in the platform's upper-case form.
std::string newUUIDString() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  std::uniform_int_distribution<unsigned> byte(0, 255);
  unsigned char bytes[16];
  for (auto& b : bytes) b = static_cast<unsigned char>(byte(generator));
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3f) | 0x80);
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  return text;
}

bool hasSettingOfType(const Service& service, std::string_view type) {
  for (const auto& setting : service.settings()) {
    if (setting && setting->type() == type) return true;
  }
  return false;
}

std::optional<Date> modifiedDate(const QBYDeliverySettings& settings) {
  if (settings.modified > 1) return Date(settings.modified);
  return std::nullopt;
}

bool nonEmpty(const std::optional<std::string>& text) {
  return text && !text->empty();
}

}  // namespace

// --- Validation
// ------------------------------------------------------------------------------------

bool QBYDeliveriesManager::validateSettings(const QBYDeliverySettings& settings, bool checkPassword,
                                            QBYError* error) {
  return qby::validateSettings(settings, serviceForDomain(settings.from), checkPassword, error);
}

std::optional<QBYError> QBYDeliveriesManager::validationErrorForFields(
    const std::vector<std::string>& fields, const std::optional<std::vector<std::string>>& keys) {
  return qby::validationErrorForFields(fields, keys);
}

// --- Saving
// ----------------------------------------------------------------------------------------

std::shared_ptr<Delivery> QBYDeliveriesManager::saveDeliveryWithSettings(
    QBYDeliverySettings settings, QBYError* passwordError) {
  if (!dataStore_ || !dataStore_->viewContext()) return nullptr;
  auto& context = *dataStore_->viewContext();
  if (!deliveriesFetched_) reloadDeliveries();

  auto delivery = deliveryWithUUID(settings.uuid, true, &context);
  bool added = false;
  if (!delivery) {
    delivery = context.insert<Delivery>("Delivery");
    delivery->setUuid(nonEmpty(settings.uuid) ? *settings.uuid : newUUIDString());
    delivery->setManualSortIndex(0);
    added = true;
  } else {
    if (delivery->shouldIgnoreUpdateWithCloudKitTag(settings.cloudKitTag, modifiedDate(settings)))
      return delivery;
    if (delivery->archived()) {
      delivery->setArchived(false);
      delivery->setRemoved(false);
      added = true;
    }
  }

  auto service = serviceForDomain(settings.from);
  const std::string name = settings.name.value_or("");
  const std::string no = trimmedString(settings.no.value_or(""));
  std::string extra;
  if (settings.extra && !(service && !hasSettingOfType(*service, "extra")))
    extra = trimmedString(*settings.extra);
  std::string date;
  if (settings.date && !(service && !hasSettingOfType(*service, "date"))) date = *settings.date;

  if (settings.changedPassword) changedPasswordForDomain(settings.from, extra);

  const std::optional<std::string> previousFrom = delivery->from();
  const bool changed =
      previousFrom != settings.from || (settings.changedPassword && nonEmpty(settings.password)) ||
      delivery->name().value_or("") != name || delivery->no().value_or("") != no ||
      delivery->extra().value_or("") != extra || delivery->date().value_or("") != date;

  if (!added && !changed) {
    if (settings.modified > 1) delivery->setModified(settings.modified);
    delivery->updateCloudKitData(settings.cloudKitData, settings.cloudKitTag, false, &context);
  } else {
    if (!added && settings.skipSync && service && !validateSettings(settings, false)) {
      log("Ignoring invalid settings: %@", settings.description());
      return delivery;
    }
    delivery->setName(name);
    delivery->setFrom(settings.from);
    delivery->setNo(no);
    delivery->setExtra(extra);
    delivery->setDate(date);
    delivery->setModified(settings.modified > 1 ? settings.modified
                                                : Date::now().timeIntervalSince1970());

    delivery->setHistoryTitle(delivery->defaultTitle());
    delivery->setStatusChangedDate(std::nullopt);
    delivery->setSiteChangedDate(std::nullopt);
    delivery->setUrl(std::nullopt);
    delivery->setMobileURL(std::nullopt);
    delivery->setNextUpdate(0);
    delivery->setBackgroundUpdate(0);
    delivery->setMessage(std::string());
    delivery->setUpdating(true);
    delivery->setItemCacheJSON(settings.itemCacheJSON);

    if (changed && !delivery->details().empty()) {
      const bool keepsUserLines = previousFrom == settings.from && delivery->isOther();
      if (!keepsUserLines) {
        delivery->setUpdatedTime(0);
        // The calendar finds the events through the lines' dates: remove them first.
        calendar().deleteEventsForDelivery(*delivery, false);
        resultsApplier().deleteDetailsFromDelivery(delivery);
      }
    }

    delivery->updateStatusChangedOrModifiedDate();
    delivery->updateCloudKitData(settings.cloudKitData, settings.cloudKitTag, false, &context);
    resultsApplier().deleteHTMLFromDelivery(delivery);

    if (nonEmpty(settings.password) && nonEmpty(delivery->extra())) {
      QBYError error;
      const bool stored = QBYPasswordManager::setPassword(
          settings.password, *delivery->extra(), settings.from.value_or(""), false, &error);
      delivery->setPassword(stored);
      // The delivery is saved all the same; the caller tells the user the password is not.
      if (!stored) setError(passwordError, std::move(error));
    }

    delivery->setService(service);
    if (service) service->setDefaultExtra(delivery->isOther() ? std::nullopt : delivery->extra());
    if (previousFrom != settings.from) increaseCountForService(service);

    QBYDataStore::sharedDefaults().setObject(Value(settings.from), QBYLastServiceKey);
    resultsApplier().updateSearchTextForDelivery(delivery, context);
    // Above the first row of the manual order, which is the smallest index whatever order
    // the list is shown in now; set before the save so that the index is stored with it.
    if (added)
      delivery->setManualSortIndex(
          static_cast<std::int64_t>(indexAboveAll(deliveries_, delivery.get())));
    dataStore_->saveData();

    if (added) {
      deliveries_.erase(std::remove(deliveries_.begin(), deliveries_.end(), delivery),
                        deliveries_.end());
      deliveries_.insert(deliveries_.begin(), delivery);
      if (auto d = delegate_.lock()) d->addedDelivery(delivery, 0);
    } else {
      if (auto d = delegate_.lock()) d->updatedDelivery(delivery);
    }
    if (!settings.skipSync) syncDelivery(delivery, false);
  }

  // Results the settings carry (from sync or another program) that are newer than ours.
  if (auto results = settings.detailsLaterThan(delivery->updatedTime(), serviceUpdate().version(),
                                               language_)) {
    std::optional<Date> updated;
    if (settings.updatedTime > 1) updated = Date(settings.updatedTime);
    resultsApplier().updateDelivery(delivery, *results, updated, settings.serviceUpdateVersion);
  }

  if (settings.shouldPresent != QBYDeliverySettings::PresentNothing) {
    if (auto d = delegate_.lock()) d->shouldPresent(settings.shouldPresent, delivery);
  } else if (added && deliveries_.size() == 1) {
    if (auto d = delegate_.lock())
      d->shouldPresent(QBYDeliverySettings::PresentFromEditor, delivery);
  }

  updateDeliveriesSoon();
  return delivery;
}

void QBYDeliveriesManager::saveOrRemoveDeliveryWithSettings(const QBYDeliverySettings& settings) {
  if (settings.archived) {
    removeDeliveryWithSettings(settings);
  } else {
    saveDeliveryWithSettings(settings);
  }
}

// --- Archiving and deleting
// ------------------------------------------------------------------------

void QBYDeliveriesManager::removeDeliveryWithSettings(const QBYDeliverySettings& settings) {
  if (!dataStore_ || !dataStore_->viewContext()) return;
  auto& context = *dataStore_->viewContext();
  if (!deliveriesFetched_) reloadDeliveries();

  auto delivery = deliveryWithUUID(settings.uuid, true, &context);
  if (delivery &&
      delivery->shouldIgnoreUpdateWithCloudKitTag(settings.cloudKitTag, modifiedDate(settings)))
    return;

  const bool deleting = settings.shouldDelete;
  auto results = settings.detailsLaterThan(delivery ? delivery->updatedTime() : 0, 0, std::nullopt);

  bool isNew = false;
  if (!delivery) {
    if (!results || deleting || !nonEmpty(settings.uuid)) return;
    delivery = context.insert<Delivery>("Delivery");
    delivery->setUuid(settings.uuid);
    isNew = true;
  }

  if (!isNew && delivery->archived() && !results && !deleting) {
    if (settings.modified > 1) delivery->setModified(settings.modified);
    delivery->updateCloudKitData(settings.cloudKitData, settings.cloudKitTag, false, &context);
  } else {
    if (!isNew) calendar().deleteEventsForDelivery(*delivery, !deleting);
    delivery->setArchived(true);
    delivery->setModified(settings.modified > 1 ? settings.modified
                                                : Date::now().timeIntervalSince1970());
    if (!deleting) {
      if (results) {
        delivery->setRemoved(false);
        delivery->setName(settings.name.value_or(""));
        delivery->setFrom(settings.from.value_or(""));
        delivery->setNo(settings.no.value_or(""));
        delivery->setExtra(settings.extra.value_or(""));
        delivery->setDate(settings.date.value_or(""));
        delivery->setHistoryTitle(delivery->defaultTitle());
        delivery->updateCloudKitData(settings.cloudKitData, settings.cloudKitTag, false, &context);
        delivery->setService(serviceForDomain(settings.from));
        resultsApplier().updateSearchTextForDelivery(delivery, context);
      }
    } else {
      // A tombstone: only the identity and the flags stay, for sync to pass the deletion on.
      delivery->setRemoved(true);
      delivery->setName(std::nullopt);
      delivery->setFrom(std::nullopt);
      delivery->setNo(std::nullopt);
      delivery->setExtra(std::nullopt);
      delivery->setDate(std::nullopt);
      delivery->setHistoryTitle(std::nullopt);
      delivery->setUrl(std::nullopt);
      delivery->setMobileURL(std::nullopt);
      delivery->setMessage(std::nullopt);
      delivery->setSiteChangedDate(std::nullopt);
      delivery->setStatusChangedDate(std::nullopt);
      delivery->setLastErrorDate(std::nullopt);
      delivery->setTap(std::nullopt);
      delivery->setItemCacheJSON(std::nullopt);
      delivery->setService(nullptr);
      delivery->setPassword(false);
      delivery->setSelected(0);
      delivery->setUpdatedTime(0);
      delivery->setNextUpdate(0);
      delivery->setBackgroundUpdate(0);
      delivery->setUpdating(false);
      resultsApplier().deleteHTMLFromDelivery(delivery);
      resultsApplier().deleteDetailsFromDelivery(delivery);
      resultsApplier().deleteSearchTextFromDelivery(delivery);
    }
    dataStore_->saveData();

    auto d = delegate_.lock();
    if (isNew) {
      if (d) d->updatedArchivedDeliveries();
    } else {
      auto it = std::find(deliveries_.begin(), deliveries_.end(), delivery);
      if (it != deliveries_.end()) {
        const auto row = static_cast<std::size_t>(it - deliveries_.begin());
        deliveries_.erase(it);
        if (d) {
          d->removedDelivery(delivery, row, deleting);
          if (!settings.skipSync && !deleting && delivery->isComplete())
            d->userArchivedCompletedDelivery();
        }
      } else if (d) {
        d->updatedArchivedDeliveries();
      }
    }
    if (!settings.skipSync) syncDelivery(delivery, true);
  }

  if (results && !deleting) {
    std::optional<Date> updated;
    if (settings.updatedTime > 1) updated = Date(settings.updatedTime);
    resultsApplier().updateDelivery(delivery, *results, updated, settings.serviceUpdateVersion);
  }
  if (settings.shouldPresent != QBYDeliverySettings::PresentNothing) {
    if (auto d = delegate_.lock()) d->shouldPresent(settings.shouldPresent, delivery);
  }
  if (settings.uuid) {
    if (auto n = notificationDelegate_.lock()) n->removeNotificationForUUID(*settings.uuid);
  }
}

void QBYDeliveriesManager::removeDeliveryFromRow(std::size_t row) {
  if (row >= deliveries_.size()) return;
  auto settings = QBYDeliverySettings::settingsWithDictionary(deliveries_[row]->attributes());
  removeDeliveryWithSettings(settings);
}

// --- Deliveries added by other programs
// ------------------------------------------------------------

void QBYDeliveriesManager::addDeliveryLaterWithSettings(QBYDeliverySettings settings) {
  if (nonEmpty(settings.extra) && !settings.isOther()) {
    if (auto service = serviceForDomain(settings.from)) {
      service->setDefaultExtra(settings.extra);
      if (dataStore_) dataStore_->saveData();
    }
  }
  if (settings.changedPassword && nonEmpty(settings.password) && nonEmpty(settings.extra)) {
    QBYPasswordManager::setPassword(settings.password, *settings.extra, settings.from.value_or(""));
  }
  settings.modified = Date::now().timeIntervalSince1970();

  auto& defaults = QBYDataStore::sharedDefaults();
  Array pending = defaults.arrayForKey(QBYAddToDeliveriesKey).value_or(Array{});
  pending.push_back(Value(settings.archivedDictionary()));
  defaults.setObject(Value(std::move(pending)), QBYAddToDeliveriesKey);
  sendAction(QBYWormholeActionAddDelivery);
}

void QBYDeliveriesManager::checkForAddedDeliveries() {
  auto& defaults = QBYDataStore::sharedDefaults();
  auto pending = defaults.arrayForKey(QBYAddToDeliveriesKey);
  if (!pending) return;
  for (const auto& entry : *pending) {
    const Dictionary* archive = entry.dictionaryPtr();
    if (!archive) {
      log("Error reading added delivery: %@", entry);
      continue;
    }
    auto settings = QBYDeliverySettings::settingsWithArchivedDictionary(*archive);
    auto existing = deliveryWithSettings(settings, !nonEmpty(settings.no));
    if (existing) {
      if (settings.modified > 1 && settings.modified <= existing->modified()) {
        log("Existing delivery is newer, not replacing: %@ vs. %@", Value(existing->attributes()),
            settings.description());
        continue;
      }
      log("Replacing delivery %@ with %@", Value(existing->attributes()), settings.description());
      settings.uuid = existing->uuid();
    }
    settings.modified = Date::now().timeIntervalSince1970();
    saveDeliveryWithSettings(settings);
  }
  defaults.removeObjectForKey(QBYAddToDeliveriesKey);
}

// --- Finding
// ----------------------------------------------------------------------------------------

std::shared_ptr<Delivery> QBYDeliveriesManager::deliveryWithUUID(
    const std::optional<std::string>& uuid) {
  if (!dataStore_) return nullptr;
  return deliveryWithUUID(uuid, false, dataStore_->viewContext().get());
}

std::shared_ptr<Delivery> QBYDeliveriesManager::deliveryWithUUID(
    const std::optional<std::string>& uuid, bool includeRemoved, QBYManagedObjectContext* context) {
  if (!uuid || !context) return nullptr;
  std::shared_ptr<Delivery> found;
  bool removedDuplicates = false;
  context->performAndWait([&] {
    // Every record with the uuid, so that duplicates left by an old sync are seen and merged.
    QBYFetchRequest request;
    request.entityName = "Delivery";
    request.predicate =
        includeRemoved ? R"(t."uuid" = ?)" : R"(t."uuid" = ? AND t."removed" IS NOT 1)";
    request.arguments = {Value(*uuid)};
    QBYError error;
    auto results = context->executeFetchRequest(request, &error);
    if (!results) {
      log("Error fetching delivery: %@, %@", error.description(), error.userInfoDescription());
      return;
    }
    auto records = results->allAs<Delivery>();
    for (const auto& record : records) {
      if (!record) continue;
      if (!found || record->modified() > found->modified()) found = record;
    }
    for (const auto& record : records) {
      if (record && record != found) {
        context->deleteObject(record);
        removedDuplicates = true;
      }
    }
  });
  if (removedDuplicates) cleanUpAfterDelete();
  return found;
}

void QBYDeliveriesManager::cleanUpAfterDelete() {
  std::weak_ptr<QBYDeliveriesManager> weak = weak_from_this();
  MainQueue::async([weak] {
    auto strong = weak.lock();
    if (!strong) return;
    if (strong->dataStore_) strong->dataStore_->saveData();
    strong->reloadDeliveries();
    if (auto d = strong->delegate_.lock()) d->shouldReloadDeliveries();
  });
}

std::shared_ptr<QBYManagedObject> QBYDeliveriesManager::existingObjectWithID(
    const QBYManagedObjectID& id) {
  if (!dataStore_ || !dataStore_->viewContext()) return nullptr;
  QBYError error;
  auto object = dataStore_->viewContext()->existingObjectWithID(id, &error);
  if (!object) log("Existing object not found: %@, %@", id.description(), error.description());
  return object;
}

std::shared_ptr<Delivery> QBYDeliveriesManager::deliveryWithSettings(
    const QBYDeliverySettings& settings, bool strictMatching) {
  if (!dataStore_) return nullptr;
  auto results = qby::deliveriesWithSettings(*dataStore_, settings, strictMatching, true, 1,
                                             dataStore_->viewContext().get());
  return results.empty() ? nullptr : results.front();
}

std::shared_ptr<Delivery> QBYDeliveriesManager::existingDeliveryMatchingGuess(
    const Dictionary& guess) {
  if (!dataStore_) return nullptr;
  QBYDeliverySettings settings;
  if (auto no = guess["no"].asString(); no && !no->empty()) {
    settings.no = no;
  } else {
    settings.extra = guess["extra"].asString();
  }
  auto results = qby::deliveriesWithSettings(*dataStore_, settings, true, false, 1,
                                             dataStore_->viewContext().get());
  return results.empty() ? nullptr : results.front();
}

std::vector<std::shared_ptr<Delivery>> QBYDeliveriesManager::deliveriesMatchingSearch(
    const std::optional<std::string>& text, unsigned scope) {
  if (!dataStore_) return {};
  return qby::deliveriesMatchingSearch(*dataStore_, text, scope, 0, true,
                                       dataStore_->viewContext().get())
      .allAs<Delivery>();
}

void QBYDeliveriesManager::changedPasswordForDomain(const std::optional<std::string>& domain,
                                                    const std::optional<std::string>& extra) {
  if (!dataStore_ || !dataStore_->viewContext()) return;
  auto& context = *dataStore_->viewContext();
  context.performAndWait([&] {
    QBYFetchRequest request;
    request.entityName = "Delivery";
    request.predicate = R"(t."from" IS ? AND t."extra" IS ? AND t."archived" IS NOT 1)";
    request.arguments = {Value(domain), Value(extra)};
    QBYError error;
    auto results = context.executeFetchRequest(request, &error);
    if (!results) {
      log("Error changing password for deliveries: %@, %@", error.description(),
          error.userInfoDescription());
      return;
    }
    for (const auto& delivery : results->allAs<Delivery>()) {
      if (delivery) delivery->prepareForSignIn();
    }
  });
}

// --- Lists

std::vector<std::shared_ptr<Delivery>> QBYDeliveriesManager::fetchDeliveries() {
  if (!dataStore_ || !dataStore_->viewContext()) return {};
  auto results =
      deliveriesForProcessType(*dataStore_, processType_, dataStore_->viewContext().get());
  std::vector<std::shared_ptr<Delivery>> out;
  out.reserve(results.size());
  for (std::size_t i = 0; i < results.size(); ++i) {
    if (auto delivery = results.as<Delivery>(i)) out.push_back(std::move(delivery));
  }
  return out;
}

std::vector<std::shared_ptr<Delivery>> QBYDeliveriesManager::deliveriesForSearchIndex(
    QBYDataStore& store, QBYManagedObjectContext& context) {
  return qby::deliveriesMatchingSearch(store, std::nullopt, QBYSearchScopeAll, 0, true, &context)
      .allAs<Delivery>();
}

// --- Manual order
// -----------------------------------------------------------------------------------

double QBYDeliveriesManager::indexForRow(std::int64_t row) const {
  return qby::indexForRow(deliveries_, row);
}

std::shared_ptr<Delivery> QBYDeliveriesManager::moveDeliveryFromRow(std::int64_t from,
                                                                    std::int64_t to, bool adjust) {
  auto moved = qby::moveDeliveryFromRow(deliveries_, from, to, adjust);
  if (moved && dataStore_) dataStore_->saveData();
  return moved;
}

// --- Archive
// ----------------------------------------------------------------------------------------

void QBYDeliveriesManager::clearHistory() {
  if (!dataStore_ || !dataStore_->viewContext()) return;
  auto& context = *dataStore_->viewContext();
  QBYFetchRequest request;
  request.entityName = "Delivery";
  request.predicate = R"(t."archived" = 1)";
  QBYError error;
  auto results = context.executeFetchRequest(request, &error);
  if (!results) {
    log("Error clearing history: %@, %@", error.description(), error.userInfoDescription());
    return;
  }
  if (auto d = delegate_.lock()) d->willClearHistory();
  for (const auto& record : results->all()) {
    if (record) context.deleteObject(record);
  }
  dataStore_->saveData();
}

std::string QBYDeliveriesManager::descriptionForHistoryDays(std::uint64_t days) {
  if (days == static_cast<std::uint64_t>(QBYHistoryDaysMax)) return QBYLocalizedString("Manually");
  if (days == 182) return QBYLocalizedString("After 6 Months");
  if (days == 365) return QBYLocalizedString("After a Year");
  return format(QBYLocalizedString("After %d Days"), days);
}

// --- Changes from sync
// ------------------------------------------------------------------------------

void QBYDeliveriesManager::saveObjectWithAttributes(const Dictionary& attributes, bool sync) {
  auto settings = QBYDeliverySettings::settingsWithDictionary(attributes, true);
  settings.modified = attributes[QBYDeliveryModified].asReal().value_or(0);
  settings.skipSync = !sync;
  saveOrRemoveDeliveryWithSettings(settings);
}

void QBYDeliveriesManager::removeObjectWithUUID(const std::string& uuid) {
  QBYDeliverySettings settings;
  settings.uuid = uuid;
  settings.skipSync = true;
  removeDeliveryWithSettings(settings);
}

void QBYDeliveriesManager::deleteObjectsWithIDs(const std::vector<QBYManagedObjectID>& ids) {
  if (!dataStore_) return;
  if (dataStore_->deleteObjectsWithIDs(ids)) {
    dataStore_->saveData();
    if (auto& context = dataStore_->viewContext()) context->refreshAllObjects();
    reloadDeliveries();
    if (auto d = delegate_.lock()) d->shouldReloadDeliveries();
  }
}

}  // namespace qby
