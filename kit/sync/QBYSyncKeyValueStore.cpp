#include "sync/QBYSyncKeyValueStore.h"

#include "platform/MainQueue.h"
#include "platform/QBYUserDefaults.h"
#include "store/QBYDataStore.h"

namespace qby {

std::filesystem::path QBYLocalKeyValueStore::defaultFile() {
  return QBYDataStore::sharedContainerURL() / "SyncKeyValueStore.plist";
}

QBYLocalKeyValueStore::QBYLocalKeyValueStore(std::filesystem::path file,
                                             bool receivesChangesFromElsewhere)
    : values_(std::make_unique<QBYUserDefaults>(std::move(file))),
      receivesChangesFromElsewhere_(receivesChangesFromElsewhere) {}

QBYLocalKeyValueStore::~QBYLocalKeyValueStore() = default;

bool QBYLocalKeyValueStore::synchronize() {
  values_->synchronize();
  return true;
}

Value QBYLocalKeyValueStore::objectForKey(std::string_view key) const {
  return values_->objectForKey(key);
}

void QBYLocalKeyValueStore::setObject(const Value& value, std::string_view key) {
  values_->setObject(value, key);
}

void QBYLocalKeyValueStore::setExternalChangeHandler(ChangeHandler handler) {
  std::lock_guard lock(mutex_);
  handler_ = handler ? std::make_shared<ChangeHandler>(std::move(handler)) : nullptr;
}

void QBYLocalKeyValueStore::postExternalChange(int reason, const Dictionary& changedValues) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : changedValues) {
    values_->setObject(value, key);
    keys.push_back(key);
  }
  std::shared_ptr<ChangeHandler> handler;
  {
    std::lock_guard lock(mutex_);
    handler = handler_;
  }
  if (!handler) return;
  // The handler is held weakly: a store whose observer was replaced meanwhile calls nobody.
  std::weak_ptr<ChangeHandler> weak = handler;
  MainQueue::async([weak, reason, keys = std::move(keys)] {
    if (auto current = weak.lock()) (*current)(reason, keys);
  });
}

}  // namespace qby
