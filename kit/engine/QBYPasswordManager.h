// The user's secrets in the desktop keyring (the Secret Service, through libsecret): site
// account passwords keyed by server and account, the sync account's password and login code,
// and opaque application data such as the saved session cookies. Every program of the suite
// runs in the same user session and so reads the same items.
//
// Two item kinds, each with a schema of its own:
//   internet password  "com.quillbay.Porvane.InternetPassword": "server", "account" and
//                      "accessibility" ("when-unlocked" or "after-first-unlock"); the secret is
//                      the password in UTF-8.
//   application data   "com.quillbay.Porvane.ApplicationData": "service" (QBYParentAppID) and
//                      "account" (the identifier); the secret is the bytes as
//                      application/octet-stream; the item label is the given label.
//
// Reads and deletes never ask the user to unlock anything: a locked item or collection is a
// failure (the error value, nil or NO), never "not found", so the update engine can tell the
// user that the keyring is locked instead of treating the password as missing. Saving into a
// locked collection fails the same way; only when the user has no default keyring at all may
// the desktop ask for a new one, because nothing can be saved otherwise.
//
// The keyring knows neither synchronisation between machines nor access groups, so reads and
// deletes find an item however it was marked, and the sync account's items are plain items.
//
// Class operations only; any thread may call them (libsecret's blocking calls run a private
// main context of their own). They block on D-Bus, so keep them off the main thread where a
// user is waiting.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/QBYError.h"
#include "platform/Value.h"

namespace qby {

inline constexpr const char* QBYPasswordManagerErrorDomain = "com.quillbay.keyring";

// The service attribute of application-data items.
inline constexpr const char* QBYParentAppID = "com.quillbay.mac.Porvane";
// An account name ending in this holds a sync login code, not a site account.
inline constexpr const char* QBYSyncCodeSuffix = " [porvane]";

class QBYPasswordManager {
 public:
  QBYPasswordManager() = delete;

  // Status codes in the log lines. These outcomes have fixed codes (also when the Secret
  // Service reports them as errors); every other failure logs its GError code.
  static constexpr int kStatusNotFound = -1;          // no matching item
  static constexpr int kStatusLocked = -2;            // the item or its collection is locked
  static constexpr int kStatusNotText = -3;           // the stored password is not UTF-8 text
  static constexpr int kStatusInvalidArguments = -4;  // no password, account or server

  // The account of the server's first password item that is meant for foreground use, or
  // nil. Items whose account ends in " [porvane]" or " [code]" hold old sync login codes:
  // each is deleted and the search repeated. An item without account (which cannot be
  // deleted by account) or a deletion that fails ends the search with nil.
  static std::optional<std::string> accountOnServer(std::string_view server);

  // The stored password, decoded as UTF-8. No item: the default. Empty account or server, a
  // locked keyring, a password that is not UTF-8 or any other failure: the error value. Every
  // failed lookup, "not found" included, logs "Error finding password for %@ on %@: %d".
  static std::optional<std::string> passwordForAccount(
      std::string_view account, std::string_view server,
      const std::optional<std::string>& defaultValue, const std::optional<std::string>& errorValue);

  // Whether that very password is stored for the account (false when none can be read).
  static bool isPasswordSaved(const std::optional<std::string>& password, std::string_view account,
                              std::string_view server);

  // Stores or replaces the password; a password, a server and an account are required.
  // Saving again updates the one item rather than adding another. backgroundUse marks the
  // item as one the background companion reads (the sync login code): the keyring has no
  // "readable after first unlock" class, so the item goes to the default collection like any
  // other and the mark only keeps it out of accountOnServer, which looks for the account the
  // user signs in with. Failures log "Error saving password for %@ on %@: %d" and answer NO.
  static bool setPassword(const std::optional<std::string>& password, std::string_view account,
                          std::string_view server, bool backgroundUse = false);
  // The same, telling why it failed (domain QBYPasswordManagerErrorDomain, the status code of
  // the log line, a description such as "no keyring is reachable" or "the keyring is locked").
  static bool setPassword(const std::optional<std::string>& password, std::string_view account,
                          std::string_view server, bool backgroundUse, QBYError* error);

  // Deletes every password item of the account on the server. A missing item counts as
  // success; empty arguments answer NO; failures log "Error deleting password for %@ on %@: %d".
  static bool deletePasswordForAccount(std::string_view account, std::string_view server);

  // Does nothing and answers NO (kept for callers that still ask for it).
  static bool clearPasswordsExceptQuillbayAccount(std::string_view account);

  // The stored bytes, or nil. A missing item is silent; other failures log
  // "Error finding application data %@: %d".
  static std::optional<Data> applicationDataWithIdentifier(std::string_view identifier);

  // Stores or replaces the bytes under the identifier (required), labelled with the label or,
  // without one, the identifier. Failures log "Error saving application data %@: %d".
  static bool saveApplicationData(const Data& data, std::string_view identifier,
                                  const std::optional<std::string>& label);

  // A missing item counts as success; failures log "Error deleting application data %@: %d".
  static bool deleteApplicationDataWithIdentifier(std::string_view identifier);

  // Leaves the attributes as they are. The Secret Service has no per-program access lists:
  // any program of the user's session may read an unlocked item, so there is nothing to
  // attach. Kept so that callers written for keychains with such lists still build.
  static void setAccessListForItem(Dictionary& itemAttributes,
                                   const std::optional<std::string>& label);
};

}  // namespace qby
