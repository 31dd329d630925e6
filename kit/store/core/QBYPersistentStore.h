// The store file: one SQLite database in WAL mode, opened by several contexts and several
// processes at once. Opening creates a missing file, brings an older schema up to the model's
// version step by step (PRAGMA user_version), and refuses a file written by a newer schema
// or one that is not a database, with an error that says which.
//
// Every connection has a busy timeout of 30 s, takes write transactions with BEGIN IMMEDIATE,
// and knows the collation "QBYLOCALIZED" (ICU, current locale, numbers by value) and the
// function qby_fold(text) (case- and diacritic-folded copy, see QBYTextFolding.h).
//
// Any thread. Each context opens a connection of its own through the store.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "platform/QBYError.h"
#include "store/core/QBYEntityDescription.h"

struct sqlite3;

namespace qby {

inline constexpr const char* QBYStoreErrorDomain = "com.quillbay.datastore";

// Codes of QBYStoreErrorDomain. 100 is the user-facing error that QBYDataStore keeps.
enum QBYStoreErrorCode : std::int64_t {
  QBYStoreErrorUnreadable = 1,      // not a database, damaged, or cannot be opened
  QBYStoreErrorNewerVersion = 2,    // written by a newer schema; never downgraded
  QBYStoreErrorMigration = 3,       // an upgrade step failed (the file stays as it was)
  QBYStoreErrorSchemaMismatch = 4,  // a stored attribute has no column
  QBYStoreErrorSQLite = 5,          // a statement failed (see "sqliteCode" in userInfo)
  QBYStoreErrorDestroyed = 6,       // the store file was destroyed while this store was open
  QBYStoreErrorInvalidRequest = 7,  // unknown entity, key or relationship in a request
  QBYStoreErrorFatal = 100,
};

class QBYPersistentStore {
 public:
  static std::shared_ptr<QBYPersistentStore> open(
      const std::filesystem::path& file, std::shared_ptr<const QBYManagedObjectModel> model,
      QBYError* error = nullptr);
  ~QBYPersistentStore();

  const std::filesystem::path& file() const;
  const QBYManagedObjectModel& model() const;
  std::shared_ptr<const QBYManagedObjectModel> sharedModel() const;

  // Who may use a connection. Shared: any thread, SQLite serializes every call (each column
  // read takes the connection's mutex). OneQueue: only one thread at a time, by the caller's
  // own ordering (a context's connection, reached only on its queue); SQLite then takes no
  // mutex per call, which is a tenth of the cost of reading a long list.
  enum class ConnectionUse { Shared, OneQueue };

  // A new connection with the store's settings (WAL, busy handling, collations, functions).
  // The caller owns it and closes it with sqlite3_close_v2. Nothing on failure.
  sqlite3* openConnection(QBYError* error = nullptr,
                          ConnectionUse use = ConnectionUse::Shared) const;

  // Marks the store as gone (its file is about to be destroyed): contexts over it refuse to
  // save from then on instead of writing into a file nobody will read again.
  void invalidate();
  bool isInvalidated() const;

  // Removes the database file and its -wal and -shm companions. Missing files are no error.
  static bool destroy(const std::filesystem::path& file, QBYError* error = nullptr);

 private:
  struct Impl;
  explicit QBYPersistentStore(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace qby
