// The store file: one SQLite database in WAL mode, opened by several contexts and several
// processes at once. Opening creates a missing file, brings an older schema up to the model's
// version step by step (PRAGMA user_version), and refuses a file written by a newer schema
// or one that is not a database, with an error that says which.
//
// Any thread. Each context opens a connection of its own through the store.
#pragma once

#include <filesystem>
#include <memory>

#include "platform/QBYError.h"
#include "store/QBYEntityDescription.h"

struct sqlite3;

namespace qby {

inline constexpr const char* QBYStoreErrorDomain = "com.quillbay.datastore";

class QBYPersistentStore {
 public:
  static std::shared_ptr<QBYPersistentStore> open(
      const std::filesystem::path& file, std::shared_ptr<const QBYManagedObjectModel> model,
      QBYError* error = nullptr);
  ~QBYPersistentStore();

  const std::filesystem::path& file() const;
  const QBYManagedObjectModel& model() const;
  std::shared_ptr<const QBYManagedObjectModel> sharedModel() const;

  // A new connection with the store's settings (WAL, busy handling, collations, functions).
  // The caller owns it and closes it with sqlite3_close_v2. Nothing on failure.
  sqlite3* openConnection(QBYError* error = nullptr) const;

  // Removes the database file and its -wal and -shm companions.
  static bool destroy(const std::filesystem::path& file, QBYError* error = nullptr);

 private:
  struct Impl;
  explicit QBYPersistentStore(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qby
