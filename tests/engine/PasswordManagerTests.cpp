// The password store against a real, disposable gnome-keyring. Run under
//   dbus-run-session -- scripts/with-keyring.sh <this program>
// Every test uses servers of its own, because all test processes of a run share the daemon.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <libsecret/secret.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/QBYPasswordManager.h"
#include "platform/GLibPtr.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

// scripts/with-keyring.sh unlocks the login keyring with an empty line.
constexpr const char* kKeyringPassword = "\n";
constexpr const char* kInternetSchemaName = "com.quillbay.Porvane.InternetPassword";
constexpr const char* kDataSchemaName = "com.quillbay.Porvane.ApplicationData";

GObjectPtr<SecretService> openService(std::string* problem) {
  GError* error = nullptr;
  auto service = GObjectPtr<SecretService>::adopt(secret_service_open_sync(
      SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_OPEN_SESSION, nullptr, &error));
  GErrorPtr owned(error);
  if (!service && problem) *problem = owned ? owned->message : "unknown error";
  return service;
}

GHashTablePtr attributes(const std::vector<std::pair<std::string, std::string>>& entries) {
  GHashTablePtr table(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
  for (const auto& [name, value] : entries)
    g_hash_table_insert(table.get(), g_strdup(name.c_str()), g_strdup(value.c_str()));
  return table;
}

bool isSecretServiceRunning(GDBusConnection* bus) {
  GError* error = nullptr;
  GVariantPtr reply(g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE("(b)"),
      G_DBUS_CALL_FLAGS_NO_AUTO_START, 10000, nullptr, &error));
  GErrorPtr owned(error);
  if (!reply) return false;
  gboolean running = FALSE;
  g_variant_get(reply.get(), "(b)", &running);
  return running;
}

// The default collection as D-Bus sees it, read fresh each time.
std::string defaultCollectionPath(GDBusConnection* bus) {
  GError* error = nullptr;
  GVariantPtr reply(g_dbus_connection_call_sync(
      bus, "org.freedesktop.secrets", "/org/freedesktop/secrets", "org.freedesktop.Secret.Service",
      "ReadAlias", g_variant_new("(s)", "default"), G_VARIANT_TYPE("(o)"),
      G_DBUS_CALL_FLAGS_NO_AUTO_START, 10000, nullptr, &error));
  GErrorPtr owned(error);
  if (!reply) return {};
  const char* path = nullptr;
  g_variant_get(reply.get(), "(&o)", &path);
  return path;
}

bool isCollectionLocked(GDBusConnection* bus, const std::string& path) {
  GError* error = nullptr;
  GVariantPtr reply(g_dbus_connection_call_sync(
      bus, "org.freedesktop.secrets", path.c_str(), "org.freedesktop.DBus.Properties", "Get",
      g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Locked"), G_VARIANT_TYPE("(v)"),
      G_DBUS_CALL_FLAGS_NO_AUTO_START, 10000, nullptr, &error));
  GErrorPtr owned(error);
  if (!reply) return true;
  GVariant* inner = nullptr;
  g_variant_get(reply.get(), "(v)", &inner);
  GVariantPtr value(inner);
  return g_variant_get_boolean(value.get());
}

// One call to the keyring daemon; records the error text when the call fails.
GVariantPtr callSecrets(GDBusConnection* bus, const std::string& path, const char* interface,
                        const char* method, GVariant* parameters, const GVariantType* replyType) {
  GError* error = nullptr;
  GVariantPtr reply(g_dbus_connection_call_sync(
      bus, "org.freedesktop.secrets", path.c_str(), interface, method, parameters, replyType,
      G_DBUS_CALL_FLAGS_NO_AUTO_START, 10000, nullptr, &error));
  GErrorPtr owned(error);
  if (owned) ADD_FAILURE() << method << " failed: " << owned->message;
  return reply;
}

// The harness's master password as a Secret Service secret of a plain session.
GVariant* masterPassword(GDBusConnection* bus) {
  auto session =
      callSecrets(bus, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "OpenSession",
                  g_variant_new("(sv)", "plain", g_variant_new_string("")), G_VARIANT_TYPE("(vo)"));
  if (!session) return nullptr;
  GVariant* output = nullptr;
  const char* sessionPath = nullptr;
  g_variant_get(session.get(), "(v&o)", &output, &sessionPath);
  GVariantPtr outputOwned(output);
  const std::string password = kKeyringPassword;
  return g_variant_new(
      "(o@ay@ays)", sessionPath, g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
      g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, password.data(), password.size(), 1),
      "text/plain");
}

// A collection of this test's own, made, unlocked and deleted through gnome-keyring's internal
// interface, which asks no one. Locking it leaves the default collection, which the other
// test processes of a parallel run use, alone; it is unlocked and deleted on every way out.
class LockableCollection {
 public:
  explicit LockableCollection(GDBusConnection* bus) : bus_(bus) {
    GVariant* secret = masterPassword(bus);
    if (!secret) return;
    GVariantBuilder properties;
    g_variant_builder_init(&properties, G_VARIANT_TYPE("a{sv}"));
    const std::string label = "Porvane test " + std::to_string(getpid());
    g_variant_builder_add(&properties, "{sv}", "org.freedesktop.Secret.Collection.Label",
                          g_variant_new_string(label.c_str()));
    auto reply = callSecrets(
        bus, "/org/freedesktop/secrets",
        "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface", "CreateWithMasterPassword",
        g_variant_new("(@a{sv}@(oayays))", g_variant_builder_end(&properties), secret),
        G_VARIANT_TYPE("(o)"));
    if (!reply) return;
    const char* path = nullptr;
    g_variant_get(reply.get(), "(&o)", &path);
    path_ = path;
  }
  ~LockableCollection() {
    if (path_.empty()) return;
    if (isLocked()) unlock();
    callSecrets(bus_, path_, "org.freedesktop.Secret.Collection", "Delete", nullptr,
                G_VARIANT_TYPE("(o)"));
  }
  LockableCollection(const LockableCollection&) = delete;
  LockableCollection& operator=(const LockableCollection&) = delete;

  const std::string& path() const { return path_; }
  bool isLocked() const { return isCollectionLocked(bus_, path_); }

  bool lock() {
    GVariantBuilder paths;
    g_variant_builder_init(&paths, G_VARIANT_TYPE("ao"));
    g_variant_builder_add(&paths, "o", path_.c_str());
    return callSecrets(bus_, "/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "Lock",
                       g_variant_new("(@ao)", g_variant_builder_end(&paths)),
                       G_VARIANT_TYPE("(aoo)")) != nullptr;
  }

  bool unlock() {
    GVariant* secret = masterPassword(bus_);
    if (!secret) return false;
    return callSecrets(bus_, "/org/freedesktop/secrets",
                       "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
                       "UnlockWithMasterPassword",
                       g_variant_new("(o@(oayays))", path_.c_str(), secret), nullptr) != nullptr;
  }

 private:
  GDBusConnection* bus_;
  std::string path_;
};

class PasswordManagerTest : public testing::Test {
 protected:
  void SetUp() override {
    // The tests lock and fill the keyring: never do that to the user's own.
    if (!std::getenv("PORVANE_TEST_KEYRING"))
      GTEST_FAIL() << "These tests need the disposable test keyring. Run them as: "
                      "dbus-run-session -- scripts/with-keyring.sh <test program>";
    GError* error = nullptr;
    bus_ = GObjectPtr<GDBusConnection>::adopt(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error));
    GErrorPtr busError(error);
    if (!bus_)
      GTEST_FAIL() << "No D-Bus session bus (" << (busError ? busError->message : "")
                   << "). Run the tests as: dbus-run-session -- scripts/with-keyring.sh "
                      "<test program>";
    // Asked without starting anything: a call to the secrets name would let the bus start
    // the system's keyring daemon in the real home.
    if (!isSecretServiceRunning(bus_.get()))
      GTEST_FAIL() << "No Secret Service is running on this bus. Run the tests as: "
                      "dbus-run-session -- scripts/with-keyring.sh <test program>";
    std::string problem;
    service_ = openService(&problem);
    if (!service_) GTEST_FAIL() << "The Secret Service does not answer: " << problem;
    const auto collection = defaultCollectionPath(bus_.get());
    ASSERT_FALSE(collection.empty()) << "The test keyring has no default collection";
    ASSERT_FALSE(isCollectionLocked(bus_.get(), collection))
        << "The test keyring is locked at the start of the test";
  }

  // A server name no other test process uses.
  std::string uniqueServer(const std::string& name) {
    static std::mt19937_64 random{std::random_device{}()};
    return name + "-" + std::to_string(getpid()) + "-" + std::to_string(random() % 1000000) +
           ".test.example";
  }

  // Items of the schema with these attributes, locked or not.
  int countItems(const char* schema, std::vector<std::pair<std::string, std::string>> entries) {
    entries.emplace_back("xdg:schema", schema);
    auto table = attributes(entries);
    GError* error = nullptr;
    GList* items = secret_service_search_sync(service_.get(), nullptr, table.get(),
                                              SECRET_SEARCH_ALL, nullptr, &error);
    GErrorPtr owned(error);
    EXPECT_FALSE(owned) << (owned ? owned->message : "");
    const int count = static_cast<int>(g_list_length(items));
    g_list_free_full(items, g_object_unref);
    return count;
  }

  int countPasswords(const std::string& server, const std::string& account) {
    return countItems(kInternetSchemaName, {{"server", server}, {"account", account}});
  }

  // Stores an item the way another writer might have, bypassing the manager's checks.
  void storeItem(const char* schema, std::vector<std::pair<std::string, std::string>> entries,
                 const std::string& bytes, const std::string& collection) {
    entries.emplace_back("xdg:schema", schema);
    auto table = attributes(entries);
    auto* copy = static_cast<gchar*>(g_malloc(bytes.size() + 1));
    if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
    SecretValue* value = secret_value_new_full(copy, static_cast<gssize>(bytes.size()),
                                               "application/octet-stream", g_free);
    GError* error = nullptr;
    const bool stored =
        secret_service_store_sync(service_.get(), nullptr, table.get(), collection.c_str(),
                                  "Porvane test item", value, nullptr, &error);
    secret_value_unref(value);
    GErrorPtr owned(error);
    ASSERT_TRUE(stored) << (owned ? owned->message : "");
  }

  void storeRaw(const std::string& server, const std::string& account, const std::string& bytes,
                const std::string& collection = SECRET_COLLECTION_DEFAULT) {
    storeItem(kInternetSchemaName,
              {{"server", server}, {"account", account}, {"accessibility", "when-unlocked"}}, bytes,
              collection);
  }

  std::optional<std::string> dataLabel(const std::string& identifier) {
    auto table = attributes(
        {{"xdg:schema", kDataSchemaName}, {"service", QBYParentAppID}, {"account", identifier}});
    GList* items = secret_service_search_sync(service_.get(), nullptr, table.get(),
                                              SECRET_SEARCH_NONE, nullptr, nullptr);
    std::optional<std::string> label;
    if (items) {
      GCharPtr text(secret_item_get_label(static_cast<SecretItem*>(items->data)));
      if (text) label = text.get();
    }
    g_list_free_full(items, g_object_unref);
    return label;
  }

  GObjectPtr<SecretService> service_;
  GObjectPtr<GDBusConnection> bus_;
};

TEST_F(PasswordManagerTest, SavedPasswordReadsBackAndIsRecognised) {
  const auto server = uniqueServer("roundtrip");
  const std::string account = "jörg@example.com";
  const std::string password = "pässwörd 🔑 with spaces";
  ASSERT_TRUE(QBYPasswordManager::setPassword(password, account, server));

  EXPECT_EQ(QBYPasswordManager::passwordForAccount(account, server, "default", "error"), password);
  EXPECT_TRUE(QBYPasswordManager::isPasswordSaved(password, account, server));
  EXPECT_FALSE(QBYPasswordManager::isPasswordSaved("other", account, server));
  EXPECT_FALSE(QBYPasswordManager::isPasswordSaved(std::nullopt, account, server));
  // Another account on the same server is a different item.
  EXPECT_EQ(QBYPasswordManager::passwordForAccount("someone else", server, "default", "error"),
            "default");
  EXPECT_EQ(QBYPasswordManager::accountOnServer(server), account);
}

TEST_F(PasswordManagerTest, SavingAgainUpdatesTheOneItem) {
  const auto server = uniqueServer("twice");
  ASSERT_TRUE(QBYPasswordManager::setPassword("first", "me", server));
  ASSERT_TRUE(QBYPasswordManager::setPassword("first", "me", server));
  EXPECT_EQ(countPasswords(server, "me"), 1);

  ASSERT_TRUE(QBYPasswordManager::setPassword("second", "me", server));
  EXPECT_EQ(countPasswords(server, "me"), 1);
  EXPECT_EQ(QBYPasswordManager::passwordForAccount("me", server, std::nullopt, std::nullopt),
            "second");

  // A change of intended use updates the same item too.
  ASSERT_TRUE(QBYPasswordManager::setPassword("third", "me", server, true));
  EXPECT_EQ(countPasswords(server, "me"), 1);
  EXPECT_EQ(QBYPasswordManager::passwordForAccount("me", server, std::nullopt, std::nullopt),
            "third");
}

TEST_F(PasswordManagerTest, MissingPasswordAnswersTheDefaultAndLogsNotFound) {
  const auto server = uniqueServer("missing");
  test::LogCapture log;
  EXPECT_EQ(QBYPasswordManager::passwordForAccount("nobody", server, "default", "error"),
            "default");
  EXPECT_EQ(QBYPasswordManager::passwordForAccount("nobody", server, std::nullopt, "error"),
            std::nullopt);
  const auto lines = log.linesContaining("Error finding password for nobody on " + server);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Error finding password for nobody on " + server + ": " +
                          std::to_string(QBYPasswordManager::kStatusNotFound));
}

TEST_F(PasswordManagerTest, LockedKeyringIsAnErrorNotAMissingItem) {
  const auto server = uniqueServer("locked");
  LockableCollection collection(bus_.get());
  ASSERT_FALSE(collection.path().empty());
  storeRaw(server, "me", "secret", collection.path());
  storeItem(kDataSchemaName, {{"service", QBYParentAppID}, {"account", server}},
            std::string("\x01\x00\x03", 3), collection.path());
  ASSERT_TRUE(collection.lock());
  ASSERT_TRUE(collection.isLocked());
  const std::string locked = std::to_string(QBYPasswordManager::kStatusLocked);
  test::LogCapture log;

  EXPECT_EQ(QBYPasswordManager::passwordForAccount("me", server, "default", "error"), "error");
  EXPECT_EQ(
      log.linesContaining("Error finding password for me on " + server + ": " + locked).size(), 1u);
  EXPECT_FALSE(QBYPasswordManager::isPasswordSaved("secret", "me", server));
  EXPECT_EQ(QBYPasswordManager::accountOnServer(server), std::nullopt);

  EXPECT_EQ(QBYPasswordManager::applicationDataWithIdentifier(server), std::nullopt);
  EXPECT_EQ(log.linesContaining("Error finding application data " + server + ": " + locked).size(),
            1u);

  // Writes and deletions fail rather than ask the user to unlock.
  EXPECT_FALSE(QBYPasswordManager::setPassword("changed", "me", server));
  EXPECT_EQ(log.linesContaining("Error saving password for me on " + server + ": " + locked).size(),
            1u);
  EXPECT_FALSE(QBYPasswordManager::saveApplicationData({9}, server, std::nullopt));
  EXPECT_FALSE(QBYPasswordManager::deletePasswordForAccount("me", server));
  EXPECT_EQ(
      log.linesContaining("Error deleting password for me on " + server + ": " + locked).size(),
      1u);
  EXPECT_FALSE(QBYPasswordManager::deleteApplicationDataWithIdentifier(server));
  EXPECT_EQ(log.linesContaining("Error deleting application data " + server + ": " + locked).size(),
            1u);
  EXPECT_TRUE(collection.isLocked()) << "an operation unlocked the collection";

  // Nothing was lost or changed while locked.
  ASSERT_TRUE(collection.unlock());
  EXPECT_EQ(QBYPasswordManager::passwordForAccount("me", server, "default", "error"), "secret");
  EXPECT_EQ(QBYPasswordManager::applicationDataWithIdentifier(server), (Data{1, 0, 3}));
  EXPECT_EQ(QBYPasswordManager::accountOnServer(server), "me");
}

TEST_F(PasswordManagerTest, EmptyOrUnusableArgumentsAreRefused) {
  const auto server = uniqueServer("empty");
  ASSERT_TRUE(QBYPasswordManager::setPassword("secret", "me", server));

  EXPECT_EQ(QBYPasswordManager::passwordForAccount("", server, "default", "error"), "error");
  EXPECT_EQ(QBYPasswordManager::passwordForAccount("me", "", "default", "error"), "error");
  EXPECT_EQ(QBYPasswordManager::accountOnServer(""), std::nullopt);
  EXPECT_FALSE(QBYPasswordManager::setPassword(std::nullopt, "me", server));
  EXPECT_FALSE(QBYPasswordManager::setPassword("x", "", server));
  EXPECT_FALSE(QBYPasswordManager::setPassword("x", "me", ""));
  EXPECT_FALSE(QBYPasswordManager::deletePasswordForAccount("", server));
  EXPECT_FALSE(QBYPasswordManager::deletePasswordForAccount("me", ""));
  EXPECT_EQ(QBYPasswordManager::applicationDataWithIdentifier(""), std::nullopt);
  EXPECT_FALSE(QBYPasswordManager::saveApplicationData({1}, "", std::nullopt));
  EXPECT_FALSE(QBYPasswordManager::deleteApplicationDataWithIdentifier(""));

  // Texts D-Bus cannot carry answer like empty ones instead of tripping libsecret.
  const std::string broken = "me\xff";
  const std::string withNul("me\0you", 6);
  EXPECT_EQ(QBYPasswordManager::passwordForAccount(broken, server, "default", "error"), "error");
  EXPECT_EQ(QBYPasswordManager::passwordForAccount(withNul, server, "default", "error"), "error");
  EXPECT_FALSE(QBYPasswordManager::setPassword("x", broken, server));
  EXPECT_FALSE(QBYPasswordManager::deletePasswordForAccount(withNul, server));

  // The stored password was never touched by any of this.
  EXPECT_EQ(QBYPasswordManager::passwordForAccount("me", server, "default", "error"), "secret");
  EXPECT_EQ(countPasswords(server, "me"), 1);
}

TEST_F(PasswordManagerTest, DeletingRemovesTheItemAndMissingItemsCountAsDeleted) {
  const auto server = uniqueServer("delete");
  ASSERT_TRUE(QBYPasswordManager::setPassword("secret", "me", server));
  ASSERT_TRUE(QBYPasswordManager::setPassword("other", "you", server));
  test::LogCapture log;

  EXPECT_TRUE(QBYPasswordManager::deletePasswordForAccount("me", server));
  EXPECT_EQ(countPasswords(server, "me"), 0);
  EXPECT_EQ(QBYPasswordManager::passwordForAccount("me", server, "default", "error"), "default");
  EXPECT_EQ(QBYPasswordManager::passwordForAccount("you", server, "default", "error"), "other");

  EXPECT_TRUE(QBYPasswordManager::deletePasswordForAccount("me", server));
  EXPECT_TRUE(QBYPasswordManager::deletePasswordForAccount("ghost", uniqueServer("nowhere")));
  EXPECT_TRUE(log.linesContaining("Error deleting").empty());
}

TEST_F(PasswordManagerTest, AccountOnServerDropsSyncCodesAndAnswersTheRealAccount) {
  const auto server = uniqueServer("codes");
  storeRaw(server, "me@example.com [porvane]", "code-1");
  storeRaw(server, "me@example.com [code]", "code-2");
  ASSERT_TRUE(QBYPasswordManager::setPassword("secret", "me@example.com", server));

  EXPECT_EQ(QBYPasswordManager::accountOnServer(server), "me@example.com");
  EXPECT_EQ(QBYPasswordManager::passwordForAccount("me@example.com", server, "default", "error"),
            "secret");
}

TEST_F(PasswordManagerTest, AccountOnServerDeletesEveryStaleCodeItBeforeAnsweringNil) {
  const auto server = uniqueServer("only-codes");
  storeRaw(server, "me@example.com [porvane]", "code-1");
  storeRaw(server, "you@example.com [code]", "code-2");

  EXPECT_EQ(QBYPasswordManager::accountOnServer(server), std::nullopt);
  EXPECT_EQ(countPasswords(server, "me@example.com [porvane]"), 0);
  EXPECT_EQ(countPasswords(server, "you@example.com [code]"), 0);
}

TEST_F(PasswordManagerTest, AccountOnServerLeavesTheBackgroundLoginCodeAlone) {
  const auto server = uniqueServer("background");
  const std::string code = std::string("me@example.com") + QBYSyncCodeSuffix;
  ASSERT_TRUE(QBYPasswordManager::setPassword("login-code", code, server, true));

  EXPECT_EQ(QBYPasswordManager::accountOnServer(server), std::nullopt);
  EXPECT_EQ(QBYPasswordManager::passwordForAccount(code, server, "default", "error"), "login-code");

  ASSERT_TRUE(QBYPasswordManager::setPassword("secret", "me@example.com", server));
  EXPECT_EQ(QBYPasswordManager::accountOnServer(server), "me@example.com");
  EXPECT_EQ(QBYPasswordManager::passwordForAccount(code, server, "default", "error"), "login-code");
}

TEST_F(PasswordManagerTest, AccountOnServerStopsAtAnItemWithoutAccount) {
  const auto server = uniqueServer("no-account");
  storeRaw(server, "", "orphan");
  // Its deletion is refused (no account), so the search ends there instead of looping.
  EXPECT_EQ(QBYPasswordManager::accountOnServer(server), std::nullopt);
  EXPECT_EQ(countPasswords(server, ""), 1);
}

TEST_F(PasswordManagerTest, PasswordThatIsNotTextAnswersTheErrorValue) {
  const auto server = uniqueServer("binary");
  storeRaw(server, "me", std::string("\xff\xfe\x00\x41", 4));
  test::LogCapture log;

  EXPECT_EQ(QBYPasswordManager::passwordForAccount("me", server, "default", "error"), "error");
  EXPECT_EQ(log.linesContaining("Error finding password for me on " + server + ": " +
                                std::to_string(QBYPasswordManager::kStatusNotText))
                .size(),
            1u);
  EXPECT_FALSE(
      QBYPasswordManager::isPasswordSaved(std::string("\xff\xfe\x00\x41", 4), "me", server));
  // Such a password is not stored either, and the old item stays as it was.
  EXPECT_FALSE(QBYPasswordManager::setPassword("\xc3\x28", "me", server));
  EXPECT_EQ(countPasswords(server, "me"), 1);
}

TEST_F(PasswordManagerTest, ApplicationDataKeepsEveryByteAndItsLabel) {
  const auto identifier = uniqueServer("data") + ".session";
  Data bytes;
  for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<std::uint8_t>(i));
  bytes.insert(bytes.end(), {0, 0, 0, 'x', 0});

  ASSERT_TRUE(QBYPasswordManager::saveApplicationData(bytes, identifier, "Porvane Session Data"));
  EXPECT_EQ(QBYPasswordManager::applicationDataWithIdentifier(identifier), bytes);
  EXPECT_EQ(dataLabel(identifier), "Porvane Session Data");

  // Saving again replaces the bytes of the one item; no label keeps the old one.
  const Data replacement = {0, 'a', 0};
  ASSERT_TRUE(QBYPasswordManager::saveApplicationData(replacement, identifier, std::nullopt));
  EXPECT_EQ(QBYPasswordManager::applicationDataWithIdentifier(identifier), replacement);
  EXPECT_EQ(countItems(kDataSchemaName, {{"account", identifier}}), 1);
  EXPECT_EQ(dataLabel(identifier), "Porvane Session Data");

  // Empty data is data too.
  ASSERT_TRUE(QBYPasswordManager::saveApplicationData({}, identifier, std::nullopt));
  EXPECT_EQ(QBYPasswordManager::applicationDataWithIdentifier(identifier), Data{});

  // Without a label the identifier names a new item.
  const auto unlabelled = uniqueServer("unlabelled");
  ASSERT_TRUE(QBYPasswordManager::saveApplicationData({1}, unlabelled, std::nullopt));
  EXPECT_EQ(dataLabel(unlabelled), unlabelled);
}

TEST_F(PasswordManagerTest, MissingApplicationDataIsSilentAndDeletionSucceeds) {
  const auto identifier = uniqueServer("data-missing");
  test::LogCapture log;
  EXPECT_EQ(QBYPasswordManager::applicationDataWithIdentifier(identifier), std::nullopt);
  EXPECT_TRUE(QBYPasswordManager::deleteApplicationDataWithIdentifier(identifier));
  EXPECT_TRUE(log.lines().empty());

  ASSERT_TRUE(QBYPasswordManager::saveApplicationData({7, 0, 7}, identifier, "label"));
  EXPECT_TRUE(QBYPasswordManager::deleteApplicationDataWithIdentifier(identifier));
  EXPECT_EQ(QBYPasswordManager::applicationDataWithIdentifier(identifier), std::nullopt);
  EXPECT_EQ(countItems(kDataSchemaName, {{"account", identifier}}), 0);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(PasswordManagerTest, PasswordsAndApplicationDataDoNotMix) {
  const auto name = uniqueServer("kinds");
  ASSERT_TRUE(QBYPasswordManager::setPassword("secret", QBYParentAppID, name));
  EXPECT_EQ(QBYPasswordManager::applicationDataWithIdentifier(name), std::nullopt);
  ASSERT_TRUE(QBYPasswordManager::saveApplicationData({1}, name, std::nullopt));
  EXPECT_TRUE(QBYPasswordManager::deleteApplicationDataWithIdentifier(name));
  EXPECT_EQ(QBYPasswordManager::passwordForAccount(QBYParentAppID, name, "default", "error"),
            "secret");
}

}  // namespace
}  // namespace qby
