// The vendor service's protocol against both back ends: accounts, sign-in by password and by
// login code, the exchange of changes between two devices, isolation of accounts, hostile
// parameters, rate limits, quota, update offers, reports and the password reset.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>

#include "QBYSQLiteServerStore.h"
#include "ServerTestSupport.h"
#include "support/TestSupport.h"

namespace qby::server::test {
namespace {

constexpr Micros kSecond = 1'000'000;

struct Reply {
  unsigned status = 0;
  std::string body;
  std::vector<Element> elements;
  bool succeeded() const {
    auto s = firstNamed(elements, "success");
    return s && s->value() == "true";
  }
  bool refused() const {
    auto s = firstNamed(elements, "success");
    return s && s->value() == "false";
  }
  bool retry() const {
    auto s = firstNamed(elements, "success");
    return s && s->attributes.count("retry") && s->attributes.at("retry") == "true";
  }
  std::string message() const {
    auto m = firstNamed(elements, "message");
    return m ? m->value() : std::string();
  }
  std::string value(const std::string& name) const {
    auto e = firstNamed(elements, name);
    return e ? e->value() : std::string();
  }
  std::vector<Element> deliveries() const { return elementsNamed(elements, "delivery"); }
};

struct Device {
  std::string email, password, client, code;
  std::string updated = "0.000000";
};

using Fields = std::vector<std::pair<std::string, std::string>>;

class VendorServiceTest : public testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    std::string skip;
    store_ = makeStore(GetParam(), skip);
    if (!store_) GTEST_SKIP() << skip;
    store_->open();
    rebuild();
  }

  void rebuild() {
    service_ = std::make_unique<QBYVendorService>(
        config_, *store_, QBYPasswordHasher(QBYPasswordHasher::Strength::Minimum),
        [this](const std::string& line) { log_.push_back(line); }, [this] { return now_; });
  }

  Reply request(const std::string& method, const std::string& path, const std::string& body,
                const std::string& remote = "10.0.0.1", const std::string& query = "") {
    const ServerResponse response = service_->handle({method, path, query, body, remote});
    Reply reply{response.status, response.body, {}};
    if (response.contentType.find("xml") != std::string::npos) {
      auto parsed = parseReply(response.body);
      EXPECT_TRUE(parsed) << "not XML: " << response.body;
      if (parsed) reply.elements = *parsed;
    }
    return reply;
  }
  Reply sync(Fields fields, const std::string& remote = "10.0.0.1") {
    fields.push_back({"type", "linux"});
    fields.push_back({"version", "8.4"});
    return request("POST", "/sync/porvane/xml.php", form(fields), remote);
  }

  Reply registerAccount(const std::string& email, const std::string& password,
                        const std::string& remote = "10.0.0.1") {
    return sync({{"cmd", "register"},
                 {"email", email},
                 {"newpassword", password},
                 {"confirmpass", password},
                 {"name", "Tester"},
                 {"terms", "true"}},
                remote);
  }
  Device signUp(const std::string& email, const std::string& password = "correct horse") {
    const Reply reply = registerAccount(email, password);
    EXPECT_TRUE(reply.succeeded()) << reply.body;
    return Device{email, password, reply.value("client"), reply.value("code")};
  }
  // One exchange the way a device sends it: with its code when it has one, else the password.
  Reply exchange(Device& device, Fields command, bool withPassword = false) {
    Fields fields = std::move(command);
    if (device.code.empty() || withPassword) {
      fields.push_back({"email", device.email});
      fields.push_back({"client", device.client});
      fields.push_back({"password", device.password});
    } else {
      fields.push_back({"client", device.client});
      fields.push_back({"code", device.code});
    }
    fields.push_back({"updated", device.updated});
    Reply reply = sync(fields);
    // Like the client: a new identifier or code replaces the stored one, whatever the outcome.
    if (firstNamed(reply.elements, "client")) device.client = reply.value("client");
    if (firstNamed(reply.elements, "code")) device.code = reply.value("code");
    if (reply.succeeded()) {
      auto updated = firstNamed(reply.elements, "updated");
      if (updated && updated->attributes.count("skip")) device.updated = updated->value();
    }
    return reply;
  }
  static Fields add(const std::string& uuid, const std::string& name, Micros modified,
                    const std::string& no = "1Z999AA10123456784") {
    return {{"cmd", "add"}, {"modified", QBYVendorService::formatTime(modified)},
            {"uuid", uuid}, {"from", "ups"},
            {"name", name}, {"no", no},
            {"extra", ""},  {"date", ""}};
  }
  static Fields remove(const std::string& uuid, Micros modified) {
    return {
        {"cmd", "delete"}, {"modified", QBYVendorService::formatTime(modified)}, {"uuid", uuid}};
  }

  QBYServerConfig config_;
  std::unique_ptr<QBYServerStore> store_;
  std::unique_ptr<QBYVendorService> service_;
  std::vector<std::string> log_;
  Micros now_ = 1'800'000'000 * kSecond;
};

TEST_P(VendorServiceTest, RegistrationChecksItsFormAndRefusesASecondAccountForAnAddress) {
  struct Case {
    Fields fields;
    std::string message;
  };
  const std::vector<Case> refused = {
      {{{"email", "not-an-address"},
        {"newpassword", "long enough"},
        {"confirmpass", "long enough"},
        {"terms", "true"}},
       "valid e-mail"},
      {{{"email", "a@example.org"},
        {"newpassword", "long enough"},
        {"confirmpass", "long enouhg"},
        {"terms", "true"}},
       "do not match"},
      {{{"email", "a@example.org"},
        {"newpassword", "short"},
        {"confirmpass", "short"},
        {"terms", "true"}},
       "at least 8"},
      {{{"email", "a@example.org"},
        {"newpassword", "long enough"},
        {"confirmpass", "long enough"},
        {"terms", ""}},
       "terms"},
  };
  for (const Case& c : refused) {
    Fields fields = c.fields;
    fields.insert(fields.begin(), {"cmd", "register"});
    const Reply reply = sync(fields);
    EXPECT_TRUE(reply.refused()) << reply.body;
    EXPECT_FALSE(reply.retry());
    EXPECT_NE(reply.message().find(c.message), std::string::npos) << reply.message();
  }
  EXPECT_FALSE(store_->accountByEmail("a@example.org"));

  const Reply first = registerAccount("Someone@Example.org ", "long enough");
  ASSERT_TRUE(first.succeeded()) << first.body;
  EXPECT_EQ(first.value("client").size(), 32u);
  EXPECT_EQ(first.value("code").size(), 32u);
  // The address is one account whatever its case.
  const Reply again = registerAccount("someone@example.ORG", "another password");
  EXPECT_TRUE(again.refused());
  EXPECT_NE(again.message().find("already exists"), std::string::npos);
  ASSERT_TRUE(store_->accountByEmail("someone@example.org"));
}

TEST_P(VendorServiceTest, PasswordSignInRefusesWrongPasswordsAndUnknownAddressesAlike) {
  Device device = signUp("me@example.org");
  Device wrong{"me@example.org", "not my password", "", ""};
  Device unknown{"nobody@example.org", "correct horse", "", ""};
  const Reply a = exchange(wrong, {{"cmd", "get"}});
  const Reply b = exchange(unknown, {{"cmd", "get"}});
  EXPECT_TRUE(a.refused());
  EXPECT_TRUE(b.refused());
  EXPECT_FALSE(a.retry());
  EXPECT_EQ(a.message(), b.message());
  EXPECT_TRUE(a.elements.size() == 2 && !firstNamed(a.elements, "code"));

  Device second{"ME@example.org", "correct horse", "", ""};
  const Reply ok = exchange(second, {{"cmd", "get"}});
  ASSERT_TRUE(ok.succeeded()) << ok.body;
  // A second device gets a client identifier of its own.
  EXPECT_NE(second.client, device.client);
}

TEST_P(VendorServiceTest, LoginCodesWorkOnceAndExpire) {
  Device device = signUp("codes@example.org");
  const std::string firstCode = device.code;
  ASSERT_TRUE(exchange(device, {{"cmd", "get"}}).succeeded());
  EXPECT_NE(device.code, firstCode);

  // The used code again: refused with retry, so the client falls back to its password.
  Device replay = device;
  replay.code = firstCode;
  const Reply replayed = exchange(replay, {{"cmd", "get"}});
  EXPECT_TRUE(replayed.refused());
  EXPECT_TRUE(replayed.retry());

  // A code presented with another client's identifier is refused too.
  Device other = signUp("other@example.org");
  Device mixed = other;
  mixed.code = device.code;
  EXPECT_TRUE(exchange(mixed, {{"cmd", "get"}}).retry());

  // The current code still works, until it expires.
  ASSERT_TRUE(exchange(device, {{"cmd", "get"}}).succeeded());
  now_ += static_cast<Micros>(config_.codeLifetime) * kSecond + kSecond;
  const Reply expired = exchange(device, {{"cmd", "get"}});
  EXPECT_TRUE(expired.retry());
  // The password keeps the same client and hands out a fresh code.
  const std::string client = device.client;
  const Reply withPassword = exchange(device, {{"cmd", "get"}}, true);
  ASSERT_TRUE(withPassword.succeeded()) << withPassword.body;
  EXPECT_EQ(device.client, client);
  EXPECT_TRUE(exchange(device, {{"cmd", "get"}}).succeeded());
}

TEST_P(VendorServiceTest, ChangesTravelBetweenDevicesOnceEach) {
  Device laptop = signUp("two@example.org");
  Device desktop{"two@example.org", "correct horse", "", ""};
  ASSERT_TRUE(exchange(desktop, {{"cmd", "get"}}).succeeded());

  ASSERT_TRUE(exchange(laptop, add("U1", "Shoes", now_)).succeeded());
  now_ += kSecond;
  ASSERT_TRUE(exchange(laptop, add("U2", "Coat \"winter\" & <scarf>\nline two", now_)).succeeded());

  const Reply got = exchange(desktop, {{"cmd", "get"}});
  ASSERT_TRUE(got.succeeded());
  const auto deliveries = got.deliveries();
  ASSERT_EQ(deliveries.size(), 2u);
  EXPECT_EQ(deliveries[0].attributes.at("uuid"), "U1");
  EXPECT_EQ(deliveries[1].attributes.at("name"), "Coat \"winter\" & <scarf>\nline two");
  EXPECT_EQ(deliveries[1].attributes.at("deleted"), "0");
  EXPECT_EQ(deliveries[1].attributes.at("from"), "ups");
  EXPECT_LT(std::stod(deliveries[0].attributes.at("updated")),
            std::stod(deliveries[1].attributes.at("updated")));
  EXPECT_EQ(desktop.updated, deliveries[1].attributes.at("updated"));
  // Nothing is sent twice once the device has seen it.
  EXPECT_TRUE(exchange(desktop, {{"cmd", "get"}}).deliveries().empty());

  now_ += kSecond;
  ASSERT_TRUE(exchange(desktop, remove("U1", now_)).succeeded());
  const Reply afterDelete = exchange(laptop, {{"cmd", "get"}});
  bool sawDeletion = false;
  for (const auto& d : afterDelete.deliveries())
    if (d.attributes.at("uuid") == "U1") sawDeletion = d.attributes.at("deleted") == "1";
  EXPECT_TRUE(sawDeletion) << afterDelete.body;
}

TEST_P(VendorServiceTest, ChangesWithinOneMicrosecondStillGetDistinctIncreasingTimes) {
  Device device = signUp("fast@example.org");
  Device reader{"fast@example.org", "correct horse", "", ""};
  ASSERT_TRUE(exchange(reader, {{"cmd", "get"}}).succeeded());
  // The clock stands still: every change must still sort after the one before it.
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(exchange(device, add("S" + std::to_string(i), "n", now_)).succeeded());
  const auto first = exchange(reader, {{"cmd", "get"}}).deliveries();
  ASSERT_EQ(first.size(), 5u);
  ASSERT_TRUE(exchange(device, add("S5", "n", now_)).succeeded());
  const auto second = exchange(reader, {{"cmd", "get"}}).deliveries();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].attributes.at("uuid"), "S5");
}

TEST_P(VendorServiceTest, TheLaterModificationWinsWhicheverArrivesFirst) {
  Device a = signUp("conflict@example.org");
  Device b{"conflict@example.org", "correct horse", "", ""};
  ASSERT_TRUE(exchange(b, {{"cmd", "get"}}).succeeded());
  const Micros base = now_;
  // b changed it later while offline but sends first; a's older change arrives afterwards.
  ASSERT_TRUE(exchange(b, add("U", "from b", base + 20 * kSecond)).succeeded());
  const Reply older = exchange(a, add("U", "from a", base + 10 * kSecond));
  ASSERT_TRUE(older.succeeded());
  // a learns the winning version in the same reply.
  auto mine = older.deliveries();
  ASSERT_EQ(mine.size(), 1u);
  EXPECT_EQ(mine[0].attributes.at("name"), "from b");
  const auto stored = store_->changesSince(store_->accountByEmail("conflict@example.org")->id, 0);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].name, "from b");
}

TEST_P(VendorServiceTest, AnAccountNeverSeesOrChangesAnothersDeliveries) {
  Device alice = signUp("alice@example.org");
  Device mallory = signUp("mallory@example.org", "mallory's own");
  ASSERT_TRUE(exchange(alice, add("SECRET", "Alice's ring", now_)).succeeded());

  EXPECT_TRUE(exchange(mallory, {{"cmd", "get"}}).deliveries().empty());
  // Mallory's own code with Alice's client identifier, and Alice's address with Mallory's
  // password, are both refused.
  Device borrowedClient = mallory;
  borrowedClient.client = alice.client;
  EXPECT_TRUE(exchange(borrowedClient, {{"cmd", "get"}}).refused());
  Device borrowedAddress{"alice@example.org", mallory.password, "", ""};
  EXPECT_TRUE(exchange(borrowedAddress, {{"cmd", "get"}}).refused());
  // Deleting Alice's uuid only makes a tombstone in Mallory's own account.
  ASSERT_TRUE(exchange(mallory, remove("SECRET", now_ + kSecond)).succeeded());
  const auto alices = store_->changesSince(store_->accountByEmail("alice@example.org")->id, 0);
  ASSERT_EQ(alices.size(), 1u);
  EXPECT_FALSE(alices[0].deleted);
  EXPECT_EQ(alices[0].name, "Alice's ring");
}

TEST_P(VendorServiceTest, HostileParametersAreStoredLiterallyOrRefusedWith400) {
  Device device = signUp("robert@example.org");
  Device reader{"robert@example.org", "correct horse", "", ""};
  const std::vector<std::string> names = {"Robert'); DROP TABLE deliveries;--",
                                          "1' OR '1'='1",
                                          "\\\"; DELETE FROM accounts; --",
                                          "%00 and %27 stay text",
                                          "emoji 📦 and Ünïcödé",
                                          "$1 $2 ?"};
  for (size_t i = 0; i < names.size(); ++i)
    ASSERT_TRUE(
        exchange(device, add("H" + std::to_string(i), names[i], now_, names[i])).succeeded());
  const auto got = exchange(reader, {{"cmd", "get"}}).deliveries();
  ASSERT_EQ(got.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(got[i].attributes.at("name"), names[i]);
    EXPECT_EQ(got[i].attributes.at("no"), names[i]);
  }

  // An oversized value, a NUL byte, a missing uuid and an unreadable time are refused.
  const std::string huge(config_.maxBody + 10, 'x');
  const Reply big = exchange(device, add("BIG", huge, now_));
  EXPECT_EQ(big.status, 413u);
  // In the reply the client reads, so it can show why.
  EXPECT_TRUE(big.refused()) << big.body;
  EXPECT_EQ(big.message(), "The request is too large.");
  const std::string raw =
      "cmd=add&uuid=N&modified=1&name=a%00b&client=" + device.client + "&code=" + device.code;
  EXPECT_EQ(request("POST", "/sync/porvane/xml.php", raw).status, 400u);
  EXPECT_EQ(exchange(device, add("", "no uuid", now_)).status, 400u);
  Fields badTime = add("T", "x", now_);
  badTime[1].second = "nan";
  EXPECT_EQ(exchange(device, badTime).status, 400u);
  // Invalid UTF-8 arrives as replacement characters, never as broken text.
  const std::string latin1 = "cmd=add&uuid=L&modified=1800000000&name=caf%E9&email=" +
                             std::string("robert%40example.org") +
                             "&password=correct%20horse&updated=0";
  const Reply stored = request("POST", "/sync/porvane/xml.php", latin1);
  ASSERT_TRUE(stored.succeeded()) << stored.body;
  const auto all = store_->changesSince(store_->accountByEmail("robert@example.org")->id, 0);
  const auto l = std::find_if(all.begin(), all.end(), [](auto& d) { return d.uuid == "L"; });
  ASSERT_NE(l, all.end());
  EXPECT_EQ(l->name, "caf\xEF\xBF\xBD");
}

TEST_P(VendorServiceTest, FailedSignInsLockTheAddressAndTheNetworkForAWhile) {
  config_.loginPerAddress = 3;
  config_.loginPerIP = 5;
  config_.loginWindow = 600;
  rebuild();
  Device device = signUp("locked@example.org");
  Device wrong{"locked@example.org", "guess", "", ""};
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(exchange(wrong, {{"cmd", "get"}}).retry());
  // The right password no longer helps for this address…
  const Reply locked = exchange(device, {{"cmd", "get"}}, true);
  EXPECT_TRUE(locked.refused());
  EXPECT_NE(locked.message().find("Too many"), std::string::npos);
  // …while a device with its login code goes on syncing.
  EXPECT_TRUE(exchange(device, {{"cmd", "get"}}).succeeded());

  // Two more failures from the same network lock every address from there.
  Device other = signUp("other@example.org");
  Device otherWrong{"other@example.org", "guess", "", ""};
  exchange(otherWrong, {{"cmd", "get"}});
  exchange(otherWrong, {{"cmd", "get"}});
  EXPECT_NE(exchange(other, {{"cmd", "get"}}, true).message().find("Too many"), std::string::npos);
  Reply elsewhere = sync({{"cmd", "get"},
                          {"email", "other@example.org"},
                          {"password", "correct horse"},
                          {"updated", "0"}},
                         "10.9.9.9");
  EXPECT_TRUE(elsewhere.succeeded()) << elsewhere.body;

  // After the window both work again.
  now_ += 601 * kSecond;
  EXPECT_TRUE(exchange(device, {{"cmd", "get"}}, true).succeeded());
}

TEST_P(VendorServiceTest, AddressesInTheLogCannotForgeLinesOrDriveATerminal) {
  Device forged{"x@example.org\n2026-01-01T00:00:00Z registered account admin \x1B[31m\xC2\x9B",
                "guess", "", ""};
  ASSERT_TRUE(exchange(forged, {{"cmd", "get"}}).refused());
  ASSERT_FALSE(log_.empty());
  const std::string& line = log_.back();
  EXPECT_EQ(line.find('\n'), std::string::npos);
  EXPECT_EQ(line.find('\x1B'), std::string::npos);
  EXPECT_EQ(line.find("\xC2\x9B"), std::string::npos);
  EXPECT_NE(line.find("x@example.org\\x0A2026"), std::string::npos) << line;
  EXPECT_NE(line.find("\\x1B[31m\\xC2\\x9B"), std::string::npos) << line;
}

TEST_P(VendorServiceTest, RegistrationsPerNetworkAreLimited) {
  config_.registerPerIP = 2;
  rebuild();
  EXPECT_TRUE(registerAccount("r1@example.org", "long enough").succeeded());
  EXPECT_TRUE(registerAccount("r2@example.org", "long enough").succeeded());
  const Reply third = registerAccount("r3@example.org", "long enough");
  EXPECT_TRUE(third.refused());
  EXPECT_FALSE(store_->accountByEmail("r3@example.org"));
  EXPECT_TRUE(registerAccount("r3@example.org", "long enough", "10.1.1.1").succeeded());
}

TEST_P(VendorServiceTest, TheQuotaCountsLiveDeliveriesOnly) {
  config_.quota = 2;
  rebuild();
  Device device = signUp("quota@example.org");
  ASSERT_TRUE(exchange(device, add("Q1", "a", now_)).succeeded());
  ASSERT_TRUE(exchange(device, add("Q2", "b", now_)).succeeded());
  // Over the quota the change is not stored, but the device is told and stays signed in: a
  // refusal would sign it out and hold the change in front of every later one.
  const Reply over = exchange(device, add("Q3", "c", now_));
  EXPECT_EQ(over.status, 200u);
  EXPECT_TRUE(over.succeeded()) << over.body;
  EXPECT_NE(over.message().find("most deliveries it may (2)"), std::string::npos) << over.body;
  // Q3 is not among the account's deliveries the next exchange lists.
  Device other{"quota@example.org", "correct horse", "", ""};
  const Reply listed = exchange(other, {{"cmd", "get"}});
  ASSERT_TRUE(listed.succeeded());
  EXPECT_EQ(listed.deliveries().size(), 2u);
  EXPECT_EQ(listed.body.find("Q3"), std::string::npos);
  // Changing a stored one is no new delivery; deleting one makes room.
  EXPECT_TRUE(exchange(device, add("Q2", "b2", now_ + kSecond)).succeeded());
  EXPECT_TRUE(exchange(device, remove("Q1", now_ + kSecond)).succeeded());
  EXPECT_TRUE(exchange(device, add("Q3", "c", now_ + kSecond)).succeeded());
  // Bringing the deleted one back needs room again.
  const Reply back = exchange(device, add("Q1", "a", now_ + 2 * kSecond));
  EXPECT_TRUE(back.succeeded());
  EXPECT_NE(back.message().find("most deliveries"), std::string::npos);
}

TEST_P(VendorServiceTest, LogoutForgetsTheDeviceAndOthersKeepSyncing) {
  Device a = signUp("out@example.org");
  Device b{"out@example.org", "correct horse", "", ""};
  ASSERT_TRUE(exchange(b, {{"cmd", "get"}}).succeeded());
  ASSERT_TRUE(exchange(a, {{"cmd", "logout"}}).succeeded());
  EXPECT_TRUE(exchange(a, {{"cmd", "get"}}).retry());
  EXPECT_TRUE(exchange(b, {{"cmd", "get"}}).succeeded());
}

TEST_P(VendorServiceTest, OffersTheConfiguredServicesFileToOlderClients) {
  const auto dir = qby::test::makeTempDir("updates");
  const std::string text = "// services\nvar a = \"<&>\";\n\tend();\n";
  qby::test::writeFile(dir / "Services.js", text);
  qby::test::writeFile(dir / "Services.js.sig", "c2lnbmF0dXJl\nZm9v\n");
  config_.servicesFile = (dir / "Services.js").string();
  config_.signatureFile = (dir / "Services.js.sig").string();
  config_.servicesVersion = 230;
  rebuild();
  std::string error;
  ASSERT_TRUE(service_->loadServiceUpdate(error)) << error;

  const Reply older = sync({{"defs", "222"}, {"now", "1800000000.000000"}});
  ASSERT_TRUE(older.succeeded()) << older.body;
  const auto offer = firstNamed(older.elements, "updatedata");
  ASSERT_TRUE(offer);
  EXPECT_EQ(offer->attributes.at("version"), "230");
  EXPECT_EQ(offer->attributes.at("signature"), "c2lnbmF0dXJlZm9v");
  EXPECT_EQ(offer->attributes.at("text"), text);
  EXPECT_TRUE(firstNamed(older.elements, "offset"));
  for (const char* defs : {"230", "231", "", "22x"})
    EXPECT_FALSE(firstNamed(sync({{"defs", defs}}).elements, "updatedata")) << defs;

  // A signed-in exchange carries the offer too.
  Device device = signUp("updates@example.org");
  EXPECT_TRUE(
      firstNamed(exchange(device, {{"cmd", "get"}, {"defs", "229"}}).elements, "updatedata"));

  config_.signatureFile = (dir / "missing.sig").string();
  rebuild();
  EXPECT_FALSE(service_->loadServiceUpdate(error));
}

TEST_P(VendorServiceTest, TheOffsetIsTheClientClockMinusTheServers) {
  const Reply reply = sync({{"now", QBYVendorService::formatTime(now_ + 90 * kSecond + 250000)}});
  EXPECT_EQ(reply.value("offset"), "90.250000");
  EXPECT_EQ(sync({{"now", "yesterday"}}).value("offset"), "");
}

TEST_P(VendorServiceTest, ReportsAreStoredAndAnsweredInJSON) {
  const std::string body =
      "cmd=report&comments=It%20never%20updates&logs=line%201%0Aline%202&from=ups&no=1Z&"
      "success=0&platform=linux";
  const Reply reply = request("POST", "/sync/porvane/report/", body);
  EXPECT_EQ(reply.status, 200u);
  EXPECT_EQ(reply.body, "{\"success\": true}");
  EXPECT_EQ(store_->reportCount(), 1);
  EXPECT_EQ(request("POST", "/sync/porvane/report/", "cmd=other&a=b").status, 400u);
  EXPECT_EQ(request("GET", "/sync/porvane/report/", "").status, 405u);
  EXPECT_NE(request("GET", "/sync/porvane/report/", "").body.find("false"), std::string::npos);
  EXPECT_EQ(store_->reportCount(), 1);
}

TEST_P(VendorServiceTest, APasswordResetCodeChangesThePasswordOnceAndSignsDevicesOut) {
  Device device = signUp("forgot@example.org");
  EXPECT_EQ(request("GET", "/sync/", "", "10.0.0.1", "cmd=reset").status, 200u);
  const Reply asked = request("POST", "/sync/", "cmd=reset&email=forgot%40example.org");
  EXPECT_EQ(asked.status, 200u);
  // Without a mail relay the code goes to the log.
  std::string code;
  for (const auto& line : log_)
    if (line.find("reset code for forgot@example.org: ") != std::string::npos)
      code = line.substr(line.rfind(' ') + 1);
  ASSERT_EQ(code.size(), 12u);
  // Unknown addresses get the same page and no code.
  const Reply unknown = request("POST", "/sync/", "cmd=reset&email=who%40example.org");
  EXPECT_EQ(unknown.body.find("who@"), asked.body.find("forgot@"));

  const std::string change = "cmd=setpassword&email=forgot%40example.org&code=" + code +
                             "&newpassword=new%20secret&confirmpass=new%20secret";
  EXPECT_EQ(request("POST", "/sync/",
                    "cmd=setpassword&email=forgot%40example.org&code=wrong"
                    "&newpassword=new%20secret&confirmpass=new%20secret")
                .status,
            400u);
  EXPECT_EQ(request("POST", "/sync/", change).status, 200u);
  EXPECT_EQ(request("POST", "/sync/", change).status, 400u);  // used up

  EXPECT_TRUE(exchange(device, {{"cmd", "get"}}).retry());  // its code died with the reset
  EXPECT_TRUE(exchange(device, {{"cmd", "get"}}, true).refused());
  device.password = "new secret";
  EXPECT_TRUE(exchange(device, {{"cmd", "get"}}, true).succeeded());
}

TEST_P(VendorServiceTest, CommandsNeedCredentialsAndKnownNames) {
  EXPECT_EQ(sync({{"cmd", "get"}, {"updated", "0"}}).status, 401u);
  Device device = signUp("cmd@example.org");
  EXPECT_EQ(exchange(device, {{"cmd", "drop"}}).status, 400u);
  // Every refusal of the sync path is a reply the client reads, with its message.
  for (const Reply& refused :
       {sync({{"cmd", "get"}, {"updated", "0"}}), exchange(device, {{"cmd", "drop"}}),
        request("GET", "/sync/porvane/xml.php", "")}) {
    EXPECT_TRUE(refused.refused()) << refused.body;
    EXPECT_FALSE(refused.message().empty()) << refused.body;
  }
  EXPECT_EQ(request("GET", "/sync/porvane/xml.php", "").status, 405u);
}

TEST_P(VendorServiceTest, TooLargeIsAnsweredInThePathsOwnFormat) {
  const ServerResponse sync = service_->tooLarge("/sync/porvane/xml.php");
  EXPECT_EQ(sync.status, 413u);
  const auto elements = parseReply(sync.body);
  ASSERT_TRUE(elements) << sync.body;
  EXPECT_EQ(firstNamed(*elements, "success")->value(), "false");
  EXPECT_EQ(firstNamed(*elements, "message")->value(), "The request is too large.");
  const ServerResponse report = service_->tooLarge("/sync/porvane/report/");
  EXPECT_EQ(report.status, 413u);
  EXPECT_EQ(report.body, "{\"success\": false}");
  EXPECT_EQ(service_->tooLarge("/elsewhere").status, 413u);
}

// The app shows the server's terms before it registers: the administrator's page, or a
// built-in one that says there is none.
TEST_P(VendorServiceTest, TheTermsPageIsTheConfiguredFileOrSaysThereAreNone) {
  std::string error;
  ASSERT_TRUE(service_->loadTerms(error)) << error;
  const ServerResponse none =
      service_->handle({"GET", "/sync/app/legal/terms.html", "", "", "10.0.0.1"});
  EXPECT_EQ(none.status, 200u);
  EXPECT_NE(none.contentType.find("text/html"), std::string::npos);
  EXPECT_NE(none.body.find("has not published terms of use"), std::string::npos) << none.body;

  const auto dir = qby::test::makeTempDir("terms");
  const std::string page = "<!DOCTYPE html><h1>Terms of Example Sync</h1><p>Be kind. 📦</p>\n";
  qby::test::writeFile(dir / "terms.html", page);
  config_.termsFile = (dir / "terms.html").string();
  rebuild();
  ASSERT_TRUE(service_->loadTerms(error)) << error;
  const ServerResponse published =
      service_->handle({"GET", "/sync/app/legal/terms.html", "", "", "10.0.0.1"});
  EXPECT_EQ(published.status, 200u);
  EXPECT_EQ(published.body, page);
  EXPECT_EQ(service_->handle({"POST", "/sync/app/legal/terms.html", "", "x=1", "10.0.0.1"}).status,
            405u);

  // A file that is missing, not UTF-8 or empty stops the server with a reason.
  for (const auto& [name, bytes] : std::vector<std::pair<std::string, std::string>>{
           {"missing.html", ""}, {"latin1.html", "caf\xE9"}, {"empty.html", " \n"}}) {
    if (name != "missing.html") qby::test::writeFile(dir / name, bytes);
    config_.termsFile = (dir / name).string();
    rebuild();
    error.clear();
    EXPECT_FALSE(service_->loadTerms(error)) << name;
    EXPECT_NE(error.find(name), std::string::npos) << error;
  }
}

TEST_P(VendorServiceTest, TheOtherPathsAnswer) {
  EXPECT_EQ(request("GET", "/version-check", "").status, 200u);
  const ServerResponse grab = service_->handle(
      {"GET", "/sync/grab/", "from=ups&name=A%20%26%20B&no=1Z&extra=&date=", "", "10.0.0.1"});
  EXPECT_EQ(grab.status, 302u);
  EXPECT_EQ(grab.location, "porvane://add?from=ups&name=A%20%26%20B&no=1Z&extra=&date=");
  const ServerResponse help =
      service_->handle({"GET", "/support/sync/", "search=%3Cscript%3E", "", "10.0.0.1"});
  EXPECT_EQ(help.status, 200u);
  EXPECT_EQ(help.body.find("<script>"), std::string::npos);
  EXPECT_NE(help.body.find("&lt;script&gt;"), std::string::npos);
  EXPECT_EQ(request("GET", "/nothing", "").status, 404u);
}

INSTANTIATE_TEST_SUITE_P(Backends, VendorServiceTest, testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

// A broken database answers with something no client mistakes for a reply, so every change
// stays queued on the devices.
TEST(VendorServiceFailure, AStorageFailureIsNoReplyAtAll) {
  const auto dir = qby::test::makeTempDir("broken");
  const std::string path = (dir / "server.db").string();
  QBYSQLiteServerStore store(path);
  store.open();
  std::vector<std::string> log;
  QBYVendorService service(QBYServerConfig{}, store,
                           QBYPasswordHasher(QBYPasswordHasher::Strength::Minimum),
                           [&](const std::string& line) { log.push_back(line); });
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "DROP TABLE clients", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  const ServerResponse response = service.handle({"POST", "/sync/porvane/xml.php", "",
                                                  "cmd=register&email=a%40b.org&newpassword=long%"
                                                  "20enough&confirmpass=long%20enough&terms=true",
                                                  "10.0.0.1"});
  EXPECT_EQ(response.status, 503u) << response.body;
  EXPECT_FALSE(parseReply(response.body));
  ASSERT_FALSE(log.empty());
  EXPECT_NE(log.back().find("storage failure"), std::string::npos);
}

}  // namespace
}  // namespace qby::server::test
