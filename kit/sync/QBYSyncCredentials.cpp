#include "sync/QBYSyncCredentials.h"

#include "engine/QBYPasswordManager.h"

namespace qby {

std::optional<std::string> QBYKeyringSyncCredentials::accountOnServer(std::string_view server) {
  return QBYPasswordManager::accountOnServer(server);
}

std::optional<std::string> QBYKeyringSyncCredentials::passwordForAccount(std::string_view account,
                                                                         std::string_view server) {
  return QBYPasswordManager::passwordForAccount(account, server, std::nullopt, std::nullopt);
}

bool QBYKeyringSyncCredentials::setPassword(const std::string& password, std::string_view account,
                                            std::string_view server, bool backgroundUse) {
  return QBYPasswordManager::setPassword(password, account, server, backgroundUse);
}

bool QBYKeyringSyncCredentials::deletePasswordForAccount(std::string_view account,
                                                         std::string_view server) {
  return QBYPasswordManager::deletePasswordForAccount(account, server);
}

}  // namespace qby
