#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "engine/QBYPrivateToken.h"
#include "platform/Paths.h"
#include "platform/Value.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

// Sets an environment variable for the life of the guard and restores the old state.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, const std::optional<std::string>& value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    if (value)
      setenv(name_.c_str(), value->c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_.c_str(), old_->c_str(), 1);
    else
      unsetenv(name_.c_str());
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

std::filesystem::path tokensFile() {
  return Paths::sharedContainer() / "Tokens.plist";
}

void writeTokens(const Dictionary& tokens) {
  const auto plist = Value(tokens).toPlist(Value::PlistFormat::XML);
  ASSERT_TRUE(plist);
  test::writeFile(tokensFile(), *plist);
}

class PrivateTokenTest : public testing::Test {
 protected:
  // Keys a developer's shell might carry must not leak into the expectations.
  ScopedEnv laPoste_{"PORVANE_TOKEN_API_LAPOSTE_FR", std::nullopt};
  ScopedEnv postNord_{"PORVANE_TOKEN_API2_POSTNORD_COM", std::nullopt};
  ScopedEnv usps_{"PORVANE_TOKEN_SECURE_SHIPPINGAPIS_COM", std::nullopt};
};

TEST_F(PrivateTokenTest, EnvironmentVariableNamesFollowTheHost) {
  EXPECT_EQ(QBYPrivateToken::environmentVariableForID(QBYPrivateToken::kLaPosteAPI),
            "PORVANE_TOKEN_API_LAPOSTE_FR");
  EXPECT_EQ(QBYPrivateToken::environmentVariableForID(QBYPrivateToken::kPostNordAPI),
            "PORVANE_TOKEN_API2_POSTNORD_COM");
  EXPECT_EQ(QBYPrivateToken::environmentVariableForID(QBYPrivateToken::kUSPSWebToolsAPI),
            "PORVANE_TOKEN_SECURE_SHIPPINGAPIS_COM");
  EXPECT_EQ(QBYPrivateToken::environmentVariableForID("a-b.ü"), "PORVANE_TOKEN_A_B___");
}

TEST_F(PrivateTokenTest, UnknownIdentifiersAnswerNothingEvenWhenConfigured) {
  ScopedEnv evil("PORVANE_TOKEN_EVIL_EXAMPLE_COM", "stolen");
  ScopedEnv home("PORVANE_TOKEN_HOME", "x");
  writeTokens({{"evil.example.com", "stolen"}, {"api.laposte.fr.evil.com", "stolen"}});

  EXPECT_EQ(QBYPrivateToken::tokenForID("evil.example.com"), std::nullopt);
  EXPECT_EQ(QBYPrivateToken::tokenForID("api.laposte.fr.evil.com"), std::nullopt);
  EXPECT_EQ(QBYPrivateToken::tokenForID("API.LAPOSTE.FR"), std::nullopt);
  EXPECT_EQ(QBYPrivateToken::tokenForID(""), std::nullopt);
  EXPECT_EQ(QBYPrivateToken::tokenForID(std::nullopt), std::nullopt);
}

TEST_F(PrivateTokenTest, KnownIdentifierWithoutConfigurationAnswersNothing) {
  EXPECT_EQ(QBYPrivateToken::tokenForID(QBYPrivateToken::kLaPosteAPI), std::nullopt);
  writeTokens({{QBYPrivateToken::kPostNordAPI, "pn-key"}});
  EXPECT_EQ(QBYPrivateToken::tokenForID(QBYPrivateToken::kLaPosteAPI), std::nullopt);
}

TEST_F(PrivateTokenTest, FileSuppliesKeysAndTheEnvironmentWins) {
  writeTokens({{QBYPrivateToken::kLaPosteAPI, "file-laposte"},
               {QBYPrivateToken::kPostNordAPI, "file-postnord"},
               {QBYPrivateToken::kUSPSWebToolsAPI, "file-usps"}});
  EXPECT_EQ(QBYPrivateToken::tokenForID(QBYPrivateToken::kLaPosteAPI), "file-laposte");
  EXPECT_EQ(QBYPrivateToken::tokenForID(QBYPrivateToken::kPostNordAPI), "file-postnord");
  EXPECT_EQ(QBYPrivateToken::tokenForID(QBYPrivateToken::kUSPSWebToolsAPI), "file-usps");

  ScopedEnv env("PORVANE_TOKEN_API_LAPOSTE_FR", "env-laposte");
  EXPECT_EQ(QBYPrivateToken::tokenForID(QBYPrivateToken::kLaPosteAPI), "env-laposte");
  EXPECT_EQ(QBYPrivateToken::tokenForID(QBYPrivateToken::kPostNordAPI), "file-postnord");

  // An empty variable is no key: the file still answers.
  ScopedEnv empty("PORVANE_TOKEN_API2_POSTNORD_COM", "");
  EXPECT_EQ(QBYPrivateToken::tokenForID(QBYPrivateToken::kPostNordAPI), "file-postnord");
}

TEST_F(PrivateTokenTest, ChangedFileAppliesAtOnce) {
  writeTokens({{QBYPrivateToken::kLaPosteAPI, "old"}});
  EXPECT_EQ(QBYPrivateToken::tokenForID(QBYPrivateToken::kLaPosteAPI), "old");
  writeTokens({{QBYPrivateToken::kLaPosteAPI, "new"}});
  EXPECT_EQ(QBYPrivateToken::tokenForID(QBYPrivateToken::kLaPosteAPI), "new");
}

TEST_F(PrivateTokenTest, UnusableEntriesAnswerNothing) {
  writeTokens({{QBYPrivateToken::kLaPosteAPI, 42},
               {QBYPrivateToken::kPostNordAPI, ""},
               {QBYPrivateToken::kUSPSWebToolsAPI, Dictionary{{"key", "nested"}}}});
  EXPECT_EQ(QBYPrivateToken::tokenForID(QBYPrivateToken::kLaPosteAPI), std::nullopt);
  EXPECT_EQ(QBYPrivateToken::tokenForID(QBYPrivateToken::kPostNordAPI), std::nullopt);
  EXPECT_EQ(QBYPrivateToken::tokenForID(QBYPrivateToken::kUSPSWebToolsAPI), std::nullopt);

  // A plist that is not a dictionary.
  const auto array = Value(Array{"file-key"}).toPlist(Value::PlistFormat::Binary);
  ASSERT_TRUE(array);
  test::writeFile(tokensFile(), *array);
  EXPECT_EQ(QBYPrivateToken::tokenForID(QBYPrivateToken::kLaPosteAPI), std::nullopt);
}

TEST_F(PrivateTokenTest, KeysNeverReachTheLog) {
  const std::string secret = "s3cr3t-k3y-value";
  test::LogCapture log;

  // A damaged file is reported by its path only, though it holds the key.
  test::writeFile(tokensFile(),
                  "<plist><dict><key>api.laposte.fr</key><string>" + secret + "</string>");
  EXPECT_EQ(QBYPrivateToken::tokenForID(QBYPrivateToken::kLaPosteAPI), std::nullopt);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_NE(log.lines()[0].find(tokensFile().string()), std::string::npos);

  writeTokens({{QBYPrivateToken::kLaPosteAPI, secret}});
  EXPECT_EQ(QBYPrivateToken::tokenForID(QBYPrivateToken::kLaPosteAPI), secret);
  ScopedEnv env("PORVANE_TOKEN_API2_POSTNORD_COM", secret);
  EXPECT_EQ(QBYPrivateToken::tokenForID(QBYPrivateToken::kPostNordAPI), secret);

  for (const auto& line : log.lines()) EXPECT_EQ(line.find(secret), std::string::npos) << line;
}

}  // namespace
}  // namespace qby
