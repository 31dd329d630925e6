// porvane-server as a child process of a test, on 127.0.0.1, over a data folder and a storage
// of the case's own: SQLite in the data folder, or, where PORVANE_TEST_POSTGRESQL names a
// throwaway cluster (tests/server/with-postgresql.sh), a PostgreSQL schema that starts empty and
// is dropped when the case ends. Used by the client's end-to-end tests and the Sync page's.
//
// Threads: the test's main thread.
#pragma once

#include <gio/gio.h>

#include <filesystem>
#include <string>

#include "platform/GLibPtr.h"

namespace qby::test {

class ServerStorage {
 public:
  ServerStorage();
  ~ServerStorage();
  ServerStorage(const ServerStorage&) = delete;
  ServerStorage& operator=(const ServerStorage&) = delete;

  bool postgresql() const { return !schema_.empty(); }
  // The configuration's storage section.
  std::string section() const;
  // How many deliveries the server holds (PostgreSQL only; -1 otherwise).
  long deliveryCount() const;

 private:
  std::string cluster_;
  std::string schema_;
};

// Restartable on the same port. The configuration is the storage section followed by the
// case's own settings. Passwords are hashed the cheapest way the test build of the server
// knows: every sign-in would otherwise cost a full Argon2id run under the sanitizers.
class SyncServer {
 public:
  explicit SyncServer(std::filesystem::path data, const std::string& settings = "");
  ~SyncServer();
  SyncServer(const SyncServer&) = delete;
  SyncServer& operator=(const SyncServer&) = delete;

  const ServerStorage& storage() const { return storage_; }
  // Starts the program and waits for the port it listens on; false when it did not come up.
  bool start();
  void stop();
  std::string url() const;
  // Replaces the case's own settings; they apply from the next start.
  void configure(const std::string& settings);
  // A request as another client would send it; the reply's text ("" when none came).
  std::string post(const std::string& path, const std::string& body) const;
  // What the server wrote to its standard error.
  std::string log() const;

 private:
  std::filesystem::path data_;
  ServerStorage storage_;
  GObjectPtr<GSubprocess> process_;
  int port_ = 0;
  int runs_ = 0;
};

}  // namespace qby::test
