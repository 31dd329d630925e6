#include "QBYSQLiteServerStore.h"

#include <utility>

namespace qby::server {

namespace {

// Version n of the schema is migrations[n - 1]; a database at version k runs the ones after k.
const char* const migrations[] = {
    R"sql(
CREATE TABLE accounts (
  id INTEGER PRIMARY KEY,
  email TEXT NOT NULL UNIQUE,
  name TEXT NOT NULL,
  password_hash TEXT NOT NULL,
  created INTEGER NOT NULL,
  last_updated INTEGER NOT NULL DEFAULT 0);
CREATE TABLE clients (
  id TEXT PRIMARY KEY,
  account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
  code_digest TEXT NOT NULL,
  code_expires INTEGER NOT NULL,
  created INTEGER NOT NULL);
CREATE INDEX clients_account ON clients(account_id);
CREATE TABLE deliveries (
  account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
  uuid TEXT NOT NULL,
  service TEXT NOT NULL, name TEXT NOT NULL, number TEXT NOT NULL, extra TEXT NOT NULL,
  date TEXT NOT NULL,
  modified INTEGER NOT NULL,
  updated INTEGER NOT NULL,
  deleted INTEGER NOT NULL,
  PRIMARY KEY (account_id, uuid));
CREATE INDEX deliveries_updated ON deliveries(account_id, updated);
CREATE TABLE attempts (kind TEXT NOT NULL, key TEXT NOT NULL, at INTEGER NOT NULL);
CREATE INDEX attempts_key ON attempts(kind, key, at);
CREATE TABLE reset_codes (
  account_id INTEGER NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
  digest TEXT NOT NULL,
  expires INTEGER NOT NULL);
CREATE TABLE reports (id INTEGER PRIMARY KEY, received INTEGER NOT NULL, remote TEXT NOT NULL,
  fields TEXT NOT NULL);
)sql",
};

}  // namespace

// A prepared statement with positional binding, finalized when it goes out of scope.
class QBYSQLiteServerStore::Statement {
 public:
  Statement(QBYSQLiteServerStore& store, const char* sql) : store_(store) {
    if (sqlite3_prepare_v2(store.db_, sql, -1, &statement_, nullptr) != SQLITE_OK)
      store.fail("prepare");
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(const std::string& text) {
    check(sqlite3_bind_text(statement_, ++index_, text.data(), static_cast<int>(text.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  Statement& bind(int64_t number) {
    check(sqlite3_bind_int64(statement_, ++index_, number));
    return *this;
  }
  // True while there is a row.
  bool step() {
    const int rc = sqlite3_step(statement_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    store_.fail("step");
  }
  std::string text(int column) const {
    const auto* p = sqlite3_column_text(statement_, column);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<size_t>(sqlite3_column_bytes(statement_, column)))
             : std::string();
  }
  int64_t number(int column) const { return sqlite3_column_int64(statement_, column); }

 private:
  void check(int rc) {
    if (rc != SQLITE_OK) store_.fail("bind");
  }
  QBYSQLiteServerStore& store_;
  sqlite3_stmt* statement_ = nullptr;
  int index_ = 0;
};

QBYSQLiteServerStore::QBYSQLiteServerStore(std::string path) : path_(std::move(path)) {}

QBYSQLiteServerStore::~QBYSQLiteServerStore() {
  if (db_) sqlite3_close(db_);
}

void QBYSQLiteServerStore::fail(const std::string& what) {
  throw QBYServerStoreError("SQLite " + what + ": " + (db_ ? sqlite3_errmsg(db_) : "no database"));
}

void QBYSQLiteServerStore::exec(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message ? message : "unknown error";
    sqlite3_free(message);
    throw QBYServerStoreError("SQLite: " + text);
  }
}

void QBYSQLiteServerStore::open() {
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK)
    fail("open " + path_);
  sqlite3_busy_timeout(db_, 5000);
  exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;");
  const int have = schemaVersion();
  const int known = static_cast<int>(std::size(migrations));
  checkSchemaVersion(have, known);
  for (int version = have + 1; version <= known; ++version) {
    exec("BEGIN IMMEDIATE");
    try {
      exec(migrations[version - 1]);
      exec(("PRAGMA user_version=" + std::to_string(version)).c_str());
      exec("COMMIT");
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }
}

int QBYSQLiteServerStore::schemaVersion() {
  Statement s(*this, "PRAGMA user_version");
  return s.step() ? static_cast<int>(s.number(0)) : 0;
}

std::optional<int64_t> QBYSQLiteServerStore::createAccount(const std::string& email,
                                                           const std::string& name,
                                                           const std::string& passwordHash,
                                                           Micros now) {
  Statement s(*this,
              "INSERT INTO accounts (email, name, password_hash, created) VALUES (?, ?, ?, ?) "
              "ON CONFLICT(email) DO NOTHING");
  s.bind(email).bind(name).bind(passwordHash).bind(now).step();
  if (sqlite3_changes(db_) == 0) return std::nullopt;
  return sqlite3_last_insert_rowid(db_);
}

std::optional<ServerAccount> QBYSQLiteServerStore::accountByEmail(const std::string& email) {
  Statement s(*this, "SELECT id, email, password_hash FROM accounts WHERE email = ?");
  s.bind(email);
  if (!s.step()) return std::nullopt;
  return ServerAccount{s.number(0), s.text(1), s.text(2)};
}

void QBYSQLiteServerStore::setPasswordHash(int64_t accountId, const std::string& passwordHash) {
  Statement s(*this, "UPDATE accounts SET password_hash = ? WHERE id = ?");
  s.bind(passwordHash).bind(accountId).step();
}

void QBYSQLiteServerStore::createClient(const ServerClient& client, Micros now) {
  Statement s(*this,
              "INSERT INTO clients (id, account_id, code_digest, code_expires, created) "
              "VALUES (?, ?, ?, ?, ?)");
  s.bind(client.id)
      .bind(client.accountId)
      .bind(client.codeDigest)
      .bind(client.codeExpires)
      .bind(now)
      .step();
}

std::optional<ServerClient> QBYSQLiteServerStore::clientById(const std::string& id) {
  Statement s(*this, "SELECT id, account_id, code_digest, code_expires FROM clients WHERE id = ?");
  s.bind(id);
  if (!s.step()) return std::nullopt;
  return ServerClient{s.text(0), s.number(1), s.text(2), s.number(3)};
}

bool QBYSQLiteServerStore::replaceCode(const std::string& clientId, const std::string& oldDigest,
                                       const std::string& newDigest, Micros expires) {
  Statement s(*this,
              "UPDATE clients SET code_digest = ?, code_expires = ? WHERE id = ? AND "
              "code_digest = ?");
  s.bind(newDigest).bind(expires).bind(clientId).bind(oldDigest).step();
  return sqlite3_changes(db_) == 1;
}

void QBYSQLiteServerStore::deleteClient(const std::string& clientId) {
  Statement s(*this, "DELETE FROM clients WHERE id = ?");
  s.bind(clientId).step();
}

void QBYSQLiteServerStore::deleteClients(int64_t accountId) {
  Statement s(*this, "DELETE FROM clients WHERE account_id = ?");
  s.bind(accountId).step();
}

PutResult QBYSQLiteServerStore::putDelivery(int64_t accountId, const ServerDelivery& delivery,
                                            int quota, Micros now) {
  exec("BEGIN IMMEDIATE");
  try {
    PutResult result;
    Statement existing(
        *this, "SELECT modified, deleted FROM deliveries WHERE account_id = ? AND uuid = ?");
    existing.bind(accountId).bind(delivery.uuid);
    std::optional<StoredDelivery> stored;
    if (existing.step()) stored = StoredDelivery{existing.number(0), existing.number(1) != 0};
    result.outcome = writeOutcome(stored, delivery);
    if (result.outcome == PutResult::Outcome::Stored && addsLiveDelivery(stored, delivery)) {
      Statement count(*this,
                      "SELECT count(*) FROM deliveries WHERE account_id = ? AND deleted = 0");
      count.bind(accountId).step();
      result.outcome = quotaOutcome(count.number(0), quota);
    }
    if (result.outcome == PutResult::Outcome::Stored) {
      Statement last(*this, "SELECT last_updated FROM accounts WHERE id = ?");
      last.bind(accountId);
      if (!last.step()) throw QBYServerStoreError("no account " + std::to_string(accountId));
      result.updated = nextServerTime(now, last.number(0));
      Statement touch(*this, "UPDATE accounts SET last_updated = ? WHERE id = ?");
      touch.bind(result.updated).bind(accountId).step();
      Statement write(*this,
                      "INSERT INTO deliveries (account_id, uuid, service, name, number, extra, "
                      "date, modified, updated, deleted) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
                      "ON CONFLICT(account_id, uuid) DO UPDATE SET service = excluded.service, "
                      "name = excluded.name, number = excluded.number, extra = excluded.extra, "
                      "date = excluded.date, modified = excluded.modified, "
                      "updated = excluded.updated, deleted = excluded.deleted");
      write.bind(accountId)
          .bind(delivery.uuid)
          .bind(delivery.from)
          .bind(delivery.name)
          .bind(delivery.no)
          .bind(delivery.extra)
          .bind(delivery.date)
          .bind(delivery.modified)
          .bind(result.updated)
          .bind(int64_t{delivery.deleted ? 1 : 0})
          .step();
    }
    exec("COMMIT");
    return result;
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

std::vector<ServerDelivery> QBYSQLiteServerStore::changesSince(int64_t accountId, Micros since) {
  Statement s(*this,
              "SELECT uuid, service, name, number, extra, date, modified, updated, deleted FROM "
              "deliveries WHERE account_id = ? AND updated > ? ORDER BY updated");
  s.bind(accountId).bind(since);
  std::vector<ServerDelivery> changes;
  while (s.step())
    changes.push_back(ServerDelivery{s.text(0), s.text(1), s.text(2), s.text(3), s.text(4),
                                     s.text(5), s.number(6), s.number(7), s.number(8) != 0});
  return changes;
}

Micros QBYSQLiteServerStore::lastUpdated(int64_t accountId) {
  Statement s(*this, "SELECT last_updated FROM accounts WHERE id = ?");
  s.bind(accountId);
  return s.step() ? s.number(0) : 0;
}

void QBYSQLiteServerStore::addAttempt(const std::string& kind, const std::string& key, Micros at) {
  Statement s(*this, "INSERT INTO attempts (kind, key, at) VALUES (?, ?, ?)");
  s.bind(kind).bind(key).bind(at).step();
}

int QBYSQLiteServerStore::attemptsSince(const std::string& kind, const std::string& key,
                                        Micros since) {
  Statement s(*this, "SELECT count(*) FROM attempts WHERE kind = ? AND key = ? AND at > ?");
  s.bind(kind).bind(key).bind(since).step();
  return static_cast<int>(s.number(0));
}

void QBYSQLiteServerStore::purgeAttempts(Micros before) {
  Statement s(*this, "DELETE FROM attempts WHERE at < ?");
  s.bind(before).step();
  Statement codes(*this, "DELETE FROM reset_codes WHERE expires < ?");
  codes.bind(before).step();
}

void QBYSQLiteServerStore::storeResetCode(int64_t accountId, const std::string& digest,
                                          Micros expires) {
  Statement s(*this, "INSERT INTO reset_codes (account_id, digest, expires) VALUES (?, ?, ?)");
  s.bind(accountId).bind(digest).bind(expires).step();
}

std::optional<int64_t> QBYSQLiteServerStore::takeResetCode(const std::string& email,
                                                           const std::string& digest, Micros now) {
  Statement s(*this,
              "DELETE FROM reset_codes WHERE digest = ? AND expires > ? AND account_id = "
              "(SELECT id FROM accounts WHERE email = ?) RETURNING account_id");
  s.bind(digest).bind(now).bind(email);
  std::optional<int64_t> account;
  while (s.step()) account = s.number(0);
  return account;
}

void QBYSQLiteServerStore::storeReport(const std::string& json, const std::string& remote,
                                       Micros at) {
  Statement s(*this, "INSERT INTO reports (received, remote, fields) VALUES (?, ?, ?)");
  s.bind(at).bind(remote).bind(json).step();
}

int64_t QBYSQLiteServerStore::reportCount() {
  Statement s(*this, "SELECT count(*) FROM reports");
  s.step();
  return s.number(0);
}

}  // namespace qby::server
