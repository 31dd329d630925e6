// Turns one results dictionary of a service script into changes of the stored delivery: its
// progress state, outcome, links and error dates, its tracking lines (reused by position), the
// change detection that decides whether the user hears about it, the next foreground and
// background update times, the search text, and the hand-over to the user interface and to
// sync. The deliveries manager owns one and reaches it for every result the updater reports and
// for every result that sync carries in.
//
// The manager's own state comes through QBYResultsApplierHost, so the applier can be tested on
// its own over a real store.
//
// Threads: main thread only. Records are changed in the data store's view context; deletions of
// details, HTML and search records run inside that context's block and wait for it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Date.h"
#include "platform/Value.h"

namespace qby {

class Delivery;
class QBYDataStore;
class QBYDateFormatter;
class QBYManagedObjectContext;
class QBYNotification;
class QBYUserDefaults;

// Shared-defaults key: when the last result that left any delivery with an error arrived.
inline constexpr const char* QBYLastErrorDateKey = "QBYLastErrorDate";

// The results dictionary of one delivery, as the service scripts report it.
inline constexpr const char* QBYResultsUUID = "uuid";
inline constexpr const char* QBYResultsHash = "hash";
inline constexpr const char* QBYResultsUpdating = "updating";
inline constexpr const char* QBYResultsMessage = "message";
inline constexpr const char* QBYResultsStatus = "status";
inline constexpr const char* QBYResultsTap = "tap";
inline constexpr const char* QBYResultsURL = "url";
inline constexpr const char* QBYResultsMobileURL = "mobileURL";
inline constexpr const char* QBYResultsItems = "items";
inline constexpr const char* QBYResultsInterval = "interval";

// What the applier needs of the deliveries manager. The manager implements it; tests fake it.
class QBYResultsApplierHost {
 public:
  virtual ~QBYResultsApplierHost() = default;

  // The store whose view context holds the deliveries; never null while results are applied.
  virtual QBYDataStore& dataStore() = 0;
  // The active or archived delivery with that uuid in the view context, or null.
  virtual std::shared_ptr<Delivery> deliveryWithUUID(const std::string& uuid) = 0;
  // A progress message of the running update (absent clears it).
  virtual void updateStatus(const std::optional<std::string>& message) = 0;
  // 0 while the program is in front; notifications are presented only otherwise.
  virtual int applicationState() = 0;
  // Hands the notification to the notification delegate (nothing happens without one).
  virtual void presentDeliveryNotification(const QBYNotification& notification) = 0;
  // Tells the manager's delegate that the delivery changed.
  virtual void updatedDelivery(const std::shared_ptr<Delivery>& delivery) = 0;
  // The sync manager's cloud-database mode, and its hand-over of one changed delivery.
  virtual bool iCloudEnabled() = 0;
  virtual void syncObject(const std::shared_ptr<Delivery>& delivery, bool immediately) = 0;
  // The run found something the user should hear about: its result becomes "new data" (0).
  virtual void setUpdateResultNewData() = 0;
  // Keeps the delivered dates a delivery's lines had before they were replaced, for the
  // calendar to compare after the run.
  virtual void setPreviousEventDates(const std::string& uuid, std::vector<Date> dates) = 0;

  // The shared date formatter and defaults; the process-wide ones unless a host says otherwise.
  virtual QBYDateFormatter& dateFormatter();
  virtual QBYUserDefaults& sharedDefaults();
};

// What applying one results dictionary came to, for the run's counts.
enum class QBYResultsOutcome {
  Dropped,    // unknown delivery or stale settings: nothing was applied
  Progress,   // a progress report; the final results are still to come
  Changed,    // found (or shown as not found) with something the user should hear about
  Unchanged,  // found, or a not-found answer that is kept quiet, with nothing new
  Failed      // the update failed, or the service needs the user (sign-in, password)
};

class QBYResultsApplier {
 public:
  // The host must outlive the applier.
  explicit QBYResultsApplier(QBYResultsApplierHost& host);

  // Applies one results dictionary. The delivery is the one given, else the one whose uuid the
  // results name. live results (no updatedDate) come from this machine's updater; results that
  // sync carried in give the date of their update, never change the tap, never clear the last
  // error date and are not pushed back to sync. Results for an unknown uuid, or whose "hash"
  // differs from the delivery's current settings hash, are dropped without any callback.
  QBYResultsOutcome updateDelivery(std::shared_ptr<Delivery> delivery, const Dictionary& results,
                                   std::optional<Date> updatedDate,
                                   std::int64_t serviceUpdateVersion);

  // Creates the delivery's search record in the context when it has none and sets its text to
  // the delivery's generated search text.
  void updateSearchTextForDelivery(const std::shared_ptr<Delivery>& delivery,
                                   QBYManagedObjectContext& context);
  // Delete the related record (or every detail) in the view context, waiting for it.
  void deleteSearchTextFromDelivery(const std::shared_ptr<Delivery>& delivery);
  void deleteHTMLFromDelivery(const std::shared_ptr<Delivery>& delivery);
  void deleteDetailsFromDelivery(const std::shared_ptr<Delivery>& delivery);

  // Minutes until the next background update for a foreground interval: the interval itself
  // from 720 minutes on, else three times it, kept within 30 and 720 minutes.
  static double backgroundIntervalForInterval(double minutes);

 private:
  struct Application;

  void detectChanges(Application& run, const Array& items);
  void replaceDetails(Application& run, const Array& items);
  void presentItemNotification(const Application& run, const Dictionary& item,
                               std::optional<Date> deliveredDate, std::size_t itemCount);
  void presentTapNotification(const Application& run, const Array& items);

  QBYResultsApplierHost& host_;
};

}  // namespace qby
