// The three parties the sync manager talks to:
//
// - QBYSyncManagerDelegate, the data delegate (the deliveries manager): it turns incoming
//   changes into saved deliveries; the sync manager never edits deliveries itself.
// - QBYSyncInterfaceDelegate (the application's delegate): shows two-button questions and
//   reports whether the program is in the background.
// - QBYSyncNotificationDelegate: registers the program for remote (push) notifications.
//
// The sync manager holds each delegate as a plain non-owning pointer; the owner clears it
// (sets nullptr) before the delegate goes away. Every call is made on the main thread.
// Methods with a body are optional: the body is what the sync manager assumes when the
// delegate does not override them.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/Value.h"
#include "store/core/QBYManagedObject.h"

namespace qby {

class QBYSyncManagerDelegate {
 public:
  virtual ~QBYSyncManagerDelegate() = default;

  // A sync pass begins.
  virtual void willStartSyncing() {}

  // Applies a delivery's attribute dictionary (the record keys plus "cloudKitTag" and
  // "cloudKitData" for cloud records). sync is false for incoming changes and true when the
  // result must be sent out again (merged duplicates).
  virtual void saveObjectWithAttributes(const Dictionary& attributes, bool sync) = 0;
  // Deletes the delivery with this uuid without syncing the deletion back.
  virtual void removeObjectWithUUID(const std::string& uuid) = 0;
  // Deletes these stored records and reloads.
  virtual void deleteObjectsWithIDs(const std::vector<QBYManagedObjectID>& ids) = 0;
  // A reply element the sync manager does not handle itself.
  virtual void unknownObjectNamed(const std::string& name, const Dictionary& attributes) = 0;

  // A cloud key-value-store key changed on another machine.
  virtual void ubiquitousKey(const std::string& key, const Value& value) {
    (void)key;
    (void)value;
  }
  // Text appended to every request to the vendor's sync service.
  virtual std::string additionalQueryForQuillbaySync() { return {}; }
  // Whether the service-script update check is due.
  virtual bool shouldQuillbayUpdate() { return false; }
  // Whether the sync manager should run its own hourly sync timer.
  virtual bool shouldUseTimer() { return false; }
  // This process is a companion and the main application is running (it then does the
  // syncing).
  virtual bool parentAppOpen() { return false; }
};

// Application states as applicationState() answers them.
inline constexpr int QBYApplicationStateActive = 0;
inline constexpr int QBYApplicationStateInactive = 1;
inline constexpr int QBYApplicationStateBackground = 2;

class QBYSyncInterfaceDelegate {
 public:
  virtual ~QBYSyncInterfaceDelegate() = default;

  // QBYApplicationStateBackground (2) means background; no interface delegate counts as 2.
  virtual int applicationState() = 0;
  // Shows a two-button question; calls the handler once, with true when it was accepted.
  virtual void shouldPromptWithTitle(const std::string& title, const std::string& message,
                                     const std::string& accept, const std::string& cancel,
                                     std::function<void(bool accepted)> handler) = 0;
};

class QBYSyncNotificationDelegate {
 public:
  virtual ~QBYSyncNotificationDelegate() = default;

  virtual void registerForRemoteNotifications() = 0;
};

}  // namespace qby
