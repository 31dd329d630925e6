// The embedded back end: one SQLite file in the data folder, write-ahead logging, schema
// versions in `user_version`. Writes that read before they write take the write lock first
// (BEGIN IMMEDIATE), so two processes on one file cannot interleave them.
//
// Thread rule: one connection, used from the thread that opened it.
#pragma once

#include <memory>
#include <string>

#include <sqlite3.h>

#include "QBYServerStore.h"

namespace qby::server {

class QBYSQLiteServerStore final : public QBYServerStore {
 public:
  explicit QBYSQLiteServerStore(std::string path);
  ~QBYSQLiteServerStore() override;

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
  class Statement;
  void exec(const char* sql);
  [[noreturn]] void fail(const std::string& what);

  std::string path_;
  sqlite3* db_ = nullptr;
};

}  // namespace qby::server
