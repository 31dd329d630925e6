// The small key-value store that travels with the user's account between machines: the sync
// type ("QBYSyncType") and the favourite services. The sync manager reads and writes it through
// this interface and learns of changes made elsewhere through the change handler.
//
// QBYLocalKeyValueStore keeps the values in a property-list file in the shared container.
// Nothing carries that file to other machines yet; a bridge that does reports what it brought
// in through postExternalChange(), exactly as tests inject a change.
//
// Any thread may read and write; the change handler runs on the main thread.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Value.h"

namespace qby {

class QBYUserDefaults;

// Why the store changed, as the change handler is told.
enum QBYUbiquitousChangeReason : int {
  QBYUbiquitousServerChange = 0,
  QBYUbiquitousInitialSyncChange = 1,
  QBYUbiquitousQuotaViolationChange = 2,
  QBYUbiquitousAccountChange = 3,
};

class QBYSyncKeyValueStore {
 public:
  using ChangeHandler = std::function<void(int reason, const std::vector<std::string>& keys)>;

  virtual ~QBYSyncKeyValueStore() = default;

  // Brings the local copy up to date; true when it could be read.
  virtual bool synchronize() = 0;
  // Null when the key is missing.
  virtual Value objectForKey(std::string_view key) const = 0;
  // A null value removes the key.
  virtual void setObject(const Value& value, std::string_view key) = 0;
  // One handler; an empty function stops observing.
  virtual void setExternalChangeHandler(ChangeHandler handler) = 0;
  // Whether values written on the user's other machines can arrive here. A first start waits
  // a few seconds for them before choosing a sync type; a store that never leaves this machine
  // has nothing to wait for.
  virtual bool receivesChangesFromElsewhere() const { return true; }
};

class QBYLocalKeyValueStore : public QBYSyncKeyValueStore {
 public:
  // <shared container>/SyncKeyValueStore.plist
  static std::filesystem::path defaultFile();

  // receivesChangesFromElsewhere: a bridge carries the file between machines and reports what
  // it brings in through postExternalChange(). Without one, nothing arrives.
  explicit QBYLocalKeyValueStore(std::filesystem::path file = defaultFile(),
                                 bool receivesChangesFromElsewhere = false);
  ~QBYLocalKeyValueStore() override;

  bool synchronize() override;
  Value objectForKey(std::string_view key) const override;
  void setObject(const Value& value, std::string_view key) override;
  void setExternalChangeHandler(ChangeHandler handler) override;
  bool receivesChangesFromElsewhere() const override { return receivesChangesFromElsewhere_; }

  // Values that arrived from elsewhere: stores them (null removes) and tells the handler, on
  // the main queue, with the reason and the changed keys.
  void postExternalChange(int reason, const Dictionary& changedValues);

 private:
  std::unique_ptr<QBYUserDefaults> values_;
  mutable std::mutex mutex_;
  std::shared_ptr<ChangeHandler> handler_;
  bool receivesChangesFromElsewhere_ = false;
};

}  // namespace qby
