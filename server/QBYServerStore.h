// The server's storage, one interface over two back ends (SQLite for one host, PostgreSQL for
// several stateless instances). Every operation is atomic on its own: the service never holds a
// transaction across two calls, so instances sharing one database need no state of their own.
//
// Times are whole microseconds since 1970 (`Micros`): the protocol prints times with six
// decimals, and integers compare exactly where doubles would not.
//
// Failures of the database throw QBYServerStoreError; the service turns them into a reply the
// clients treat as no answer, so nothing they queued is lost.
//
// Thread rule: one store per thread; the server uses it from its main loop only.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace qby::server {

using Micros = int64_t;

class QBYServerStoreError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ServerAccount {
  int64_t id = 0;
  std::string email;
  std::string passwordHash;
};

// One signed-in device of an account, with the digest of its current login code.
struct ServerClient {
  std::string id;
  int64_t accountId = 0;
  std::string codeDigest;
  Micros codeExpires = 0;
};

struct ServerDelivery {
  std::string uuid;
  std::string from, name, no, extra, date;
  Micros modified = 0;
  Micros updated = 0;
  bool deleted = false;
};

struct PutResult {
  enum class Outcome {
    Stored,     // written; `updated` is its new server time
    Older,      // the stored version was modified later and stays
    OverQuota,  // a new delivery beyond the account's quota
  };
  Outcome outcome = Outcome::Stored;
  Micros updated = 0;
};

class QBYServerStore {
 public:
  virtual ~QBYServerStore() = default;

  // Opens the database and brings its schema to the current version.
  virtual void open() = 0;
  virtual int schemaVersion() = 0;
  static constexpr int currentSchemaVersion = 1;

  // Nothing when an account with that address exists.
  virtual std::optional<int64_t> createAccount(const std::string& email, const std::string& name,
                                               const std::string& passwordHash, Micros now) = 0;
  virtual std::optional<ServerAccount> accountByEmail(const std::string& email) = 0;
  virtual void setPasswordHash(int64_t accountId, const std::string& passwordHash) = 0;

  virtual void createClient(const ServerClient& client, Micros now) = 0;
  virtual std::optional<ServerClient> clientById(const std::string& id) = 0;
  // Replaces the client's code only while its digest is still `oldDigest`: of two requests
  // presenting the same code, one wins and the other finds it used.
  virtual bool replaceCode(const std::string& clientId, const std::string& oldDigest,
                           const std::string& newDigest, Micros expires) = 0;
  virtual void deleteClient(const std::string& clientId) = 0;
  // Signs every device of the account out (after a password reset).
  virtual void deleteClients(int64_t accountId) = 0;

  // Writes one delivery (or its deletion) if it was modified no earlier than the stored one.
  // Its server time is later than every earlier change of the account, so a client that asks
  // for changes after the last time it saw misses none.
  virtual PutResult putDelivery(int64_t accountId, const ServerDelivery& delivery, int quota,
                                Micros now) = 0;
  // The account's changes after `since`, oldest first.
  virtual std::vector<ServerDelivery> changesSince(int64_t accountId, Micros since) = 0;
  // The server time of the account's latest change (0 when none).
  virtual Micros lastUpdated(int64_t accountId) = 0;

  // Rate limiting: attempts of a kind ("login-address", "login-ip", "register-ip", …) by key.
  virtual void addAttempt(const std::string& kind, const std::string& key, Micros at) = 0;
  virtual int attemptsSince(const std::string& kind, const std::string& key, Micros since) = 0;
  virtual void purgeAttempts(Micros before) = 0;

  virtual void storeResetCode(int64_t accountId, const std::string& digest, Micros expires) = 0;
  // Takes (and so uses up) a reset code of that address still valid at `now`.
  virtual std::optional<int64_t> takeResetCode(const std::string& email, const std::string& digest,
                                               Micros now) = 0;

  virtual void storeReport(const std::string& json, const std::string& remote, Micros at) = 0;
  virtual int64_t reportCount() = 0;

 protected:
  // The rules every back end applies, kept here so that the back ends cannot drift apart; each
  // back end only reads and writes what the rules decide, inside its own transaction.

  // The stored version of a delivery that a write meets.
  struct StoredDelivery {
    Micros modified = 0;
    bool deleted = false;
  };
  // Throws when the database's schema is newer than this server knows (`known` migrations).
  static void checkSchemaVersion(int have, int known);
  // Older when the stored version was modified later than the write (it stays), else Stored.
  static PutResult::Outcome writeOutcome(const std::optional<StoredDelivery>& stored,
                                         const ServerDelivery& delivery);
  // Whether the write makes a live delivery out of none, so that the quota applies.
  static bool addsLiveDelivery(const std::optional<StoredDelivery>& stored,
                               const ServerDelivery& delivery);
  // OverQuota when the account already holds `liveCount` of its `quota` live deliveries.
  static PutResult::Outcome quotaOutcome(int64_t liveCount, int quota);
  // The server time of the account's next change: now, but later than its last change.
  static Micros nextServerTime(Micros now, Micros lastUpdated);
};

}  // namespace qby::server
