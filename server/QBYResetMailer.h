// Sends a password-reset code through a plain SMTP relay (a local MTA or a relay on a trusted
// network, without authentication): one short conversation per mail, with a time-out, so a
// dead relay costs one request a few seconds and never hangs the server.
//
// Thread rule: any one thread at a time.
#pragma once

#include <string>

namespace qby::server {

class QBYResetMailer {
 public:
  QBYResetMailer(std::string host, int port, std::string from);
  // False with `error` when the relay refused or could not be reached.
  bool send(const std::string& to, const std::string& code, std::string& error) const;

 private:
  std::string host_;
  int port_;
  std::string from_;
};

}  // namespace qby::server
