// What one run of the command-line tool works with: the delivery store and, for the commands
// that change deliveries or run updates, the deliveries manager with a sync manager of its
// own, started as the main application starts it and stopped again, waiting for sync, before
// the program exits.
//
// Reading commands (list, show, search) open the store only: they change nothing and start
// no sync, so they are quick and safe to run while another process updates.
//
// Threads: main thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/QBYError.h"

namespace qby {
class QBYDataStore;
class QBYDeliveriesManager;
class QBYDeliveriesManagerDelegate;
class QBYDeliveriesNotificationDelegate;
}  // namespace qby

namespace porvane {

// "the delivery store <file> could not be <verb>: <reason>", from the store's error.
std::string storeErrorText(const std::optional<qby::QBYError>& failure, const char* verb);

class Session {
 public:
  // Opens the store; nothing (with the message for the user) when it cannot be opened.
  static std::unique_ptr<Session> open(std::string* error);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  qby::QBYDataStore& store() { return *store_; }

  // Makes and starts the manager over the store (which imports the services list when this
  // build has not done so yet). The delegates are held weakly: the caller keeps them alive
  // for the session's lifetime.
  qby::QBYDeliveriesManager& startManager(
      std::weak_ptr<qby::QBYDeliveriesManagerDelegate> delegate = {},
      std::weak_ptr<qby::QBYDeliveriesNotificationDelegate> notificationDelegate = {});
  qby::QBYDeliveriesManager* manager() { return manager_.get(); }

  // Prepares the manager to stop, waits while sync is pushing changes and stops it; saves the
  // store. Runs by itself on destruction.
  void close();

  // Whether an update run of some program of the suite is under way: it holds the busy date
  // in the shared defaults, and a date older than the manager's limit (3 hours) was left by a
  // killed run.
  static bool updateRunning();

 private:
  Session() = default;

  std::shared_ptr<qby::QBYDataStore> store_;
  std::shared_ptr<qby::QBYDeliveriesManager> manager_;
};

}  // namespace porvane
