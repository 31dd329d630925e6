// Where the sync account's secrets are kept: the password under the account's e-mail address
// and the login code under the address followed by " [porvane]", both on the vendor service
// key. The sync manager reaches them through this interface so that tests can stand in for
// the desktop keyring; QBYKeyringSyncCredentials is the real one (QBYPasswordManager).
//
// Calls may block on D-Bus; the sync manager makes them where a short wait is acceptable.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qby {

class QBYSyncCredentials {
 public:
  virtual ~QBYSyncCredentials() = default;

  // The account of the server's first password item meant for the user, or nothing.
  virtual std::optional<std::string> accountOnServer(std::string_view server) = 0;
  // The password, or nothing when none is stored or it cannot be read.
  virtual std::optional<std::string> passwordForAccount(std::string_view account,
                                                        std::string_view server) = 0;
  virtual bool setPassword(const std::string& password, std::string_view account,
                           std::string_view server, bool backgroundUse) = 0;
  // A missing item counts as success.
  virtual bool deletePasswordForAccount(std::string_view account, std::string_view server) = 0;
};

class QBYKeyringSyncCredentials : public QBYSyncCredentials {
 public:
  std::optional<std::string> accountOnServer(std::string_view server) override;
  std::optional<std::string> passwordForAccount(std::string_view account,
                                                std::string_view server) override;
  bool setPassword(const std::string& password, std::string_view account, std::string_view server,
                   bool backgroundUse) override;
  bool deletePasswordForAccount(std::string_view account, std::string_view server) override;
};

}  // namespace qby
