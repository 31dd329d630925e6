// The shared back end: PostgreSQL through libpqxx, for several stateless server instances behind
// a load balancer. Schema versions live in the table schema_version; migrations run under an
// advisory lock, so instances starting together migrate once. A change to a delivery locks its
// account's row first, which orders the account's changes by their server time.
//
// Thread rule: one connection, used from the thread that opened it.
#pragma once

#include <memory>
#include <string>

#include "QBYServerStore.h"

namespace qby::server {

class QBYPostgresServerStore final : public QBYServerStore {
 public:
  explicit QBYPostgresServerStore(std::string connectionString);
  ~QBYPostgresServerStore() override;

  void open() override;
  int schemaVersion() override;

  std::optional<int64_t> createAccount(const std::string& email, const std::string& name,
                                       const std::string& passwordHash, Micros now) override;
  std::optional<ServerAccount> accountByEmail(const std::string& email) override;
  void setPasswordHash(int64_t accountId, const std::string& passwordHash) override;

  void createClient(const ServerClient& client, Micros now) override;
  std::optional<ServerClient> clientById(const std::string& id) override;
  bool replaceCode(const std::string& clientId, const std::string& oldDigest,
                   const std::string& newDigest, Micros expires) override;
  void deleteClient(const std::string& clientId) override;
  void deleteClients(int64_t accountId) override;

  PutResult putDelivery(int64_t accountId, const ServerDelivery& delivery, int quota,
                        Micros now) override;
  std::vector<ServerDelivery> changesSince(int64_t accountId, Micros since) override;
  Micros lastUpdated(int64_t accountId) override;

  void addAttempt(const std::string& kind, const std::string& key, Micros at) override;
  int attemptsSince(const std::string& kind, const std::string& key, Micros since) override;
  void purgeAttempts(Micros before) override;

  void storeResetCode(int64_t accountId, const std::string& digest, Micros expires) override;
  std::optional<int64_t> takeResetCode(const std::string& email, const std::string& digest,
                                       Micros now) override;

  void storeReport(const std::string& json, const std::string& remote, Micros at) override;
  int64_t reportCount() override;

 private:
  // Runs `body` with a `Work` (a transaction for several statements, autocommit for one: it
  // saves the round trips of BEGIN and COMMIT), turning libpqxx's exceptions into
  // QBYServerStoreError. A broken connection is opened again once, so a restarted database costs
  // one failed request.
  template <typename Work, typename Body>
  auto transact(Body&& body);
  struct Connection;
  Connection& connection();

  std::string connectionString_;
  std::unique_ptr<Connection> connection_;
};

}  // namespace qby::server
