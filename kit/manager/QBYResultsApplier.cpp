#include "manager/QBYResultsApplier.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <utility>

#include "finder/QBYTextSimilarity.h"
#include "manager/QBYDeliveriesCalendar.h"
#include "manager/QBYNotification.h"
#include "model/Delivery.h"
#include "model/DeliveryText.h"
#include "model/Detail.h"
#include "model/HTML.h"
#include "model/TemplateText.h"
#include "platform/Log.h"
#include "platform/QBYUserDefaults.h"
#include "presentation/QBYDateFormatter.h"
#include "store/QBYDataStore.h"
#include "store/core/QBYManagedObjectContext.h"
#include "util/CharacterSet.h"
#include "util/ICUText.h"
#include "util/StringUtilities.h"

namespace qby {

namespace {

constexpr const char* kCheckmark = "checkmark";
constexpr const char* kPasswordTap = "password";
// A check mark and a no-break space before a delivered item's name.
constexpr const char* kDeliveredTitleFormat = "\u2713\u00A0%@";
constexpr const char* kNotificationIdentifierFormat = "%@-%@";
constexpr const char* kSingleSuffix = "single";
constexpr std::size_t kIdentifierNameLength = 50;

// Background updates come at most this often and at least this rarely (minutes), unless the
// service asks for an even longer pause.
constexpr double kMinimumBackgroundInterval = 30;
constexpr double kMaximumBackgroundInterval = 720;
constexpr double kBackgroundIntervalFactor = 3;

std::optional<std::string> textOf(const Dictionary& dictionary, const char* key) {
  return dictionary[key].asString();
}

Value dateValue(const std::optional<Date>& date) {
  return date ? Value(*date) : Value();
}

std::string lowercased(const std::string& text) {
  auto unicodeText = icutext::unicode(text);
  unicodeText.toLower();
  return icutext::utf8(unicodeText);
}

}  // namespace

// The state of one application of a results dictionary.
struct QBYResultsApplier::Application {
  std::shared_ptr<Delivery> delivery;
  std::optional<std::string> resultsUUID;
  std::string tap;
  Date date;
  bool live = false;
  bool changed = false;
  // Where the selection goes once the details are replaced: it follows its item.
  std::int64_t selected = 0;
};

QBYDateFormatter& QBYResultsApplierHost::dateFormatter() {
  return QBYDateFormatter::sharedFormatter();
}

QBYUserDefaults& QBYResultsApplierHost::sharedDefaults() {
  return QBYDataStore::sharedDefaults();
}

QBYResultsApplier::QBYResultsApplier(QBYResultsApplierHost& host) : host_(host) {}

double QBYResultsApplier::backgroundIntervalForInterval(double minutes) {
  if (minutes >= kMaximumBackgroundInterval) return minutes;
  return std::clamp(minutes * kBackgroundIntervalFactor, kMinimumBackgroundInterval,
                    kMaximumBackgroundInterval);
}

QBYResultsOutcome QBYResultsApplier::updateDelivery(std::shared_ptr<Delivery> delivery,
                                                    const Dictionary& results,
                                                    std::optional<Date> updatedDate,
                                                    std::int64_t serviceUpdateVersion) {
  const auto resultsUUID = textOf(results, QBYResultsUUID);
  if (!delivery && resultsUUID) delivery = host_.deliveryWithUUID(*resultsUUID);
  if (!delivery || delivery->isDeleted()) return QBYResultsOutcome::Dropped;

  // Results for settings the user changed while the update ran are stale; the next update
  // asks again with the new settings.
  if (textOf(results, QBYResultsHash) != std::optional<std::string>(delivery->settingsHash())) {
    return QBYResultsOutcome::Dropped;
  }

  Application run;
  run.delivery = delivery;
  run.resultsUUID = resultsUUID;
  run.live = !updatedDate.has_value();
  run.date = updatedDate.value_or(Date::now());
  run.selected = delivery->selected();

  if (results[QBYResultsUpdating].asBool().value_or(false)) {
    delivery->setUpdating(true);
    const auto message = textOf(results, QBYResultsMessage);
    if (message) delivery->setMessage(message);
    host_.updateStatus(message);
    host_.updatedDelivery(delivery);
    return QBYResultsOutcome::Progress;
  }

  delivery->setUpdating(false);
  delivery->setMessage(std::string());
  run.tap = textOf(results, QBYResultsTap).value_or(std::string());
  const bool tapChanged = run.tap != delivery->tap().value_or(std::string());
  const std::int64_t status = results[QBYResultsStatus].asInteger().value_or(0);
  const bool tapEmpty = run.tap.empty();

  const bool found = status >= 2 || (status == 1 && tapEmpty && delivery->shouldShowError());
  int itemCacheMode = run.live ? Delivery::ItemCacheReplace : Delivery::ItemCacheKeep;
  if (!found) {
    if (status == 1 && !tapEmpty) {
      if (!delivery->lastErrorDate()) delivery->setLastErrorDate(run.date);
      itemCacheMode = Delivery::ItemCacheClear;
    } else if (status == 1) {
      log("Ignoring not found error for %@. Last success: %@", delivery->from(),
          dateValue(delivery->statusChangedDate()));
      if (!delivery->lastErrorDate()) delivery->setLastErrorDate(run.date);
    } else if (status == -1 && run.tap == kPasswordTap) {
      if (const auto lastSuccess = delivery->statusChangedDate()) {
        const long hours = static_cast<long>(Date::now().timeIntervalSince(*lastSuccess) / 3600);
        log("Update failed because keychain is locked for %@. Last success %ld hour(s) ago",
            delivery->from(), hours);
      } else {
        log("Update failed because keychain is locked for %@. Never updated", delivery->from());
      }
    }
  }

  if (found || !hasTrimmedValue(delivery->url()) || hasTrimmedValue(run.tap)) {
    const auto url = textOf(results, QBYResultsURL);
    const auto mobileURL = textOf(results, QBYResultsMobileURL);
    delivery->setUrl(hasTrimmedValue(url) ? url : std::nullopt);
    delivery->setMobileURL(hasTrimmedValue(mobileURL) ? mobileURL : std::nullopt);
  }

  if (found) {
    if (!delivery->statusChangedDate()) delivery->setStatusChangedDate(run.date);
    if (run.tap != kPasswordTap) {
      delivery->setUpdatedTime(run.date.timeIntervalSince1970());
      if (run.live) delivery->setLastErrorDate(std::nullopt);
    }
  }

  // Only dictionaries can become lines; anything else a script put into the list is skipped.
  Array items;
  if (const auto* list = results[QBYResultsItems].arrayPtr()) {
    std::copy_if(list->begin(), list->end(), std::back_inserter(items),
                 [](const Value& item) { return item.isDictionary(); });
  }

  if (found && !delivery->archived()) {
    detectChanges(run, items);
    if (!host_.sharedDefaults().objectForKey(QBYDeliveriesCalendarInfoKey).isNull()) {
      std::vector<Date> dates;
      for (const auto& line : delivery->details()) {
        const auto day = line->deliveredDate();
        if (day && std::find(dates.begin(), dates.end(), *day) == dates.end()) {
          dates.push_back(*day);
        }
      }
      if (const auto uuid = delivery->uuid()) host_.setPreviousEventDates(*uuid, std::move(dates));
    }
  } else if (tapChanged) {
    const auto firstName =
        items.empty() ? std::nullopt : textOf(*items[0].dictionaryPtr(), "itemName");
    log("%@ changed: %@", firstName, run.tap);
    run.changed = true;
    if (host_.applicationState() != 0) presentTapNotification(run, items);
  }

  if (!items.empty() && (found || delivery->details().empty())) {
    if (run.live) delivery->setTap(run.tap);
    replaceDetails(run, items);
  } else if (run.live && tapChanged) {
    delivery->setTap(run.tap);
  }

  double interval = results[QBYResultsInterval].asReal().value_or(0);
  // An interval so large that the update times overflow is as unreadable as NaN: an infinite
  // time would keep the delivery from ever updating again and cannot be written as JSON.
  if (!std::isfinite(run.date.timeIntervalSince1970() + interval * 60)) interval = 0;
  delivery->setNextUpdate(run.date.timeIntervalSince1970() + interval * 60);
  delivery->setBackgroundUpdate(run.date.timeIntervalSince1970() +
                                backgroundIntervalForInterval(interval) * 60);

  delivery->setServiceUpdateVersion(serviceUpdateVersion);
  delivery->updateSortIndexes();
  delivery->updateItemCache(itemCacheMode);
  if (delivery->hasError()) host_.sharedDefaults().setObject(Value(run.date), QBYLastErrorDateKey);
  if (delivery->html()) deleteHTMLFromDelivery(delivery);
  if (const auto& context = host_.dataStore().viewContext()) {
    updateSearchTextForDelivery(delivery, *context);
  }

  host_.updatedDelivery(delivery);

  if (run.live && found && host_.iCloudEnabled()) {
    host_.dataStore().saveData();
    host_.syncObject(delivery, false);
  }

  if (run.changed) host_.setUpdateResultNewData();

  // A failure, or an answer that needs the user first, is no successful update even when the
  // tap it brings is news; a quiet not-found answer keeps what the delivery showed.
  if (status <= 0 || (status == 1 && !tapEmpty)) return QBYResultsOutcome::Failed;
  return run.changed ? QBYResultsOutcome::Changed : QBYResultsOutcome::Unchanged;
}

void QBYResultsApplier::detectChanges(Application& run, const Array& items) {
  const auto& delivery = run.delivery;
  auto& formatter = host_.dateFormatter();
  const auto lines = delivery->details();

  for (std::size_t i = 0; i < items.size(); ++i) {
    const Dictionary& item = *items[i].dictionaryPtr();
    const auto itemName = textOf(item, "itemName");
    const auto icon = textOf(item, "icon");
    const bool checkmark = icon == std::optional<std::string>(kCheckmark);
    const auto position = static_cast<std::int64_t>(i);

    auto existing = delivery->detailWithIndex(position);
    if (!existing || existing->itemName() != itemName) {
      const auto sameName = std::find_if(lines.begin(), lines.end(), [&](const auto& line) {
        return line->itemName() == itemName;
      });
      if (sameName != lines.end()) {
        existing = *sameName;
      } else {
        // A carrier that renames an item keeps its dates and texts; matching on them keeps a
        // reworded name from being announced as a new item.
        const auto deliveredDateString = textOf(item, "deliveredDateString");
        const auto shippedText = textOf(item, "shippedText");
        const auto renamed = std::find_if(lines.begin(), lines.end(), [&](const auto& line) {
          return stringIsEqualToString(line->deliveredDateString(), deliveredDateString) &&
                 stringIsEqualToString(line->shippedText(), shippedText) &&
                 similarityToString(line->itemName().value_or(std::string()),
                                    itemName.value_or(std::string())) != 0;
        });
        if (renamed != lines.end()) {
          existing = *renamed;
          log("Item name changed from \"%@\" to \"%@\"", existing->itemName(), itemName);
        }
      }
      if (existing && existing->index() == run.selected) run.selected = position;
    }

    std::optional<std::string> reason;
    if (!existing) {
      reason = "Item is new";
    } else if (delivery->isOther()) {
      if (!checkmark && textOf(item, "dateString") != existing->dateString()) {
        reason = "Ship or delivery date changed";
      }
    } else if (checkmark) {
      if (icon != existing->icon()) reason = "Changed to delivered";
    } else if (textOf(item, "dateString") != existing->dateString()) {
      reason = "Ship or delivery date changed";
    } else {
      const int similarity = similarityToString(textOf(item, "shippedText").value_or(std::string()),
                                                existing->shippedText().value_or(std::string()));
      if (similarity == 0) {
        reason = "Text is different";
      } else if (similarity == 1 &&
                 textOf(item, "statusDateString") != existing->statusDateString()) {
        reason = "Text is similar, date is different";
      }
    }

    if (!reason) continue;
    log("%@ changed: %@", itemName, *reason);
    delivery->setStatusChangedDate(run.date);
    run.changed = true;
    if (host_.applicationState() != 0) {
      presentItemNotification(
          run, item, formatter.dateFromString(textOf(item, "deliveredDateString")), items.size());
    }
  }
}

void QBYResultsApplier::presentItemNotification(const Application& run, const Dictionary& item,
                                                std::optional<Date> deliveredDate,
                                                std::size_t itemCount) {
  auto& formatter = host_.dateFormatter();
  const auto itemName = textOf(item, "itemName");
  const bool checkmark = textOf(item, "icon") == std::optional<std::string>(kCheckmark);

  std::string suffix;
  if (itemCount < 2) {
    suffix = run.tap.empty() ? std::string(kSingleSuffix) : run.tap;
  } else {
    suffix = lowercased(stringByReducingCharactersNotInSet(itemName.value_or(std::string()),
                                                           CharacterSet::alphanumericCharacterSet(),
                                                           "_", kIdentifierNameLength));
  }

  QBYNotification notification = QBYNotification::notificationWithUUID(run.delivery->uuid());
  notification.identifier = format(kNotificationIdentifierFormat, run.resultsUUID, suffix);
  notification.title =
      checkmark ? std::optional<std::string>(format(kDeliveredTitleFormat, itemName.value_or("")))
                : itemName;

  std::vector<std::string> lines;
  if (const auto shippedText = textOf(item, "shippedText"); hasValue(shippedText)) {
    const auto shippedDate = formatter.dateFromString(textOf(item, "shippedDateString"));
    lines.push_back(stringWithDate(
        *shippedText,
        formatter.displayDate(shippedDate, QBYDateFormatter::QBYRelativeYesterdayToWeekAhead)));
  }
  if (run.tap.empty()) {
    if (const auto deliveredText = textOf(item, "deliveredText"); hasValue(deliveredText)) {
      lines.push_back(stringWithDate(
          *deliveredText,
          formatter.displayDate(deliveredDate, QBYDateFormatter::QBYRelativeYesterdayToWeekAhead)));
    }
  }
  // Never absent: a notification without a message is a removal request to the receiver.
  std::string message;
  for (const auto& line : lines) {
    if (!message.empty()) message += "\n";
    message += line;
  }
  notification.message = std::move(message);
  notification.category = QBYNotificationCategoryUpdate;
  if (checkmark) notification.action = QBYNotificationActionArchive;
  host_.presentDeliveryNotification(notification);
}

void QBYResultsApplier::presentTapNotification(const Application& run, const Array& items) {
  const Dictionary empty;
  const Dictionary& first = items.empty() ? empty : *items[0].dictionaryPtr();
  QBYNotification notification = QBYNotification::notificationWithUUID(run.delivery->uuid());
  notification.identifier = format(kNotificationIdentifierFormat, run.resultsUUID, run.tap);
  notification.title = textOf(first, "itemName");
  notification.message =
      stringWithDate(textOf(first, "shippedText").value_or(std::string()), std::string());
  notification.category = QBYNotificationCategoryUpdate;
  host_.presentDeliveryNotification(notification);
}

void QBYResultsApplier::replaceDetails(Application& run, const Array& items) {
  const auto& delivery = run.delivery;
  const auto& context = host_.dataStore().viewContext();
  if (!context) return;

  // Lines are reused by position, so an update that changes nothing rewrites the same rows.
  const auto sorted = delivery->sortedDetails();
  std::deque<std::shared_ptr<Detail>> pool(sorted.begin(), sorted.end());
  for (std::size_t k = 0; k < items.size(); ++k) {
    std::shared_ptr<Detail> line;
    if (!pool.empty()) {
      line = pool.front();
      pool.pop_front();
    } else {
      line = context->insert<Detail>("Detail");
    }
    line->setIndex(static_cast<std::int64_t>(k));
    line->setAttributes(*items[k].dictionaryPtr());
    delivery->addDetail(line);
  }

  context->performAndWait([&] {
    for (const auto& line : pool) {
      delivery->removeDetail(line);
      context->deleteObject(line);
    }
  });

  // The selection is placed (and falls back to the first line when its item is gone) before
  // the title is taken from it, so the list never shows the name of a deleted line.
  delivery->setSelected(run.selected >= static_cast<std::int64_t>(items.size()) ? 0 : run.selected);
  delivery->updateHistoryTitle();
}

void QBYResultsApplier::updateSearchTextForDelivery(const std::shared_ptr<Delivery>& delivery,
                                                    QBYManagedObjectContext& context) {
  auto searchText = delivery->searchText();
  if (!searchText) {
    searchText = context.insert<DeliveryText>("DeliveryText");
    delivery->setSearchText(searchText);
  }
  searchText->setText(delivery->generatedSearchText());
}

void QBYResultsApplier::deleteSearchTextFromDelivery(const std::shared_ptr<Delivery>& delivery) {
  const auto searchText = delivery->searchText();
  const auto& context = host_.dataStore().viewContext();
  if (!searchText || !context) return;
  context->performAndWait([&] {
    delivery->setSearchText(nullptr);
    context->deleteObject(searchText);
  });
}

void QBYResultsApplier::deleteHTMLFromDelivery(const std::shared_ptr<Delivery>& delivery) {
  const auto html = delivery->html();
  const auto& context = host_.dataStore().viewContext();
  if (!html || !context) return;
  context->performAndWait([&] {
    delivery->setHtml(nullptr);
    context->deleteObject(html);
  });
}

void QBYResultsApplier::deleteDetailsFromDelivery(const std::shared_ptr<Delivery>& delivery) {
  const auto lines = delivery->details();
  const auto& context = host_.dataStore().viewContext();
  if (lines.empty() || !context) return;
  context->performAndWait([&] {
    for (const auto& line : lines) {
      delivery->removeDetail(line);
      context->deleteObject(line);
    }
  });
}

}  // namespace qby
