// Signed service updates: digests, the signature check and its certificate rules, and the
// offer, download and install protocol. Fixtures are signed at run time with the test key in
// tests/data/signing; the test certificate stands in for the shipped one.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "engine/QBYServiceUpdate.h"
#include "engine/QBYSignedString.h"
#include "platform/Date.h"
#include "platform/GLibPtr.h"
#include "platform/MainQueue.h"
#include "platform/Paths.h"
#include "platform/QBYNotificationCenter.h"
#include "platform/QBYUserDefaults.h"
#include "support/FixtureServer.h"
#include "support/TestSupport.h"
#include "util/OpenSSLPtr.h"
#include "util/QBYDigest.h"

namespace qby {
namespace {

namespace fs = std::filesystem;

constexpr double kGenerous = 60;

const fs::path kSigningDir = fs::path(PORVANE_TEST_DATA_DIR) / "signing";
const fs::path kShippedCertificate = fs::path(PORVANE_TEST_DATA_DIR).parent_path().parent_path() /
                                     "resources" / "Certificate-2018.cer";

// The Base64 signature (SHA-1, PKCS #1 v1.5) of the text with a PEM private key.
std::string sign(const std::string& text, const fs::path& keyFile = kSigningDir / "test-key.pem") {
  const BIOPtr bio(BIO_new_file(keyFile.c_str(), "r"));
  if (!bio) return {};
  const EVPPKeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  const EVPMDContextPtr context(EVP_MD_CTX_new());
  if (!key || !context ||
      EVP_DigestSignInit(context.get(), nullptr, EVP_sha1(), nullptr, key.get()) != 1)
    return {};
  size_t length = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  if (EVP_DigestSign(context.get(), nullptr, &length, bytes, text.size()) != 1) return {};
  std::string signature(length, '\0');
  if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                     bytes, text.size()) != 1)
    return {};
  std::string base64(4 * ((length + 2) / 3) + 1, '\0');
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()),
                      reinterpret_cast<const unsigned char*>(signature.data()), length);
  base64.resize(written);
  return base64;
}

std::string readAll(const fs::path& file) {
  return Paths::readFile(file).value_or("<unreadable>");
}

Data readData(const fs::path& file) {
  const auto bytes = readAll(file);
  return Data(bytes.begin(), bytes.end());
}

Dictionary offer(std::int64_t version, const std::optional<std::string>& text,
                 const std::optional<std::string>& signature, bool beta = false) {
  Dictionary result{{"version", Value(std::to_string(version))},
                    {"beta", Value(beta ? "true" : "false")}};
  if (signature) result.set("signature", Value(*signature));
  if (text) result.set("text", Value(*text));
  return result;
}

class RecordingDelegate : public QBYServiceUpdateDelegate {
 public:
  void serviceUpdateInstalled(QBYServiceUpdate&) override { record(installed); }
  void serviceUpdateFailed(QBYServiceUpdate&) override { record(failed); }
  int finished() const { return installed + failed; }

  std::atomic<int> installed{0};
  std::atomic<int> failed{0};
  std::atomic<bool> calledOnMainThread{false};

 private:
  void record(std::atomic<int>& counter) {
    if (MainQueue::isMainThread()) calledOnMainThread = true;
    counter++;
  }
};

// Counts QBYServiceUpdateNotification posts of one sender.
class NotificationCounter {
 public:
  explicit NotificationCounter(const void* sender)
      : token_(QBYNotificationCenter::defaultCenter().addObserver(
            QBYServiceUpdateNotification, sender, [this](const Notification&) {
              if (MainQueue::isMainThread()) count++;
            })) {}
  int count = 0;

 private:
  ObserverToken token_;
};

class ServiceUpdateTest : public testing::Test {
 protected:
  void SetUp() override {
    resources_ = test::makeTempDir("resources");
    fs::copy_file(kSigningDir / "test-cert.cer", resources_ / "Certificate-2018.cer");
    setenv("PORVANE_RESOURCE_DIR", resources_.c_str(), 1);
    // One process may run several cases; each starts with nothing installed.
    auto& defaults = QBYUserDefaults::sharedDefaults();
    defaults.removeObjectForKey(QBYServiceUpdateVersionKey);
    defaults.removeObjectForKey(QBYServiceUpdateBetaKey);
    defaults.removeObjectForKey(QBYServiceUpdateDateKey);
    fs::remove(servicesFile());
  }
  void TearDown() override {
    unsetenv("PORVANE_RESOURCE_DIR");
    MainQueue::drain();
  }

  static fs::path servicesFile() { return Paths::sharedCaches() / "Services.js"; }

  // Stores an installed version and its file, as a finished install leaves them.
  void install(std::int64_t version, const std::string& text, bool beta = false) {
    auto& defaults = QBYUserDefaults::sharedDefaults();
    defaults.setInteger(version, QBYServiceUpdateVersionKey);
    defaults.setBool(beta, QBYServiceUpdateBetaKey);
    test::writeFile(servicesFile(), text);
  }

  static bool waitFor(RecordingDelegate& delegate, int count = 1) {
    return MainQueue::runUntil([&] { return delegate.finished() >= count; }, kGenerous);
  }

  fs::path resources_;
  test::LogCapture log_;
};

// --- Digests ---

TEST(DigestTest, SHA256OfKnownTexts) {
  EXPECT_EQ(QBYSHA256Hash(std::string_view("")),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(QBYSHA256Hash(std::string_view("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // UTF-8 bytes, not characters: "é" is two bytes.
  EXPECT_EQ(QBYSHA256Hash(std::string_view("\xC3\xA9")),
            "4a99557e4033c3539de2eb65472017cad5f9557f7a0625a09f1c3f6e2ba69c4c");
  EXPECT_EQ(QBYSHA256Hash(std::optional<std::string>()), std::nullopt);
}

TEST(DigestTest, VerifyComparesDigests) {
  const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  EXPECT_TRUE(QBYVerifySHA256Hash(std::string("abc"), abc));
  std::string upper = abc;
  for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(QBYVerifySHA256Hash(std::string("abc"), upper));
  EXPECT_FALSE(QBYVerifySHA256Hash(std::string("abd"), abc));
  EXPECT_FALSE(QBYVerifySHA256Hash(std::string("abc"), abc.substr(0, 63)));
  EXPECT_FALSE(QBYVerifySHA256Hash(std::string("abc"), ""));
  EXPECT_FALSE(QBYVerifySHA256Hash(std::nullopt, abc));
}

// --- Base64 ---

TEST(Base64Test, SkipsCharactersOutsideTheAlphabet) {
  const auto decoded = QBYSignedString::decodeBase64("SGVs\r\nbG8s IHdv*cmxk!\n");
  ASSERT_TRUE(decoded);
  EXPECT_EQ(std::string(decoded->begin(), decoded->end()), "Hello, world");
}

TEST(Base64Test, PaddingAndShortEnds) {
  auto text = [](std::string_view base64) -> std::optional<std::string> {
    const auto decoded = QBYSignedString::decodeBase64(base64);
    if (!decoded) return std::nullopt;
    return std::string(decoded->begin(), decoded->end());
  };
  EXPECT_EQ(text("QQ=="), "A");
  EXPECT_EQ(text("QUI="), "AB");
  EXPECT_EQ(text("QUI"), "AB");
  EXPECT_EQ(text("QUJD"), "ABC");
  EXPECT_EQ(text(""), "");
  EXPECT_EQ(text("\n\t=="), "");
  EXPECT_EQ(text("+/+/"), "\xFB\xFF\xBF");
  // Five characters: the last cannot make a byte, so the text was cut.
  EXPECT_EQ(text("QUJDR"), std::nullopt);
  EXPECT_EQ(text("Q"), std::nullopt);
}

// --- Signed strings ---

TEST_F(ServiceUpdateTest, SignatureOfTheTextVerifies) {
  const std::string text = "function updateDeliveries(list) { return list.length; }\n";
  auto signedString = QBYSignedString::signedStringWithString(text);
  EXPECT_FALSE(signedString.verified());
  EXPECT_TRUE(signedString.verifyWithSignature(sign(text), "Certificate-2018"));
  EXPECT_TRUE(signedString.verified());
  EXPECT_EQ(signedString.string(), text);

  // Signatures travel wrapped in lines and sometimes with stray characters.
  std::string wrapped = sign(text);
  for (std::size_t at = 64; at < wrapped.size(); at += 66) wrapped.insert(at, "\r\n");
  wrapped = " <" + wrapped + ">\n";
  EXPECT_TRUE(QBYSignedString::signedStringWithString(text).verifyWithSignature(
      wrapped, "Certificate-2018"));

  // Non-ASCII texts are signed as UTF-8.
  const std::string umlauts =
      "// Zustellung \xC3\xBC"
      "ber Nacht\n";
  EXPECT_TRUE(QBYSignedString::signedStringWithString(umlauts).verifyWithSignature(
      sign(umlauts), "Certificate-2018"));
}

TEST_F(ServiceUpdateTest, WrongSignaturesAreRefused) {
  const std::string text = "var services = {};\n";
  const std::string signature = sign(text);

  auto altered = QBYSignedString::signedStringWithString(text + " ");
  EXPECT_FALSE(altered.verifyWithSignature(signature, "Certificate-2018"));
  EXPECT_FALSE(altered.verified());

  auto check = [&](const std::string& candidate) {
    return QBYSignedString::signedStringWithString(text).verifyWithSignature(candidate,
                                                                             "Certificate-2018");
  };
  EXPECT_FALSE(check(""));
  EXPECT_FALSE(check("not a signature"));
  EXPECT_FALSE(check(signature.substr(0, signature.size() / 2)));
  EXPECT_FALSE(check(signature.substr(0, signature.size() - 5)));  // one character left over
  std::string flipped = signature;
  flipped[10] = flipped[10] == 'A' ? 'B' : 'A';
  EXPECT_FALSE(check(flipped));

  // A valid signature of another key: the shipped certificate's key did not sign it.
  fs::copy_file(kShippedCertificate, resources_ / "Shipped.cer");
  EXPECT_FALSE(
      QBYSignedString::signedStringWithString(text).verifyWithSignature(signature, "Shipped"));
}

TEST_F(ServiceUpdateTest, UnverifiedTextIsNotWritten) {
  const fs::path file = test::makeTempDir("out") / "Services.js";
  auto signedString = QBYSignedString::signedStringWithString("var x = 1;");
  QBYError error;
  EXPECT_FALSE(signedString.writeToFile(file, true, &error));
  EXPECT_EQ(error.domain, "com.quillbay.signedstring");
  EXPECT_EQ(error.code, 100);
  EXPECT_EQ(error.localizedDescription,
            "The file could not be written because the data has not been verified.");
  EXPECT_FALSE(fs::exists(file));

  // A text that failed its check stays unwritable.
  EXPECT_FALSE(signedString.verifyWithSignature(sign("var x = 2;"), "Certificate-2018"));
  EXPECT_FALSE(signedString.writeToFile(file, false, nullptr));
  EXPECT_FALSE(fs::exists(file));

  ASSERT_TRUE(signedString.verifyWithSignature(sign("var x = 1;"), "Certificate-2018"));
  EXPECT_TRUE(signedString.writeToFile(file, false, &error));
  EXPECT_EQ(readAll(file), "var x = 1;");
  // Into a folder that does not exist: an error with the cause, no crash.
  EXPECT_FALSE(signedString.writeToFile(file.parent_path() / "missing" / "x.js", true, &error));
  EXPECT_EQ(error.code, QBYSignedStringErrorWriteFailed);
}

TEST_F(ServiceUpdateTest, CertificatesThatFailTheirCheckAreRefused) {
  const std::string text = "var y = 2;";
  const std::string signature = sign(text);
  auto verifyWith = [&](const std::string& name) {
    return QBYSignedString::signedStringWithString(text).verifyWithSignature(signature, name);
  };

  // Same key as the test certificate, so only the certificate's own state can refuse it.
  fs::copy_file(kSigningDir / "expired-cert.cer", resources_ / "Expired.cer");
  EXPECT_FALSE(verifyWith("Expired"));
  EXPECT_EQ(log_.linesContaining("Certificate is invalid: 4").size(), 1u);

  fs::copy_file(kSigningDir / "broken-cert.cer", resources_ / "Broken.cer");
  EXPECT_FALSE(verifyWith("Broken"));
  EXPECT_EQ(log_.linesContaining("Certificate is invalid: 1").size(), 1u);

  test::writeFile(resources_ / "Garbage.cer", "-----BEGIN CERTIFICATE-----\nnope\n");
  EXPECT_FALSE(verifyWith("Garbage"));
  EXPECT_EQ(log_.linesContaining("Failed to create trust reference").size(), 1u);

  // A valid certificate followed by other bytes is not what it claims to be either.
  test::writeFile(resources_ / "Trailing.cer", readAll(kSigningDir / "test-cert.cer") + "x");
  EXPECT_FALSE(verifyWith("Trailing"));
  EXPECT_EQ(log_.linesContaining("Failed to create trust reference").size(), 2u);

  EXPECT_FALSE(verifyWith("Nowhere"));
  EXPECT_EQ(log_.linesContaining("Verification certificate not found: Nowhere").size(), 1u);
}

TEST_F(ServiceUpdateTest, CertificateValidityFollowsTheClock) {
  const Data certificate = readData(kSigningDir / "test-cert.cer");
  EXPECT_TRUE(QBYSignedString::createPublicKeyFromCertificate(certificate));
  {
    ClockOverride past(Date(0));
    EXPECT_FALSE(QBYSignedString::createPublicKeyFromCertificate(certificate));
    EXPECT_EQ(log_.linesContaining("Certificate is invalid: 3").size(), 1u);
  }
  {
    // The expired certificate was good in 2011.
    ClockOverride inside(Date(1300000000));
    EXPECT_TRUE(QBYSignedString::createPublicKeyFromCertificate(
        readData(kSigningDir / "expired-cert.cer")));
  }
  EXPECT_FALSE(QBYSignedString::createPublicKeyFromCertificate({}));
}

// The release tool's signatures must be the ones the programs accept.
TEST_F(ServiceUpdateTest, SigningToolOutputVerifies) {
  GCharPtr openssl(g_find_program_in_path("openssl"));
  if (!openssl) GTEST_SKIP() << "no openssl command";
  const std::string text = "var signedByTool = \"\xC3\xA4\";\n";
  const fs::path file = test::writeFile(test::makeTempDir("tool") / "Services.js", text);
  const std::string tool =
      (fs::path(PORVANE_TEST_DATA_DIR).parent_path().parent_path() / "tools" / "sign-services")
          .string();
  const std::string key = (kSigningDir / "test-key.pem").string();
  const char* argv[] = {"/bin/sh", tool.c_str(), key.c_str(), file.c_str(), nullptr};
  gchar* out = nullptr;
  gint status = 0;
  ASSERT_TRUE(g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_SEARCH_PATH,
                           nullptr, nullptr, &out, nullptr, &status, nullptr));
  GCharPtr output(out);
  ASSERT_TRUE(g_spawn_check_wait_status(status, nullptr));
  const std::string signature = output.get();
  EXPECT_EQ(signature, sign(text) + "\n");
  EXPECT_TRUE(QBYSignedString::signedStringWithString(text).verifyWithSignature(
      signature, "Certificate-2018"));
}

TEST_F(ServiceUpdateTest, ShippedCertificateIsUsable) {
  const auto key = QBYSignedString::createPublicKeyFromCertificate(readData(kShippedCertificate));
  ASSERT_TRUE(key);
  EXPECT_TRUE(EVP_PKEY_is_a(key.get(), "RSA"));
  EXPECT_GE(EVP_PKEY_get_bits(key.get()), 3072);
}

// --- Stored version ---

TEST_F(ServiceUpdateTest, StartsFromTheStoredVersion) {
  {
    QBYServiceUpdate update;
    EXPECT_EQ(update.version(), QBYServiceUpdateBundleVersion);
    EXPECT_FALSE(update.beta());
    EXPECT_FALSE(update.busy());
    EXPECT_EQ(update.versionForUpdateQuery(), 222);
    EXPECT_EQ(update.url(), servicesFile());
  }
  install(230, "var v = 230;", true);
  QBYServiceUpdate update;
  EXPECT_EQ(update.version(), 230);
  EXPECT_TRUE(update.beta());
  EXPECT_EQ(update.versionForUpdateQuery(), 230);
  EXPECT_EQ(QBYServiceUpdate::versionString(), "230 beta");
  QBYUserDefaults::sharedDefaults().setBool(false, QBYServiceUpdateBetaKey);
  EXPECT_EQ(QBYServiceUpdate::versionString(), "230");
}

TEST_F(ServiceUpdateTest, ManualUpdateAsksForTheShippedVersion) {
  install(230, "var v = 230;");
  QBYServiceUpdate update;
  update.setUpdated(Date(1700000000));
  EXPECT_EQ(update.updated(), Date(1700000000));

  update.manualUpdate();
  EXPECT_TRUE(update.redownload());
  EXPECT_EQ(update.versionForUpdateQuery(), 222);
  EXPECT_EQ(update.updated(), std::nullopt);
  EXPECT_EQ(update.version(), 230);

  // The next answer of the sync service ends the request for a fresh copy.
  update.handleUpdateOffer(offer(230, std::nullopt, std::nullopt));
  EXPECT_FALSE(update.redownload());
  EXPECT_EQ(update.versionForUpdateQuery(), 230);
  EXPECT_TRUE(update.updated());
}

TEST_F(ServiceUpdateTest, CheckBundleVersionRepairsTheStoredVersion) {
  // The shipped version with a file left over: the file goes.
  install(222, "var stale = 1;");
  {
    QBYServiceUpdate update;
    update.checkBundleVersion();
    EXPECT_FALSE(fs::exists(servicesFile()));
    EXPECT_EQ(update.version(), 222);
  }
  // A newer version whose file is missing: back to the shipped one, stored.
  QBYUserDefaults::sharedDefaults().setInteger(231, QBYServiceUpdateVersionKey);
  QBYUserDefaults::sharedDefaults().setBool(true, QBYServiceUpdateBetaKey);
  {
    QBYServiceUpdate update;
    NotificationCounter notifications(&update);
    update.checkBundleVersion();
    EXPECT_EQ(update.version(), 222);
    EXPECT_FALSE(update.beta());
    EXPECT_FALSE(update.busy());
    EXPECT_EQ(QBYUserDefaults::sharedDefaults().integerForKey(QBYServiceUpdateVersionKey), 222);
    EXPECT_FALSE(QBYUserDefaults::sharedDefaults().boolForKey(QBYServiceUpdateBetaKey));
    EXPECT_TRUE(MainQueue::runUntil([&] { return notifications.count == 1; }, kGenerous));
  }
  // A newer version with its file stays.
  install(231, "var fresh = 1;");
  QBYServiceUpdate update;
  update.checkBundleVersion();
  EXPECT_EQ(update.version(), 231);
  EXPECT_EQ(readAll(servicesFile()), "var fresh = 1;");
}

TEST_F(ServiceUpdateTest, ShouldReloadWhenAnotherProcessInstalledANewerVersion) {
  install(230, "var v = 230;");
  QBYServiceUpdate update;
  EXPECT_FALSE(update.shouldReload());

  // Another program writes the same defaults file through its own instance.
  QBYUserDefaults other(QBYUserDefaults::sharedDefaults().file());
  other.setInteger(231, QBYServiceUpdateVersionKey);
  other.setBool(true, QBYServiceUpdateBetaKey);

  EXPECT_TRUE(update.shouldReload());
  EXPECT_EQ(update.version(), 231);
  EXPECT_TRUE(update.beta());
  EXPECT_EQ(log_.linesContaining("Found new service update from another process").size(), 1u);
  EXPECT_FALSE(update.shouldReload());

  // An older stored version is no reason to reload.
  other.setInteger(225, QBYServiceUpdateVersionKey);
  EXPECT_FALSE(update.shouldReload());
  EXPECT_EQ(update.version(), 231);
}

TEST_F(ServiceUpdateTest, InstalledFileIsCheckedAgainstASignature) {
  QBYServiceUpdate update;
  EXPECT_FALSE(update.installedUpdateMatchesSignature(sign("x")));
  EXPECT_EQ(log_.linesContaining("Error verifying update " + servicesFile().string()).size(), 1u);

  install(230, "var v = 230;");
  EXPECT_TRUE(update.installedUpdateMatchesSignature(sign("var v = 230;")));
  EXPECT_EQ(log_.linesContaining("Installed service update verified").size(), 1u);
  EXPECT_FALSE(update.installedUpdateMatchesSignature(sign("var v = 231;")));
  EXPECT_EQ(log_.linesContaining("Installed service update could not be verified!").size(), 1u);

  // A byte-order mark is not part of the signed text.
  test::writeFile(servicesFile(), "\xEF\xBB\xBFvar v = 230;");
  EXPECT_TRUE(update.installedUpdateMatchesSignature(sign("var v = 230;")));
  test::writeFile(servicesFile(), "var v = \xFF;");
  EXPECT_FALSE(update.installedUpdateMatchesSignature(sign("var v = \xFF;")));
}

// --- Offers ---

TEST_F(ServiceUpdateTest, NewerOfferIsInstalled) {
  install(225, "var v = 225;");
  auto delegate = std::make_shared<RecordingDelegate>();
  QBYServiceUpdate update;
  update.setDelegate(delegate);
  NotificationCounter notifications(&update);

  const std::string text = "var v = 230;\n";
  update.handleUpdateOffer(offer(230, text, sign(text), true));
  EXPECT_EQ(log_.linesContaining("New service update available").size(), 1u);
  ASSERT_TRUE(waitFor(*delegate));
  EXPECT_EQ(delegate->installed, 1);
  EXPECT_FALSE(delegate->calledOnMainThread);
  EXPECT_FALSE(update.busy());
  EXPECT_EQ(readAll(servicesFile()), text);
  EXPECT_EQ(update.version(), 230);
  EXPECT_TRUE(update.beta());
  EXPECT_EQ(update.installVersion(), 230);
  EXPECT_EQ(update.installSignature(), sign(text));
  EXPECT_EQ(QBYServiceUpdate::versionString(), "230 beta");
  EXPECT_EQ(log_.linesContaining("Verifying service update with signature").size(), 1u);
  EXPECT_EQ(log_.linesContaining("Installed service update 230 (beta)").size(), 1u);
  EXPECT_TRUE(MainQueue::runUntil([&] { return notifications.count == 1; }, kGenerous));
}

TEST_F(ServiceUpdateTest, SameVersionWithMatchingSignatureChangesNothing) {
  const std::string text = "var v = 230;\n";
  install(230, text);
  const auto before = fs::last_write_time(servicesFile());
  auto delegate = std::make_shared<RecordingDelegate>();
  QBYServiceUpdate update;
  update.setDelegate(delegate);
  NotificationCounter notifications(&update);

  update.handleUpdateOffer(offer(230, text, sign(text)));
  EXPECT_TRUE(MainQueue::runUntil([&] { return notifications.count == 1; }, kGenerous));
  EXPECT_FALSE(update.busy());
  EXPECT_EQ(readAll(servicesFile()), text);
  EXPECT_EQ(fs::last_write_time(servicesFile()), before);
  EXPECT_EQ(update.version(), 230);
  EXPECT_EQ(log_.linesContaining("Verifying service update").size(), 0u);
  MainQueue::drain();
  EXPECT_EQ(delegate->finished(), 0);

  // Without a signature the offer is registered as it is, beta flag included.
  update.handleUpdateOffer(offer(230, std::nullopt, std::nullopt, true));
  EXPECT_TRUE(update.beta());
  EXPECT_TRUE(QBYUserDefaults::sharedDefaults().boolForKey(QBYServiceUpdateBetaKey));
  EXPECT_TRUE(MainQueue::runUntil([&] { return notifications.count == 2; }, kGenerous));
  EXPECT_EQ(fs::last_write_time(servicesFile()), before);
}

TEST_F(ServiceUpdateTest, SameVersionWithBadSignatureIsReinstalled) {
  const std::string text = "var v = 230;\n";
  install(230, "var v = 230; // changed on disk\n");
  auto delegate = std::make_shared<RecordingDelegate>();
  QBYServiceUpdate update;
  update.setDelegate(delegate);

  update.handleUpdateOffer(offer(230, text, sign(text)));
  EXPECT_EQ(
      log_.linesContaining("Existing service update is the same version, but signature is invalid")
          .size(),
      1u);
  ASSERT_TRUE(waitFor(*delegate));
  EXPECT_EQ(delegate->installed, 1);
  EXPECT_EQ(readAll(servicesFile()), text);
}

TEST_F(ServiceUpdateTest, OlderOfferIsIgnored) {
  install(231, "var v = 231;");
  auto delegate = std::make_shared<RecordingDelegate>();
  QBYServiceUpdate update;
  update.setDelegate(delegate);

  const std::string text = "var v = 230;";
  update.handleUpdateOffer(offer(230, text, sign(text)));
  EXPECT_EQ(log_.linesContaining("Existing service update is newer").size(), 1u);
  EXPECT_TRUE(update.updated());
  EXPECT_FALSE(update.busy());
  EXPECT_EQ(update.version(), 231);
  EXPECT_EQ(readAll(servicesFile()), "var v = 231;");
  // An offer without a readable version counts as the oldest there is.
  update.handleUpdateOffer(Dictionary{{"version", Value("soon")}, {"text", Value("x")}});
  EXPECT_EQ(log_.linesContaining("Existing service update is newer").size(), 2u);
  MainQueue::drain();
  EXPECT_EQ(delegate->finished(), 0);
}

TEST_F(ServiceUpdateTest, AlteredTextIsRefusedAndTheOldFileStays) {
  install(225, "var v = 225;");
  auto delegate = std::make_shared<RecordingDelegate>();
  QBYServiceUpdate update;
  update.setDelegate(delegate);
  NotificationCounter notifications(&update);

  const std::string text = "var v = 230;";
  update.handleUpdateOffer(offer(230, text + "alert('injected');", sign(text)));
  ASSERT_TRUE(waitFor(*delegate));
  EXPECT_EQ(delegate->failed, 1);
  EXPECT_EQ(log_.linesContaining("Update signature could not be verified!").size(), 1u);
  EXPECT_FALSE(update.busy());
  EXPECT_EQ(readAll(servicesFile()), "var v = 225;");
  EXPECT_EQ(update.version(), 225);
  EXPECT_EQ(QBYUserDefaults::sharedDefaults().integerForKey(QBYServiceUpdateVersionKey), 225);
  MainQueue::drain();
  EXPECT_EQ(notifications.count, 0);
}

TEST_F(ServiceUpdateTest, OfferWithoutSignatureOrTextFails) {
  install(225, "var v = 225;");
  auto delegate = std::make_shared<RecordingDelegate>();
  QBYServiceUpdate update;
  update.setDelegate(delegate);

  update.installUpdate(offer(230, "var v = 230;", std::nullopt));
  ASSERT_TRUE(waitFor(*delegate));
  update.installUpdate(offer(230, "var v = 230;", ""));
  ASSERT_TRUE(waitFor(*delegate, 2));
  update.processUpdateString(std::nullopt);
  ASSERT_TRUE(waitFor(*delegate, 3));
  EXPECT_EQ(delegate->failed, 3);
  EXPECT_EQ(log_.linesContaining("Unknown service update error").size(), 3u);
  EXPECT_EQ(readAll(servicesFile()), "var v = 225;");
  EXPECT_EQ(update.version(), 225);
}

TEST_F(ServiceUpdateTest, ResetDeletesTheFile) {
  install(230, "var v = 230;", true);
  QBYServiceUpdate update;
  NotificationCounter notifications(&update);
  update.reset();
  EXPECT_FALSE(fs::exists(servicesFile()));
  EXPECT_EQ(update.version(), 222);
  EXPECT_FALSE(update.beta());
  EXPECT_FALSE(update.busy());
  EXPECT_EQ(QBYServiceUpdate::versionString(), "222");
  EXPECT_TRUE(MainQueue::runUntil([&] { return notifications.count == 1; }, kGenerous));
  // Nothing to delete is no error.
  update.reset();
  EXPECT_EQ(log_.linesContaining("Error deleting service update").size(), 0u);
}

TEST_F(ServiceUpdateTest, GoneDelegateIsNotCalled) {
  QBYServiceUpdate update;
  {
    auto delegate = std::make_shared<RecordingDelegate>();
    update.setDelegate(delegate);
  }
  const std::string text = "var v = 230;";
  update.installUpdate(offer(230, text, sign(text)));
  ASSERT_TRUE(MainQueue::runUntil([&] { return !update.busy(); }, kGenerous));
  EXPECT_EQ(update.version(), 230);
}

// --- Downloads ---

// Serves the services files on 127.0.0.1 (the main context, so tests wait with
// MainQueue::runUntil); unknown paths answer 404 and "/hang" never answers.
class ServicesServer : public test::FixtureServer {
 public:
  ServicesServer() { hold("/hang"); }
  void serve(const std::string& path, const std::string& text) {
    route(path, {200, "text/javascript", text});
  }
};

Dictionary downloadOffer(std::int64_t version, const std::string& url,
                         const std::string& signature) {
  return Dictionary{{"version", Value(std::to_string(version))},
                    {"beta", Value("false")},
                    {"signature", Value(signature)},
                    {"url", Value(url)}};
}

TEST_F(ServiceUpdateTest, DownloadsAndInstallsTheOfferedFile) {
  ServicesServer server;
  const std::string text = "var downloaded = true;\n";
  server.serve("/services/Services-231.js", text);
  install(225, "var v = 225;");
  auto delegate = std::make_shared<RecordingDelegate>();
  QBYServiceUpdate update;
  update.setDelegate(delegate);

  const std::string url = server.url("/services/Services-231.js");
  update.handleUpdateOffer(downloadOffer(231, url, sign(text)));
  EXPECT_TRUE(update.busy());
  ASSERT_TRUE(waitFor(*delegate));
  EXPECT_EQ(delegate->installed, 1);
  EXPECT_FALSE(delegate->calledOnMainThread);
  EXPECT_EQ(log_.linesContaining("Downloading service update from " + url).size(), 1u);
  EXPECT_EQ(readAll(servicesFile()), text);
  EXPECT_EQ(update.version(), 231);
  EXPECT_EQ(QBYUserDefaults::sharedDefaults().integerForKey(QBYServiceUpdateVersionKey), 231);

  // The session is kept for the next download.
  const std::string next = "var downloaded = 2;\n";
  server.serve("/services/Services-232.js", next);
  update.handleUpdateOffer(downloadOffer(232, server.url("/services/Services-232.js"), sign(next)));
  ASSERT_TRUE(waitFor(*delegate, 2));
  EXPECT_EQ(delegate->installed, 2);
  EXPECT_EQ(readAll(servicesFile()), next);
}

TEST_F(ServiceUpdateTest, FailedDownloadsKeepTheOldFile) {
  ServicesServer server;
  install(225, "var v = 225;");
  auto delegate = std::make_shared<RecordingDelegate>();
  QBYServiceUpdate update;
  update.setDelegate(delegate);

  // Not found: the error page is no services file.
  update.handleUpdateOffer(downloadOffer(231, server.url("/missing.js"), sign("x")));
  ASSERT_TRUE(waitFor(*delegate, 1));
  EXPECT_EQ(log_.linesContaining("Error downloading service update: ").size(), 1u);
  EXPECT_EQ(log_.linesContaining("HTTP status 404").size(), 1u);

  // Connection refused: a port bound but not listening.
  auto socket = GObjectPtr<GSocket>::adopt(
      g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, nullptr));
  ASSERT_TRUE(socket);
  auto loopback =
      GObjectPtr<GInetAddress>::adopt(g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4));
  auto address = GObjectPtr<GSocketAddress>::adopt(g_inet_socket_address_new(loopback.get(), 0));
  ASSERT_TRUE(g_socket_bind(socket.get(), address.get(), FALSE, nullptr));
  auto bound = GObjectPtr<GSocketAddress>::adopt(g_socket_get_local_address(socket.get(), nullptr));
  const int port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(bound.get()));
  update.handleUpdateOffer(
      downloadOffer(231, "http://127.0.0.1:" + std::to_string(port) + "/Services.js", sign("x")));
  ASSERT_TRUE(waitFor(*delegate, 2));
  EXPECT_EQ(log_.linesContaining("Error downloading service update: ").size(), 2u);

  // No usable URL at all.
  update.handleUpdateOffer(downloadOffer(231, "file:///etc/passwd", sign("x")));
  ASSERT_TRUE(waitFor(*delegate, 3));
  update.handleUpdateOffer(Dictionary{{"version", Value("231")}, {"signature", Value(sign("x"))}});
  ASSERT_TRUE(waitFor(*delegate, 4));

  // A body that is not UTF-8 is no text.
  server.serve("/binary.js", std::string("\xFF\xFE\x00\x01", 4));
  update.handleUpdateOffer(downloadOffer(231, server.url("/binary.js"), sign("x")));
  ASSERT_TRUE(waitFor(*delegate, 5));

  EXPECT_EQ(delegate->failed, 5);
  EXPECT_EQ(delegate->installed, 0);
  EXPECT_EQ(log_.linesContaining("Unknown service update error").size(), 5u);
  EXPECT_FALSE(update.busy());
  EXPECT_EQ(readAll(servicesFile()), "var v = 225;");
  EXPECT_EQ(update.version(), 225);
}

TEST_F(ServiceUpdateTest, DestroyingCancelsAHangingDownload) {
  ServicesServer server;
  auto delegate = std::make_shared<RecordingDelegate>();
  {
    QBYServiceUpdate update;
    update.setDelegate(delegate);
    update.installUpdate(downloadOffer(231, server.url("/hang"), sign("x")));
    ASSERT_TRUE(MainQueue::runUntil([&] { return server.requests() == 1; }, kGenerous));
  }
  MainQueue::drain();
  EXPECT_EQ(delegate->finished(), 0);
  EXPECT_FALSE(fs::exists(servicesFile()));
}

}  // namespace
}  // namespace qby
