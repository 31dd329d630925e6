// Runs the tracking scripts outside an update, for the command-line tool: one module against
// an answer saved from the carrier's site (no network: every request the module makes gets that
// answer), and the list of every module the scripts register with what it says about itself.
//
// A module tells how it tracks through two optional fields of its registration: "access"
// ("keyless", "keys" or "page") and "credentials" (the credential types of the carrier's
// developer interface).
//
// Threads: any thread but the queue of a script runner; both calls block until the scripts are
// done or the time-out has passed.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace qby {

struct QBYModuleInfo {
  // "keyless", "keys", "page", or empty when the module does not say.
  std::string access;
  std::vector<std::string> credentials;
  // The user module that registered the service, when one did.
  std::optional<std::filesystem::path> userFile;
};

struct QBYModuleCheckOptions {
  std::filesystem::path file;
  // The saved answer every request gets; absent: every request is answered as offline.
  std::optional<std::string> answer;
  int status = 200;
  std::string number = "TEST";
  std::string extra;
  // The service to run when the file registers several.
  std::optional<std::string> service;
  double timeoutSeconds = 30;
};

struct QBYModuleCheckRequest {
  std::string method;
  std::string url;
};

struct QBYModuleCheckResult {
  // Why nothing (or not everything) ran: the module was refused, registers no or several
  // services, or never finished. Absent when the module reported its final status.
  std::optional<std::string> error;
  std::string service;
  std::vector<QBYModuleCheckRequest> requests;
  // Every dictionary the module reported ("updateDelivery"), progress reports included.
  Array results;
  // The script's alerts and log lines.
  std::vector<std::string> log;
  std::optional<bool> finalStatus;
};

class QBYModuleCheck {
 public:
  static QBYModuleCheckResult run(const QBYModuleCheckOptions& options);

  // Every service the tracking scripts register, by service key: the shipped services (or the
  // downloaded file at servicesURL when it loads) and the user's modules after them.
  static std::map<std::string, QBYModuleInfo> registeredModules(
      const std::optional<std::filesystem::path>& servicesURL, double timeoutSeconds = 30);
};

}  // namespace qby
