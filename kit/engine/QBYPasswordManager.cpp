#include "engine/QBYPasswordManager.h"

#include <libsecret/secret.h>

#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "platform/GLibPtr.h"
#include "platform/Log.h"

namespace qby {

namespace {

// Our own schemas rather than the generic network-password one, so that items of other
// programs for the same server are never read, replaced or deleted here.
const SecretSchema kInternetPasswordSchema = {"com.quillbay.Porvane.InternetPassword",
                                              SECRET_SCHEMA_NONE,
                                              {{"server", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                               {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                               {"accessibility", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                               {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                              0,
                                              nullptr,
                                              nullptr,
                                              nullptr,
                                              nullptr,
                                              nullptr,
                                              nullptr,
                                              nullptr};

const SecretSchema kApplicationDataSchema = {"com.quillbay.Porvane.ApplicationData",
                                             SECRET_SCHEMA_NONE,
                                             {{"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                              {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                              {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                             0,
                                             nullptr,
                                             nullptr,
                                             nullptr,
                                             nullptr,
                                             nullptr,
                                             nullptr,
                                             nullptr};

constexpr const char* kWhenUnlocked = "when-unlocked";
constexpr const char* kAfterFirstUnlock = "after-first-unlock";
constexpr const char* kPasswordContentType = "text/plain";
constexpr const char* kDataContentType = "application/octet-stream";
constexpr const char* kOldSyncCodeSuffix = " [code]";

// A blocked deletion reports failure, so accountOnServer's loop ends on its own; this bound
// only guards against a service that claims success without deleting.
constexpr int kMaxStaleAccounts = 64;

// The outcome of one step: success, or a failure with the code the log lines print.
struct Status {
  enum class Kind { Ok, NotFound, Locked, Failed };
  Kind kind = Kind::Ok;
  int code = 0;
  // The keyring's own words for a failure, when it gave any.
  std::string message;

  static Status ok() { return {}; }
  static Status notFound() { return {Kind::NotFound, QBYPasswordManager::kStatusNotFound, {}}; }
  static Status locked() { return {Kind::Locked, QBYPasswordManager::kStatusLocked, {}}; }
  static Status notText() { return {Kind::Failed, QBYPasswordManager::kStatusNotText, {}}; }
  static Status from(const GError* error) {
    if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED)) return locked();
    if (g_error_matches(error, SECRET_ERROR, SECRET_ERROR_NO_SUCH_OBJECT)) return notFound();
    return {Kind::Failed, error ? error->code : 0, error && error->message ? error->message : ""};
  }

  bool isOk() const { return kind == Kind::Ok; }
};

// D-Bus strings must be UTF-8 without NUL; anything else would make libsecret fail an
// assertion, so such arguments are refused up front.
bool isAttributeText(std::string_view text) {
  return g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
}

bool isUsableArgument(std::string_view text) {
  return !text.empty() && isAttributeText(text);
}

GHashTablePtr makeAttributes(
    std::initializer_list<std::pair<const char*, std::string_view>> entries) {
  GHashTablePtr attributes(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
  for (const auto& [name, value] : entries)
    g_hash_table_insert(attributes.get(), g_strdup(name), g_strndup(value.data(), value.size()));
  return attributes;
}

struct SecretValueDeleter {
  void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using SecretValuePtr = std::unique_ptr<SecretValue, SecretValueDeleter>;

SecretValuePtr makeSecret(std::string_view bytes, const char* contentType) {
  // secret_value_new_full takes the bytes with their length, so NUL bytes survive.
  auto* copy = static_cast<gchar*>(g_malloc(bytes.size() + 1));
  if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
  copy[bytes.size()] = '\0';
  return SecretValuePtr(
      secret_value_new_full(copy, static_cast<gssize>(bytes.size()), contentType, g_free));
}

// libsecret's shared connection to the Secret Service for the length of one operation. After
// a failure that is neither "not found" nor "locked" the shared connection is dropped, so the
// next operation connects afresh: a keyring daemon that was restarted has forgotten the
// connection's session, and keeping it would make every later call fail. (A connection of our
// own per operation would avoid that too, but libsecret never closes the sessions it opens,
// so the daemon would collect one per call for as long as the program runs.)
class Keyring {
 public:
  Keyring() {
    GError* error = nullptr;
    service_ = GObjectPtr<SecretService>::adopt(
        secret_service_get_sync(SECRET_SERVICE_OPEN_SESSION, nullptr, &error));
    opened_ = checked(error);
    if (!service_ && opened_.isOk()) opened_ = {Status::Kind::Failed, 0, {}};
    if (!service_) unreachable_ = true;
  }
  ~Keyring() {
    if (broken_) secret_service_disconnect();
  }
  Keyring(const Keyring&) = delete;
  Keyring& operator=(const Keyring&) = delete;

  explicit operator bool() const { return static_cast<bool>(service_); }
  const Status& openStatus() const { return opened_; }
  // No Secret Service could be reached at all (rather than one that refused a request).
  bool unreachable() const { return unreachable_; }

  // Whether the item is locked now. libsecret answers from a cached property that follows the
  // service's change signals only while a main loop runs; an item locked by another program a
  // moment ago may still look unlocked there, and a deletion would then fail as if the item
  // were missing. Ask the service; fall back to the cache when it does not answer.
  static bool isLocked(SecretItem* item) {
    GError* error = nullptr;
    const GVariantPtr reply(
        g_dbus_proxy_call_sync(G_DBUS_PROXY(item), "org.freedesktop.DBus.Properties.Get",
                               g_variant_new("(ss)", "org.freedesktop.Secret.Item", "Locked"),
                               G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error));
    if (!reply) {
      g_clear_error(&error);
      return secret_item_get_locked(item);
    }
    GVariant* unboxed = nullptr;
    g_variant_get(reply.get(), "(v)", &unboxed);
    const GVariantPtr boxed(unboxed);
    return g_variant_is_of_type(boxed.get(), G_VARIANT_TYPE_BOOLEAN)
               ? g_variant_get_boolean(boxed.get())
               : secret_item_get_locked(item);
  }

  // Items matching the attributes in any collection, unlocked ones first. Never unlocks:
  // a locked match is returned as it is, for the caller to report.
  std::pair<std::vector<GObjectPtr<SecretItem>>, Status> search(const SecretSchema& schema,
                                                                GHashTable* attributes, bool all,
                                                                bool loadSecrets) {
    int flags = SECRET_SEARCH_NONE;
    if (all) flags |= SECRET_SEARCH_ALL;
    if (loadSecrets) flags |= SECRET_SEARCH_LOAD_SECRETS;
    GError* error = nullptr;
    GList* found =
        secret_service_search_sync(service_.get(), &schema, attributes,
                                   static_cast<SecretSearchFlags>(flags), nullptr, &error);
    std::vector<GObjectPtr<SecretItem>> items;
    for (GList* node = found; node; node = node->next)
      items.push_back(GObjectPtr<SecretItem>::adopt(static_cast<SecretItem*>(node->data)));
    g_list_free(found);
    return {std::move(items), checked(error)};
  }

  // The first match, or NotFound / Locked / the failure.
  std::pair<GObjectPtr<SecretItem>, Status> first(const SecretSchema& schema,
                                                  GHashTable* attributes, bool loadSecret) {
    auto [items, status] = search(schema, attributes, false, loadSecret);
    if (!status.isOk()) return {GObjectPtr<SecretItem>(), status};
    if (items.empty()) return {GObjectPtr<SecretItem>(), Status::notFound()};
    if (isLocked(items.front().get())) return {GObjectPtr<SecretItem>(), Status::locked()};
    return {std::move(items.front()), Status::ok()};
  }

  // The item's secret bytes; the search has usually loaded them already.
  std::pair<std::optional<std::string>, Status> secretOf(SecretItem* item) {
    SecretValuePtr value(secret_item_get_secret(item));
    if (!value) {
      GError* error = nullptr;
      secret_item_load_secret_sync(item, nullptr, &error);
      if (Status loaded = checked(error); !loaded.isOk()) return {std::nullopt, loaded};
      value.reset(secret_item_get_secret(item));
      if (!value) return {std::nullopt, Status::locked()};
    }
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    return {std::string(bytes ? bytes : "", bytes ? length : 0), Status::ok()};
  }

  // Deletes every match; missing items are fine, locked ones are a failure (deleting them
  // could make the service ask the user to unlock).
  Status deleteAll(const SecretSchema& schema, GHashTable* attributes) {
    auto [items, status] = search(schema, attributes, true, false);
    if (!status.isOk()) return status;
    Status result = Status::ok();
    for (const auto& item : items) {
      if (isLocked(item.get())) {
        if (result.isOk()) result = Status::locked();
        continue;
      }
      GError* error = nullptr;
      secret_item_delete_sync(item.get(), nullptr, &error);
      const Status deleted = checked(error);
      // Gone already (another program deleted it meanwhile): that is what we wanted.
      if (deleted.kind == Status::Kind::NotFound) continue;
      if (!deleted.isOk() && result.isOk()) result = deleted;
    }
    return result;
  }

  // Replaces the secret (and the attributes or label when given) of an unlocked item.
  Status update(SecretItem* item, SecretValue* value, const SecretSchema* schema,
                GHashTable* attributes, const char* label) {
    if (isLocked(item)) return Status::locked();
    GError* error = nullptr;
    if (attributes) secret_item_set_attributes_sync(item, schema, attributes, nullptr, &error);
    if (!error && label) secret_item_set_label_sync(item, label, nullptr, &error);
    if (!error) secret_item_set_secret_sync(item, value, nullptr, &error);
    return checked(error);
  }

  // Adds a new item to the default collection. A locked collection is reported rather than
  // left to libsecret, which would ask the user to unlock it. Only a user without any
  // default collection is asked (by the service) to create one.
  Status store(const SecretSchema& schema, GHashTable* attributes, const char* label,
               SecretValue* value) {
    GError* error = nullptr;
    auto collection = GObjectPtr<SecretCollection>::adopt(secret_collection_for_alias_sync(
        service_.get(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error));
    if (Status found = checked(error); !found.isOk()) return found;
    if (collection && secret_collection_get_locked(collection.get())) return Status::locked();
    error = nullptr;
    secret_service_store_sync(service_.get(), &schema, attributes, SECRET_COLLECTION_DEFAULT, label,
                              value, nullptr, &error);
    return checked(error);
  }

 private:
  // Takes the error (if any) and notes whether the connection has to be dropped.
  Status checked(GError* error) {
    GErrorPtr owned(error);
    if (!owned) return Status::ok();
    Status status = Status::from(owned.get());
    if (status.kind == Status::Kind::Failed) broken_ = true;
    return status;
  }

  GObjectPtr<SecretService> service_;
  Status opened_;
  bool broken_ = false;
  bool unreachable_ = false;
};

std::optional<std::string> attributeOf(SecretItem* item, const char* name) {
  GHashTablePtr attributes(secret_item_get_attributes(item));
  if (!attributes) return std::nullopt;
  const auto* value = static_cast<const char*>(g_hash_table_lookup(attributes.get(), name));
  if (!value) return std::nullopt;
  return std::string(value);
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

Status deletePassword(Keyring& keyring, std::string_view account, std::string_view server) {
  // No accessibility in the query: the account's item goes whatever use it was saved for.
  const auto attributes = makeAttributes({{"server", server}, {"account", account}});
  return keyring.deleteAll(kInternetPasswordSchema, attributes.get());
}

}  // namespace

std::optional<std::string> QBYPasswordManager::accountOnServer(std::string_view server) {
  if (!isUsableArgument(server)) return std::nullopt;
  Keyring keyring;
  if (!keyring) return std::nullopt;
  // Only items meant for foreground use: the login code the companion keeps for background
  // updates sits under the same server and must survive this search.
  const auto attributes = makeAttributes({{"server", server}, {"accessibility", kWhenUnlocked}});
  for (int attempt = 0; attempt < kMaxStaleAccounts; ++attempt) {
    auto [item, found] = keyring.first(kInternetPasswordSchema, attributes.get(), false);
    if (!found.isOk()) return std::nullopt;
    const std::string account = attributeOf(item.get(), "account").value_or("");
    if (!account.empty() && !endsWith(account, QBYSyncCodeSuffix) &&
        !endsWith(account, kOldSyncCodeSuffix))
      return account;
    // A login code stored where the sign-in account belongs: drop it and look again.
    if (!deletePasswordForAccount(account, server)) return std::nullopt;
  }
  return std::nullopt;
}

std::optional<std::string> QBYPasswordManager::passwordForAccount(
    std::string_view account, std::string_view server,
    const std::optional<std::string>& defaultValue, const std::optional<std::string>& errorValue) {
  if (!isUsableArgument(account) || !isUsableArgument(server)) return errorValue;
  const auto fail = [&](const Status& status) {
    log("Error finding password for %@ on %@: %d", account, server, status.code);
    return status.kind == Status::Kind::NotFound ? defaultValue : errorValue;
  };
  Keyring keyring;
  if (!keyring) return fail(keyring.openStatus());
  const auto attributes = makeAttributes({{"server", server}, {"account", account}});
  auto [item, found] = keyring.first(kInternetPasswordSchema, attributes.get(), true);
  if (!found.isOk()) return fail(found);
  auto [secret, read] = keyring.secretOf(item.get());
  if (!read.isOk()) return fail(read);
  if (!g_utf8_validate(secret->data(), static_cast<gssize>(secret->size()), nullptr))
    return fail(Status::notText());
  return secret;
}

bool QBYPasswordManager::isPasswordSaved(const std::optional<std::string>& password,
                                         std::string_view account, std::string_view server) {
  if (!password) return false;
  const auto stored = passwordForAccount(account, server, std::nullopt, std::nullopt);
  return stored && *stored == *password;
}

bool QBYPasswordManager::setPassword(const std::optional<std::string>& password,
                                     std::string_view account, std::string_view server,
                                     bool backgroundUse) {
  return setPassword(password, account, server, backgroundUse, nullptr);
}

bool QBYPasswordManager::setPassword(const std::optional<std::string>& password,
                                     std::string_view account, std::string_view server,
                                     bool backgroundUse, QBYError* error) {
  if (!password || !isUsableArgument(account) || !isUsableArgument(server)) {
    if (error)
      *error = QBYError::make(QBYPasswordManagerErrorDomain, kStatusInvalidArguments,
                              "a password, an account and a server are needed");
    return false;
  }
  bool unreachable = false;
  const auto fail = [&](const Status& status) {
    log("Error saving password for %@ on %@: %d", account, server, status.code);
    if (error) {
      std::string why;
      if (unreachable)
        why = "no keyring is reachable";
      else if (status.kind == Status::Kind::Locked)
        why = "the keyring is locked";
      else if (status.code == kStatusNotText)
        why = "the password is not valid text";
      else
        why = "the keyring refused it";
      if (!status.message.empty()) why += " (" + status.message + ")";
      *error = QBYError::make(QBYPasswordManagerErrorDomain, status.code, why);
    }
    return false;
  };
  // What cannot be read back as text is not stored.
  if (!g_utf8_validate(password->data(), static_cast<gssize>(password->size()), nullptr))
    return fail(Status::notText());

  Keyring keyring;
  unreachable = keyring.unreachable();
  if (!keyring) return fail(keyring.openStatus());
  // The keyring has no synchronisation between machines and no access groups, so the sync
  // account's password is an item like any other here.
  const auto query = makeAttributes({{"server", server}, {"account", account}});
  const auto item =
      makeAttributes({{"server", server},
                      {"account", account},
                      {"accessibility", backgroundUse ? kAfterFirstUnlock : kWhenUnlocked}});
  const auto secret = makeSecret(*password, kPasswordContentType);

  auto [existing, searched] = keyring.search(kInternetPasswordSchema, query.get(), true, false);
  if (!searched.isOk()) return fail(searched);
  if (existing.empty()) {
    // Items for background use get no access list of readers: the keyring has none (see
    // setAccessListForItem), and any program of the session reads them once unlocked.
    const auto label = std::string(server);
    const Status stored =
        keyring.store(kInternetPasswordSchema, item.get(), label.c_str(), secret.get());
    return stored.isOk() ? true : fail(stored);
  }
  // Every item of the account takes the new password, so no older copy is read later.
  Status result = Status::ok();
  for (const auto& found : existing) {
    const Status updated =
        keyring.update(found.get(), secret.get(), &kInternetPasswordSchema, item.get(), nullptr);
    if (!updated.isOk() && result.isOk()) result = updated;
  }
  return result.isOk() ? true : fail(result);
}

bool QBYPasswordManager::deletePasswordForAccount(std::string_view account,
                                                  std::string_view server) {
  if (!isUsableArgument(account) || !isUsableArgument(server)) return false;
  Keyring keyring;
  const Status status = keyring ? deletePassword(keyring, account, server) : keyring.openStatus();
  if (status.isOk() || status.kind == Status::Kind::NotFound) return true;
  log("Error deleting password for %@ on %@: %d", account, server, status.code);
  return false;
}

bool QBYPasswordManager::clearPasswordsExceptQuillbayAccount(std::string_view /*account*/) {
  return false;
}

std::optional<Data> QBYPasswordManager::applicationDataWithIdentifier(std::string_view identifier) {
  if (!isUsableArgument(identifier)) return std::nullopt;
  const auto fail = [&](const Status& status) -> std::optional<Data> {
    if (status.kind != Status::Kind::NotFound)
      log("Error finding application data %@: %d", identifier, status.code);
    return std::nullopt;
  };
  Keyring keyring;
  if (!keyring) return fail(keyring.openStatus());
  const auto attributes = makeAttributes({{"service", QBYParentAppID}, {"account", identifier}});
  auto [item, found] = keyring.first(kApplicationDataSchema, attributes.get(), true);
  if (!found.isOk()) return fail(found);
  auto [secret, read] = keyring.secretOf(item.get());
  if (!read.isOk()) return fail(read);
  return Data(secret->begin(), secret->end());
}

bool QBYPasswordManager::saveApplicationData(const Data& data, std::string_view identifier,
                                             const std::optional<std::string>& label) {
  if (!isUsableArgument(identifier)) return false;
  const auto fail = [&](const Status& status) {
    log("Error saving application data %@: %d", identifier, status.code);
    return false;
  };
  Keyring keyring;
  if (!keyring) return fail(keyring.openStatus());
  const auto attributes = makeAttributes({{"service", QBYParentAppID}, {"account", identifier}});
  const auto secret = makeSecret(
      std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), kDataContentType);
  const bool hasLabel = label && !label->empty() && isAttributeText(*label);

  auto [existing, searched] = keyring.search(kApplicationDataSchema, attributes.get(), true, false);
  if (!searched.isOk()) return fail(searched);
  if (existing.empty()) {
    const std::string itemLabel = hasLabel ? *label : std::string(identifier);
    const Status stored =
        keyring.store(kApplicationDataSchema, attributes.get(), itemLabel.c_str(), secret.get());
    return stored.isOk() ? true : fail(stored);
  }
  Status result = Status::ok();
  for (const auto& found : existing) {
    const Status updated = keyring.update(found.get(), secret.get(), nullptr, nullptr,
                                          hasLabel ? label->c_str() : nullptr);
    if (!updated.isOk() && result.isOk()) result = updated;
  }
  return result.isOk() ? true : fail(result);
}

bool QBYPasswordManager::deleteApplicationDataWithIdentifier(std::string_view identifier) {
  if (!isUsableArgument(identifier)) return false;
  Keyring keyring;
  Status status = keyring.openStatus();
  if (keyring) {
    const auto attributes = makeAttributes({{"service", QBYParentAppID}, {"account", identifier}});
    status = keyring.deleteAll(kApplicationDataSchema, attributes.get());
  }
  if (status.isOk() || status.kind == Status::Kind::NotFound) return true;
  log("Error deleting application data %@: %d", identifier, status.code);
  return false;
}

void QBYPasswordManager::setAccessListForItem(Dictionary& /*itemAttributes*/,
                                              const std::optional<std::string>& /*label*/) {
  // Nothing to attach: every program of the session reads an unlocked item alike.
}

}  // namespace qby
