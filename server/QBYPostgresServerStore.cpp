#include "QBYPostgresServerStore.h"

#include <pqxx/pqxx>

#include <algorithm>
#include <utility>

namespace qby::server {

namespace {

const char* const migrations[] = {
    R"sql(
CREATE TABLE accounts (
  id BIGSERIAL PRIMARY KEY,
  email TEXT NOT NULL UNIQUE,
  name TEXT NOT NULL,
  password_hash TEXT NOT NULL,
  created BIGINT NOT NULL,
  last_updated BIGINT NOT NULL DEFAULT 0);
CREATE TABLE clients (
  id TEXT PRIMARY KEY,
  account_id BIGINT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
  code_digest TEXT NOT NULL,
  code_expires BIGINT NOT NULL,
  created BIGINT NOT NULL);
CREATE INDEX clients_account ON clients(account_id);
CREATE TABLE deliveries (
  account_id BIGINT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
  uuid TEXT NOT NULL,
  service TEXT NOT NULL, name TEXT NOT NULL, number TEXT NOT NULL, extra TEXT NOT NULL,
  date TEXT NOT NULL,
  modified BIGINT NOT NULL,
  updated BIGINT NOT NULL,
  deleted SMALLINT NOT NULL,
  PRIMARY KEY (account_id, uuid));
CREATE INDEX deliveries_updated ON deliveries(account_id, updated);
CREATE TABLE attempts (kind TEXT NOT NULL, key TEXT NOT NULL, at BIGINT NOT NULL);
CREATE INDEX attempts_key ON attempts(kind, key, at);
CREATE TABLE reset_codes (
  account_id BIGINT NOT NULL REFERENCES accounts(id) ON DELETE CASCADE,
  digest TEXT NOT NULL,
  expires BIGINT NOT NULL);
CREATE TABLE reports (id BIGSERIAL PRIMARY KEY, received BIGINT NOT NULL, remote TEXT NOT NULL,
  fields TEXT NOT NULL);
)sql",
};

// An arbitrary constant that names the migration lock among the database's advisory locks.
constexpr long long kMigrationLock = 0x706f7276616e65;

}  // namespace

struct QBYPostgresServerStore::Connection {
  explicit Connection(const std::string& text) : link(text) {}
  pqxx::connection link;
};

QBYPostgresServerStore::QBYPostgresServerStore(std::string connectionString)
    : connectionString_(std::move(connectionString)) {}

QBYPostgresServerStore::~QBYPostgresServerStore() = default;

QBYPostgresServerStore::Connection& QBYPostgresServerStore::connection() {
  if (!connection_ || !connection_->link.is_open())
    connection_ = std::make_unique<Connection>(connectionString_);
  return *connection_;
}

template <typename Work, typename Body>
auto QBYPostgresServerStore::transact(Body&& body) {
  for (int attempt = 0;; ++attempt) {
    try {
      Work work(connection().link);
      auto result = body(work);
      work.commit();
      return result;
    } catch (const pqxx::broken_connection& error) {
      connection_.reset();
      if (attempt > 0) throw QBYServerStoreError(std::string("PostgreSQL: ") + error.what());
    } catch (const std::exception& error) {
      throw QBYServerStoreError(std::string("PostgreSQL: ") + error.what());
    }
  }
}

void QBYPostgresServerStore::open() {
  transact<pqxx::work>([](auto& w) {
    w.exec_params("SELECT pg_advisory_xact_lock($1)", kMigrationLock);
    w.exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    const pqxx::result rows = w.exec("SELECT max(version) FROM schema_version");
    const int have = rows[0][0].is_null() ? 0 : rows[0][0].as<int>();
    const int known = static_cast<int>(std::size(migrations));
    checkSchemaVersion(have, known);
    for (int version = have + 1; version <= known; ++version) {
      w.exec(migrations[version - 1]);
      w.exec_params("INSERT INTO schema_version (version) VALUES ($1)", version);
    }
    return 0;
  });
}

int QBYPostgresServerStore::schemaVersion() {
  return transact<pqxx::nontransaction>([](auto& w) {
    const pqxx::result rows = w.exec("SELECT max(version) FROM schema_version");
    return rows[0][0].is_null() ? 0 : rows[0][0].as<int>();
  });
}

std::optional<int64_t> QBYPostgresServerStore::createAccount(const std::string& email,
                                                             const std::string& name,
                                                             const std::string& passwordHash,
                                                             Micros now) {
  return transact<pqxx::nontransaction>([&](auto& w) -> std::optional<int64_t> {
    const pqxx::result rows = w.exec_params(
        "INSERT INTO accounts (email, name, password_hash, created) VALUES ($1, $2, $3, $4) "
        "ON CONFLICT (email) DO NOTHING RETURNING id",
        email, name, passwordHash, now);
    if (rows.empty()) return std::nullopt;
    return rows[0][0].as<int64_t>();
  });
}

std::optional<ServerAccount> QBYPostgresServerStore::accountByEmail(const std::string& email) {
  return transact<pqxx::nontransaction>([&](auto& w) -> std::optional<ServerAccount> {
    const pqxx::result rows =
        w.exec_params("SELECT id, email, password_hash FROM accounts WHERE email = $1", email);
    if (rows.empty()) return std::nullopt;
    return ServerAccount{rows[0][0].as<int64_t>(), rows[0][1].as<std::string>(),
                         rows[0][2].as<std::string>()};
  });
}

void QBYPostgresServerStore::setPasswordHash(int64_t accountId, const std::string& passwordHash) {
  transact<pqxx::nontransaction>([&](auto& w) {
    w.exec_params("UPDATE accounts SET password_hash = $1 WHERE id = $2", passwordHash, accountId);
    return 0;
  });
}

void QBYPostgresServerStore::createClient(const ServerClient& client, Micros now) {
  transact<pqxx::nontransaction>([&](auto& w) {
    w.exec_params(
        "INSERT INTO clients (id, account_id, code_digest, code_expires, created) "
        "VALUES ($1, $2, $3, $4, $5)",
        client.id, client.accountId, client.codeDigest, client.codeExpires, now);
    return 0;
  });
}

std::optional<ServerClient> QBYPostgresServerStore::clientById(const std::string& id) {
  return transact<pqxx::nontransaction>([&](auto& w) -> std::optional<ServerClient> {
    const pqxx::result rows = w.exec_params(
        "SELECT id, account_id, code_digest, code_expires FROM clients WHERE id = $1", id);
    if (rows.empty()) return std::nullopt;
    return ServerClient{rows[0][0].as<std::string>(), rows[0][1].as<int64_t>(),
                        rows[0][2].as<std::string>(), rows[0][3].as<int64_t>()};
  });
}

bool QBYPostgresServerStore::replaceCode(const std::string& clientId, const std::string& oldDigest,
                                         const std::string& newDigest, Micros expires) {
  return transact<pqxx::nontransaction>([&](auto& w) {
    const pqxx::result rows = w.exec_params(
        "UPDATE clients SET code_digest = $1, code_expires = $2 WHERE id = $3 AND "
        "code_digest = $4",
        newDigest, expires, clientId, oldDigest);
    return rows.affected_rows() == 1;
  });
}

void QBYPostgresServerStore::deleteClient(const std::string& clientId) {
  transact<pqxx::nontransaction>([&](auto& w) {
    w.exec_params("DELETE FROM clients WHERE id = $1", clientId);
    return 0;
  });
}

void QBYPostgresServerStore::deleteClients(int64_t accountId) {
  transact<pqxx::nontransaction>([&](auto& w) {
    w.exec_params("DELETE FROM clients WHERE account_id = $1", accountId);
    return 0;
  });
}

PutResult QBYPostgresServerStore::putDelivery(int64_t accountId, const ServerDelivery& delivery,
                                              int quota, Micros now) {
  return transact<pqxx::work>([&](auto& w) {
    PutResult result;
    const pqxx::result account =
        w.exec_params("SELECT last_updated FROM accounts WHERE id = $1 FOR UPDATE", accountId);
    if (account.empty()) throw std::runtime_error("no account " + std::to_string(accountId));
    const pqxx::result existing = w.exec_params(
        "SELECT modified, deleted FROM deliveries WHERE account_id = $1 AND uuid = $2", accountId,
        delivery.uuid);
    std::optional<StoredDelivery> stored;
    if (!existing.empty())
      stored = StoredDelivery{existing[0][0].as<int64_t>(), existing[0][1].as<int>() != 0};
    result.outcome = writeOutcome(stored, delivery);
    if (result.outcome != PutResult::Outcome::Stored) return result;
    if (addsLiveDelivery(stored, delivery)) {
      const pqxx::result count = w.exec_params(
          "SELECT count(*) FROM deliveries WHERE account_id = $1 AND deleted = 0", accountId);
      result.outcome = quotaOutcome(count[0][0].as<int64_t>(), quota);
      if (result.outcome != PutResult::Outcome::Stored) return result;
    }
    result.updated = nextServerTime(now, account[0][0].as<int64_t>());
    w.exec_params("UPDATE accounts SET last_updated = $1 WHERE id = $2", result.updated, accountId);
    w.exec_params(
        "INSERT INTO deliveries (account_id, uuid, service, name, number, extra, date, modified, "
        "updated, deleted) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10) "
        "ON CONFLICT (account_id, uuid) DO UPDATE SET service = excluded.service, "
        "name = excluded.name, number = excluded.number, extra = excluded.extra, "
        "date = excluded.date, modified = excluded.modified, updated = excluded.updated, "
        "deleted = excluded.deleted",
        accountId, delivery.uuid, delivery.from, delivery.name, delivery.no, delivery.extra,
        delivery.date, delivery.modified, result.updated, delivery.deleted ? 1 : 0);
    return result;
  });
}

std::vector<ServerDelivery> QBYPostgresServerStore::changesSince(int64_t accountId, Micros since) {
  return transact<pqxx::nontransaction>([&](auto& w) {
    const pqxx::result rows = w.exec_params(
        "SELECT uuid, service, name, number, extra, date, modified, updated, deleted FROM "
        "deliveries WHERE account_id = $1 AND updated > $2 ORDER BY updated",
        accountId, since);
    std::vector<ServerDelivery> changes;
    changes.reserve(rows.size());
    for (const auto& row : rows)
      changes.push_back(ServerDelivery{
          row[0].as<std::string>(), row[1].as<std::string>(), row[2].as<std::string>(),
          row[3].as<std::string>(), row[4].as<std::string>(), row[5].as<std::string>(),
          row[6].as<int64_t>(), row[7].as<int64_t>(), row[8].as<int>() != 0});
    return changes;
  });
}

Micros QBYPostgresServerStore::lastUpdated(int64_t accountId) {
  return transact<pqxx::nontransaction>([&](auto& w) -> Micros {
    const pqxx::result rows =
        w.exec_params("SELECT last_updated FROM accounts WHERE id = $1", accountId);
    return rows.empty() ? 0 : rows[0][0].as<int64_t>();
  });
}

void QBYPostgresServerStore::addAttempt(const std::string& kind, const std::string& key,
                                        Micros at) {
  transact<pqxx::nontransaction>([&](auto& w) {
    w.exec_params("INSERT INTO attempts (kind, key, at) VALUES ($1, $2, $3)", kind, key, at);
    return 0;
  });
}

int QBYPostgresServerStore::attemptsSince(const std::string& kind, const std::string& key,
                                          Micros since) {
  return transact<pqxx::nontransaction>([&](auto& w) {
    const pqxx::result rows = w.exec_params(
        "SELECT count(*) FROM attempts WHERE kind = $1 AND key = $2 AND at > $3", kind, key, since);
    return rows[0][0].as<int>();
  });
}

void QBYPostgresServerStore::purgeAttempts(Micros before) {
  transact<pqxx::work>([&](auto& w) {
    w.exec_params("DELETE FROM attempts WHERE at < $1", before);
    w.exec_params("DELETE FROM reset_codes WHERE expires < $1", before);
    return 0;
  });
}

void QBYPostgresServerStore::storeResetCode(int64_t accountId, const std::string& digest,
                                            Micros expires) {
  transact<pqxx::nontransaction>([&](auto& w) {
    w.exec_params("INSERT INTO reset_codes (account_id, digest, expires) VALUES ($1, $2, $3)",
                  accountId, digest, expires);
    return 0;
  });
}

std::optional<int64_t> QBYPostgresServerStore::takeResetCode(const std::string& email,
                                                             const std::string& digest,
                                                             Micros now) {
  return transact<pqxx::nontransaction>([&](auto& w) -> std::optional<int64_t> {
    const pqxx::result rows = w.exec_params(
        "DELETE FROM reset_codes WHERE digest = $1 AND expires > $2 AND account_id = "
        "(SELECT id FROM accounts WHERE email = $3) RETURNING account_id",
        digest, now, email);
    if (rows.empty()) return std::nullopt;
    return rows[0][0].as<int64_t>();
  });
}

void QBYPostgresServerStore::storeReport(const std::string& json, const std::string& remote,
                                         Micros at) {
  transact<pqxx::nontransaction>([&](auto& w) {
    w.exec_params("INSERT INTO reports (received, remote, fields) VALUES ($1, $2, $3)", at, remote,
                  json);
    return 0;
  });
}

int64_t QBYPostgresServerStore::reportCount() {
  return transact<pqxx::nontransaction>([](auto& w) {
    const pqxx::result rows = w.exec("SELECT count(*) FROM reports");
    return rows[0][0].as<int64_t>();
  });
}

}  // namespace qby::server
