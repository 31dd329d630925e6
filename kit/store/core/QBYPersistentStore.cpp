#include "store/core/QBYPersistentStore.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/stringpiece.h>

#include <atomic>
#include <cstring>
#include <set>
#include <system_error>

#include "platform/Format.h"
#include "store/core/QBYSQLite.h"
#include "store/core/QBYTextFolding.h"

namespace qby {
namespace {

namespace fs = std::filesystem;

// Long enough for another process's largest save (a full import) to finish.
constexpr int kBusyTimeoutMilliseconds = 30000;

// --- SQL collation and function -------------------------------------------------------------

int compareLocalized(void* context, int lengthA, const void* a, int lengthB, const void* b) {
  auto* collator = static_cast<icu::Collator*>(context);
  if (collator) {
    UErrorCode status = U_ZERO_ERROR;
    const UCollationResult result =
        collator->compareUTF8(icu::StringPiece(static_cast<const char*>(a), lengthA),
                              icu::StringPiece(static_cast<const char*>(b), lengthB), status);
    if (U_SUCCESS(status)) return result;
  }
  const int common = std::memcmp(a, b, static_cast<std::size_t>(std::min(lengthA, lengthB)));
  if (common != 0) return common;
  return lengthA - lengthB;
}

void deleteCollator(void* context) {
  delete static_cast<icu::Collator*>(context);
}

// One collator per connection: ICU collators must not be used by two threads at once, and a
// connection is used by one thread at a time.
icu::Collator* makeCollator() {
  UErrorCode status = U_ZERO_ERROR;
  // A C or POSIX environment means "no preference", but ICU maps it to en_US_POSIX, whose
  // collation orders every capital before every small letter; lists would read "Zebra" before
  // "apple". The root collation is the neutral order there.
  icu::Locale locale = icu::Locale::getDefault();
  if (std::strcmp(locale.getVariant(), "POSIX") == 0) locale = icu::Locale::getRoot();
  std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(locale, status));
  if (U_FAILURE(status) || !collator) return nullptr;
  collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
  return collator.release();
}

void foldFunction(sqlite3_context* context, int count, sqlite3_value** values) {
  if (count != 1 || sqlite3_value_type(values[0]) == SQLITE_NULL) {
    sqlite3_result_null(context);
    return;
  }
  const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(values[0]));
  const int length = sqlite3_value_bytes(values[0]);
  const std::string folded =
      foldForSearch(std::string_view(text ? text : "", static_cast<std::size_t>(length)));
  sqlite3_result_text64(context, folded.data(), folded.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

// --- Schema ---------------------------------------------------------------------------------

const char* sqlType(AttributeType type) {
  switch (type) {
    case AttributeType::String:
      return "TEXT";
    case AttributeType::Integer:
    case AttributeType::Boolean:
      return "INTEGER";
    case AttributeType::Double:
    case AttributeType::Date:
      return "REAL";
    case AttributeType::Binary:
      return "BLOB";
  }
  return "";
}

// Tables straight from the description, for models that carry no schema history (tests).
std::string generatedSchema(const QBYManagedObjectModel& model) {
  std::string sql;
  for (const auto& entity : model.entities()) {
    // AUTOINCREMENT: a deleted row's id is never given to a new row, so a stale key held by
    // another context or process can never point at an unrelated record.
    sql += "CREATE TABLE " + sql::quoted(entity.name) + " (Z_PK INTEGER PRIMARY KEY AUTOINCREMENT";
    for (const auto& attribute : entity.attributes) {
      if (attribute.transient) continue;
      sql += ", " + sql::quoted(attribute.name) + " " + sqlType(attribute.type);
    }
    for (const auto& relationship : entity.relationships) {
      if (relationship.toMany || !relationship.ownsForeignKey) continue;
      sql += ", " + sql::quoted(relationship.name) + " INTEGER";
    }
    sql += ");\n";
    for (const auto& relationship : entity.relationships) {
      if (relationship.toMany || !relationship.ownsForeignKey) continue;
      sql += "CREATE INDEX " + sql::quoted(entity.name + "_" + relationship.name) + " ON " +
             sql::quoted(entity.name) + " (" + sql::quoted(relationship.name) + ");\n";
    }
  }
  return sql;
}

std::optional<std::int64_t> userVersion(sqlite3* db, QBYError* error) {
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &raw, nullptr);
  sql::StatementPtr statement(raw);
  if (rc == SQLITE_OK) rc = sqlite3_step(statement.get());
  if (rc != SQLITE_ROW) {
    setError(error, sql::errorFrom(db, rc, "Reading the store's version failed"));
    return std::nullopt;
  }
  return sqlite3_column_int64(statement.get(), 0);
}

QBYError newerVersionError(std::int64_t found, int known) {
  Dictionary info;
  info.set("storeVersion", Value(static_cast<long long>(found)));
  info.set("modelVersion", Value(known));
  return QBYError::make(QBYStoreErrorDomain, QBYStoreErrorNewerVersion,
                        format("The store was written by a newer version of Porvane (schema "
                               "version %lld; this version reads up to %d). Update Porvane to "
                               "open it.",
                               static_cast<long long>(found), known),
                        std::move(info));
}

// Brings the file from its version to the model's, in one transaction: a failed step leaves
// the file exactly as it was.
bool migrate(sqlite3* db, const QBYManagedObjectModel& model, QBYError* error) {
  auto found = userVersion(db, error);
  if (!found) return false;
  if (*found > model.version()) {
    setError(error, newerVersionError(*found, model.version()));
    return false;
  }
  if (*found == model.version()) return true;

  sql::WriteTransaction transaction(db);
  if (!transaction.begin(error)) return false;
  // Another process may have migrated while this one waited for the write lock.
  found = userVersion(db, error);
  if (!found) return false;
  if (*found > model.version()) {
    setError(error, newerVersionError(*found, model.version()));
    return false;
  }
  if (*found == model.version()) return true;

  auto migrationError = [&](const std::string& text, QBYError* cause) {
    Dictionary info;
    if (cause) info.set("underlyingError", Value(cause->description()));
    setError(error,
             QBYError::make(QBYStoreErrorDomain, QBYStoreErrorMigration, text, std::move(info)));
    return false;
  };

  if (model.migrations().empty()) {
    if (*found != 0) {
      return migrationError(format("No migration from schema version %lld to %d",
                                   static_cast<long long>(*found), model.version()),
                            nullptr);
    }
    QBYError cause;
    if (!sql::exec(db, generatedSchema(model), &cause))
      return migrationError("Creating the store's tables failed", &cause);
  } else {
    for (std::int64_t version = *found + 1; version <= model.version(); ++version) {
      const QBYSchemaMigration* step = nullptr;
      for (const auto& migration : model.migrations())
        if (migration.version == version) step = &migration;
      if (!step) {
        return migrationError(
            format("No migration step to schema version %lld", static_cast<long long>(version)),
            nullptr);
      }
      QBYError cause;
      if (!sql::exec(db, step->sql, &cause)) {
        return migrationError(
            format("Migration to schema version %lld failed", static_cast<long long>(version)),
            &cause);
      }
    }
  }
  if (!sql::exec(db, format("PRAGMA user_version = %d", model.version()), error)) return false;
  return transaction.commit(error);
}

// Catches a model change that shipped without its migration step: every stored attribute and
// every key must have a column, or the store refuses to open rather than fail on first use.
bool verifyColumns(sqlite3* db, const QBYManagedObjectModel& model, QBYError* error) {
  for (const auto& entity : model.entities()) {
    std::set<std::string> columns;
    const std::string sql = "PRAGMA table_info(" + sql::quoted(entity.name) + ")";
    sqlite3_stmt* raw = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr);
    sql::StatementPtr statement(raw);
    if (rc != SQLITE_OK) {
      setError(error, sql::errorFrom(db, rc, "Reading the store's tables failed"));
      return false;
    }
    while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
      const auto* name = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 1));
      if (name) columns.insert(name);
    }
    if (rc != SQLITE_DONE) {
      setError(error, sql::errorFrom(db, rc, "Reading the store's tables failed"));
      return false;
    }
    auto missing = [&](const std::string& column) {
      Dictionary info;
      info.set("entity", Value(entity.name));
      info.set("column", Value(column));
      setError(error, QBYError::make(QBYStoreErrorDomain, QBYStoreErrorSchemaMismatch,
                                     format("The store has no column %@ for %@ (schema version "
                                            "%d); a migration step is missing",
                                            column, entity.name, model.version()),
                                     std::move(info)));
      return false;
    };
    if (!columns.count("Z_PK")) return missing("Z_PK");
    for (const auto& attribute : entity.attributes)
      if (!attribute.transient && !columns.count(attribute.name)) return missing(attribute.name);
    for (const auto& relationship : entity.relationships) {
      if (relationship.toMany || !relationship.ownsForeignKey) continue;
      if (!columns.count(relationship.name)) return missing(relationship.name);
    }
  }
  return true;
}

}  // namespace

struct QBYPersistentStore::Impl {
  fs::path file;
  std::shared_ptr<const QBYManagedObjectModel> model;
  std::atomic<bool> invalidated{false};
};

QBYPersistentStore::QBYPersistentStore(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
QBYPersistentStore::~QBYPersistentStore() = default;

const fs::path& QBYPersistentStore::file() const {
  return impl_->file;
}
const QBYManagedObjectModel& QBYPersistentStore::model() const {
  return *impl_->model;
}
std::shared_ptr<const QBYManagedObjectModel> QBYPersistentStore::sharedModel() const {
  return impl_->model;
}
void QBYPersistentStore::invalidate() {
  impl_->invalidated = true;
}
bool QBYPersistentStore::isInvalidated() const {
  return impl_->invalidated;
}

std::shared_ptr<QBYPersistentStore> QBYPersistentStore::open(
    const fs::path& file, std::shared_ptr<const QBYManagedObjectModel> model, QBYError* error) {
  if (!model) {
    setError(error, QBYError::make(QBYStoreErrorDomain, QBYStoreErrorInvalidRequest,
                                   "No object model to open the store with"));
    return nullptr;
  }
  auto impl = std::make_unique<Impl>();
  impl->file = file;
  impl->model = std::move(model);
  std::shared_ptr<QBYPersistentStore> store(new QBYPersistentStore(std::move(impl)));

  sql::ConnectionPtr db(store->openConnection(error));
  if (!db) return nullptr;
  if (!migrate(db.get(), store->model(), error)) return nullptr;
  if (!verifyColumns(db.get(), store->model(), error)) return nullptr;
  return store;
}

sqlite3* QBYPersistentStore::openConnection(QBYError* error, ConnectionUse use) const {
  sqlite3* raw = nullptr;
  const int threading =
      use == ConnectionUse::OneQueue ? SQLITE_OPEN_NOMUTEX : SQLITE_OPEN_FULLMUTEX;
  const int rc = sqlite3_open_v2(impl_->file.c_str(), &raw,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | threading, nullptr);
  sql::ConnectionPtr db(raw);
  if (rc != SQLITE_OK) {
    setError(error, sql::errorFrom(db.get(), rc, "Opening the store failed"));
    return nullptr;
  }
  sqlite3_extended_result_codes(db.get(), 1);
  sqlite3_busy_timeout(db.get(), kBusyTimeoutMilliseconds);

  // Never delete the -wal and -shm files by name when the last connection closes: after the
  // store was destroyed and made again, a connection left over from the old file would
  // otherwise remove the new file's journal.
  int persistWAL = 1;
  sqlite3_file_control(db.get(), "main", SQLITE_FCNTL_PERSIST_WAL, &persistWAL);

  if (sqlite3_create_collation_v2(db.get(), "QBYLOCALIZED", SQLITE_UTF8, makeCollator(),
                                  compareLocalized, deleteCollator) != SQLITE_OK ||
      sqlite3_create_function_v2(db.get(), "qby_fold", 1,
                                 SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, nullptr,
                                 foldFunction, nullptr, nullptr, nullptr) != SQLITE_OK) {
    setError(error, sql::errorFrom(db.get(), sqlite3_errcode(db.get()),
                                   "Registering the store's SQL functions failed"));
    return nullptr;
  }

  // Switching to WAL reads the file header: this is where a file that is not a database is
  // noticed. synchronous=FULL: the journal is flushed at every commit, so a save the user saw
  // succeed survives a power loss too (NORMAL would keep the file consistent but might lose
  // the last saves); saves are rare enough that one flush each costs nothing noticeable.
  // journal_size_limit keeps the persisted journal small between checkpoints.
  sqlite3_stmt* rawStatement = nullptr;
  int step = sqlite3_prepare_v2(db.get(), "PRAGMA journal_mode=WAL", -1, &rawStatement, nullptr);
  sql::StatementPtr statement(rawStatement);
  if (step == SQLITE_OK) step = sqlite3_step(statement.get());
  if (step != SQLITE_ROW) {
    setError(error, sql::errorFrom(db.get(), step, "Opening the store failed"));
    return nullptr;
  }
  const auto* mode = reinterpret_cast<const char*>(sqlite3_column_text(statement.get(), 0));
  if (!mode || std::string_view(mode) != "wal") {
    setError(error, QBYError::make(QBYStoreErrorDomain, QBYStoreErrorUnreadable,
                                   format("The store cannot use a write-ahead log (journal mode "
                                          "%@)",
                                          mode ? mode : "unknown")));
    return nullptr;
  }
  statement.reset();
  if (!sql::exec(db.get(),
                 "PRAGMA synchronous=FULL; PRAGMA journal_size_limit=4194304; "
                 "PRAGMA foreign_keys=OFF; "
                 // Lists load their rows in batches in sort order, which visits table pages
                 // at random: reading them through a memory map and a larger page cache
                 // instead of pread into a 2 MB cache halves the cost of a long list.
                 "PRAGMA mmap_size=268435456; PRAGMA cache_size=-16384",
                 error)) {
    return nullptr;
  }
  return db.release();
}

bool QBYPersistentStore::destroy(const fs::path& file, QBYError* error) {
  for (const char* suffix : {"", "-wal", "-shm"}) {
    const fs::path path = file.string() + suffix;
    std::error_code failure;
    fs::remove(path, failure);
    if (failure) {
      setError(error,
               QBYError::make(QBYStoreErrorDomain, QBYStoreErrorSQLite,
                              format("Removing %@ failed: %@", path.string(), failure.message())));
      return false;
    }
  }
  return true;
}

}  // namespace qby
