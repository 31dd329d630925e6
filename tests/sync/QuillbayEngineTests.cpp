// The sync-service engine against a fixture server on 127.0.0.1: the order of a flush, login
// by password and by login code, replies applied, and failures that must keep the queue.
#include <gtest/gtest.h>

#include "model/Queue.h"
#include "support/FixtureServer.h"
#include "sync/QBYQuillbaySyncEngine.h"
#include "sync/QBYSyncChangeQueue.h"
#include "sync/QBYSyncServerAddress.h"
#include "sync/SyncTestSupport.h"
#include "util/URLUtilities.h"

namespace qby::test {
namespace {

constexpr const char* kEmail = "ana@example.org";
constexpr const char* kSuccess = R"(<sync><success value="true"/></sync>)";

class QuillbayEngineTest : public SyncTest {
 protected:
  void SetUp() override {
    SyncTest::SetUp();
    ASSERT_TRUE(server.listening()) << server.error();
    defaults->setObject(Value(server.url()), QBYSyncServerURLKey);
    makeManager();
  }

  void signedIn() {
    defaults->setObject(Value(std::string(kEmail)), QBYQuillbayEmailKey);
    defaults->setBool(true, QBYQuillbaySuccessKey);
    credentials->setPassword("pa&ss=word", kEmail, QBYQuillbayServiceKey, false);
  }

  void answer(const std::string& xml) {
    server.route(QBYSyncServicePath, {200, "text/xml; charset=utf-8", xml});
  }

  bool settled() {
    return waitFor([&] { return manager->serviceEngine().operationCount() == 0; });
  }

  std::vector<std::string> bodies() {
    std::vector<std::string> result;
    for (const auto& request : server.seen()) result.push_back(request.body);
    return result;
  }

  static bool has(const std::string& body, const std::string& part) {
    return body.find(part) != std::string::npos;
  }

  FixtureServer server;
};

TEST_F(QuillbayEngineTest, FlushSendsOneChangeThenTheRestInOrderWithTheLoginPart) {
  signedIn();
  defaults->setDouble(1234.5, QBYQuillbayUpdatedKey);
  addDelivery("u-b", 2000);
  addDelivery("u-a", 1000);
  // Archived deliveries travel only while their change is recent.
  const double recent = Date::now().timeIntervalSince1970() - 10;
  addDelivery("u-c", recent, true);
  manager->saveAllObjectsToQuillbay();
  answer(kSuccess);

  manager->serviceEngine().syncWithQuillbay();
  ASSERT_TRUE(waitFor([&] { return !manager->hasQueueItems(); }));
  ASSERT_TRUE(settled());

  const auto sent = bodies();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_TRUE(sent[0].starts_with("cmd=add&modified=1000.000000&uuid=u-a")) << sent[0];
  EXPECT_TRUE(sent[1].starts_with("cmd=add&modified=2000.000000&uuid=u-b")) << sent[1];
  EXPECT_TRUE(sent[2].starts_with("cmd=delete&modified=")) << sent[2];
  EXPECT_TRUE(has(sent[2], "&uuid=u-c&email=")) << sent[2];
  for (const auto& body : sent) {
    EXPECT_TRUE(has(body,
                    "&email=ana%40example.org&client=&password=pa%26ss%3Dword&updated="
                    "1234.500000&type=linux&version="))
        << body;
    EXPECT_TRUE(has(body, "&osversion=")) << body;
    EXPECT_TRUE(has(body, "&now=")) << body;
  }
  EXPECT_TRUE(manager->quillbayEnabled());
  EXPECT_TRUE(manager->quillbaySuccessDate().has_value());
}

// A change never grows beyond what every server accepts (64 KiB at the least): each value is
// cut to whole characters within QBYSyncMaxValueBytes once encoded; short ones stay as they are.
TEST(SyncQueryLimit, LongValuesAreCutToWholeCharactersAndTheRestStays) {
  const std::string shortQuery = "cmd=add&modified=1.000000&uuid=U&name=A%20B&no=&extra=&date=";
  EXPECT_EQ(QBYSyncChangeQueue::cappedQuery(shortQuery), shortQuery);

  const auto valueOf = [](const std::string& query, const std::string& key) {
    const auto start = query.find("&" + key + "=") + key.size() + 2;
    return query.substr(start, query.find('&', start) - start);
  };
  const std::string plain(20000, 'x');
  const std::string emoji = [] {
    std::string text;
    for (int i = 0; i < 1000; ++i) text += "\xF0\x9F\x93\xA6";  // 📦: "%F0%9F%93%A6"
    return text;
  }();
  std::string accented;  // "é" as e and a combining accent: one character, "e%CC%81"
  for (int i = 0; i < 2000; ++i) accented += "e\xCC\x81";
  const std::string query =
      "cmd=add&modified=1.000000&uuid=U&from=ups&name=" + stringEncodedForURLQuery(plain) +
      "&no=" + stringEncodedForURLQuery(emoji) + "&extra=" + stringEncodedForURLQuery(accented) +
      "&date=2026-12-09";
  const std::string capped = QBYSyncChangeQueue::cappedQuery(query);
  EXPECT_TRUE(capped.starts_with("cmd=add&modified=1.000000&uuid=U&from=ups&name=")) << capped;
  EXPECT_TRUE(capped.ends_with("&date=2026-12-09"));
  EXPECT_EQ(valueOf(capped, "name"), std::string(QBYSyncMaxValueBytes, 'x'));
  const std::string no = valueOf(capped, "no");
  EXPECT_LE(no.size(), QBYSyncMaxValueBytes);
  EXPECT_EQ(no.size(), QBYSyncMaxValueBytes / 12 * 12);
  EXPECT_TRUE(no.ends_with("%F0%9F%93%A6"));
  const std::string extra = valueOf(capped, "extra");
  EXPECT_EQ(extra.size(), QBYSyncMaxValueBytes / 7 * 7);
  EXPECT_TRUE(extra.ends_with("e%CC%81")) << extra.substr(extra.size() - 20);
  EXPECT_LT(capped.size(), 5 * QBYSyncMaxValueBytes);
  // Idempotent: a cut query is cut no further.
  EXPECT_EQ(QBYSyncChangeQueue::cappedQuery(capped), capped);

  // A value that is not valid percent-encoding is cut as it stands, never inside an escape.
  const std::string broken = "name=" + std::string(QBYSyncMaxValueBytes - 1, 'y') + "%ZZ%41";
  const std::string cut = QBYSyncChangeQueue::cappedQuery(broken);
  EXPECT_EQ(cut, "name=" + std::string(QBYSyncMaxValueBytes - 1, 'y'));
}

// A change queued with a very long name goes out cut to the limit, and so does one that an
// older build queued with its full length.
TEST_F(QuillbayEngineTest, AChangeWithAHugeValueIsSentCut) {
  signedIn();
  addDelivery("u-long", 1000, false, false, std::string(300 * 1024, 'n'));
  manager->saveAllObjectsToQuillbay();
  answer(kSuccess);
  manager->serviceEngine().syncWithQuillbay();
  ASSERT_TRUE(waitFor([&] { return !manager->hasQueueItems(); }));
  ASSERT_TRUE(settled());
  const auto sent = bodies();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(has(sent[0], "&name=" + std::string(QBYSyncMaxValueBytes, 'n') + "&no=1Z999"))
      << sent[0].substr(0, 200);
  EXPECT_LT(sent[0].size(), 16u * 1024);

  // As an older build left it in the queue: the full value in the stored query.
  {
    auto& context = *store->viewContext();
    auto item = context.insert<Queue>("Queue");
    item->setUuid(std::string("u-old"));
    item->setCmd(std::string(QBYQueueCommandAdd));
    item->setDate(2000);
    item->setQuery("cmd=add&modified=2000.000000&uuid=u-old&from=ups&name=" +
                   std::string(300 * 1024, 'o') + "&no=1Z&extra=&date=");
    ASSERT_TRUE(context.save());
  }
  manager->setForceUpdate(true);
  manager->serviceEngine().syncWithQuillbay();
  ASSERT_TRUE(waitFor([&] { return !manager->hasQueueItems(); }));
  ASSERT_TRUE(settled());
  ASSERT_EQ(bodies().size(), 2u);
  EXPECT_TRUE(bodies()[1].starts_with("cmd=add&modified=2000.000000&uuid=u-old&from=ups&name=" +
                                      std::string(QBYSyncMaxValueBytes, 'o') + "&no=1Z&extra="))
      << bodies()[1].substr(0, 200);
}

TEST_F(QuillbayEngineTest, NothingQueuedAsksWithGetUnlessARecentSuccess) {
  signedIn();
  answer(kSuccess);
  manager->serviceEngine().syncWithQuillbay();
  ASSERT_TRUE(waitFor([&] { return server.requests() == 1; }));
  ASSERT_TRUE(settled());
  EXPECT_TRUE(bodies()[0].starts_with("cmd=get&email=")) << bodies()[0];

  // Less than a minute after that success, with nothing to send and no forcing: no request.
  manager->serviceEngine().syncWithQuillbay();
  MainQueue::runUntil([] { return false; }, 0.5);
  EXPECT_EQ(server.requests(), 1u);
  EXPECT_EQ(manager->step(), 5u);
}

TEST_F(QuillbayEngineTest, RefusedLoginCodeIsDroppedAndTheChangeResentWithThePassword) {
  signedIn();
  defaults->setObject(Value(std::string("client-7")), QBYQuillbayClientKey);
  credentials->setPassword("code-1", std::string(kEmail) + " [porvane]", QBYQuillbayServiceKey,
                           true);
  addDelivery("u-1", 1000);
  manager->saveAllObjectsToQuillbay();
  server.hold(QBYSyncServicePath);

  manager->serviceEngine().syncWithQuillbay();
  ASSERT_TRUE(waitFor([&] { return server.held() == 1; }));
  server.releaseHeld({200, "text/xml", R"(<sync><success value="false" retry="true"/></sync>)"});
  ASSERT_TRUE(waitFor([&] { return server.held() == 1 && server.requests() == 2; }));
  server.releaseHeld({200, "text/xml", kSuccess});
  ASSERT_TRUE(waitFor([&] { return !manager->hasQueueItems(); }));
  ASSERT_TRUE(settled());

  const auto sent = bodies();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_TRUE(has(sent[0], "uuid=u-1")) << sent[0];
  EXPECT_TRUE(has(sent[0], "&client=client-7&code=code-1&updated=")) << sent[0];
  EXPECT_TRUE(has(sent[1], "uuid=u-1")) << sent[1];
  EXPECT_TRUE(has(sent[1], "&email=ana%40example.org&client=client-7&password=")) << sent[1];
  EXPECT_FALSE(
      credentials->passwordForAccount(std::string(kEmail) + " [porvane]", QBYQuillbayServiceKey));
}

TEST_F(QuillbayEngineTest, BrokenRepliesKeepTheQueueAndTheNextSyncSucceeds) {
  signedIn();
  addDelivery("u-1", 1000);
  manager->saveAllObjectsToQuillbay();
  NotificationRecorder notifications;
  const std::string cutReply =
      R"(<sync><success value="true"/><client value="new-client"/><delivery uuid="u-9" upd)";
  const FixtureServer::Response broken[] = {
      {200, "text/xml", cutReply},
      {502, "text/html", "<html><body><h1>502 Bad Gateway</h1></body></html>"},
      {200, "text/html", "<html><body>Maintenance<br></body></html>"},
      {500, "text/plain", ""},
  };
  for (const auto& response : broken) {
    server.route(QBYSyncServicePath, response);
    manager->setForceUpdate(true);
    const std::size_t before = server.requests();
    manager->serviceEngine().syncWithQuillbay();
    ASSERT_TRUE(waitFor([&] { return server.requests() == before + 1; })) << response.body;
    ASSERT_TRUE(settled());
    MainQueue::runUntil([] { return false; }, 0.1);
    EXPECT_TRUE(manager->hasQueueItems()) << response.body;
    EXPECT_TRUE(manager->quillbayErrorDate().has_value()) << response.body;
    EXPECT_EQ(manager->step(), 5u);
    ASSERT_FALSE(notifications.entries.empty());
    EXPECT_EQ(notifications.entries.back().name, QBYSyncFailureNotification);
    EXPECT_EQ(notifications.entries.back().status, "Couldn’t connect");
  }
  // Nothing of the cut reply was applied.
  EXPECT_FALSE(defaults->stringForKey(QBYQuillbayClientKey).has_value());
  EXPECT_TRUE(delegate.saved.empty());

  answer(kSuccess);
  manager->setForceUpdate(true);
  manager->serviceEngine().syncWithQuillbay();
  ASSERT_TRUE(waitFor([&] { return !manager->hasQueueItems(); }));
  EXPECT_FALSE(manager->quillbayErrorDate().has_value());
}

TEST_F(QuillbayEngineTest, ReplyElementsAreApplied) {
  signedIn();
  defaults->setDouble(50, QBYQuillbayUpdatedKey);
  // A local change to u-new that is newer than the server's copy must win.
  addDelivery("u-new", 5000);
  manager->saveAllObjectsToQuillbay();
  answer(R"(<sync><client value="c-9"/><offset value="-2.5"/><updated value="900"/>
<delivery uuid="u-new" updated="4000" deleted="0" name="Server name"/>
<delivery uuid="u-other" updated="300" deleted="0" name="From elsewhere" from="example.com"/>
<delivery uuid="u-gone" updated="200" deleted="1"/>
<message value="Welcome back"/><updatedata version="7" signature="c2ln"/><token value="t"/>
<success value="true"/></sync>)");
  NotificationRecorder notifications;

  manager->setForceUpdate(true);
  manager->serviceEngine().syncWithQuillbay();
  ASSERT_TRUE(settled());
  ASSERT_TRUE(waitFor([&] { return manager->quillbaySuccessDate().has_value(); }));

  EXPECT_EQ(defaults->stringForKey(QBYQuillbayClientKey), "c-9");
  EXPECT_DOUBLE_EQ(defaults->doubleForKey(QBYQuillbayOffsetKey), -2.5);
  // "updated" without skip leaves the mark alone; deliveries raise it, the ignored one too.
  EXPECT_DOUBLE_EQ(defaults->doubleForKey(QBYQuillbayUpdatedKey), 4000);
  ASSERT_EQ(delegate.saved.size(), 1u);
  EXPECT_EQ(delegate.saved[0].first["uuid"].asString(), "u-other");
  EXPECT_FALSE(delegate.saved[0].second);
  EXPECT_EQ(manager->quillbayMessage(), "Welcome back");
  // The update offer goes to the data delegate as it came (its signature is checked there);
  // "token" goes nowhere.
  ASSERT_EQ(delegate.unknown.size(), 1u);
  EXPECT_EQ(delegate.unknown[0].first, "updatedata");
  EXPECT_EQ(delegate.unknown[0].second, (Dictionary{{"version", Value(std::string("7"))},
                                                    {"signature", Value(std::string("c2ln"))}}));
  bool announced = false;
  for (const auto& entry : notifications.entries)
    announced |= entry.name == QBYSyncChangeNotification && entry.status == "Welcome back";
  EXPECT_TRUE(announced);

  // "Delivery synced…" clears the shown message.
  answer(R"(<sync><message value="Delivery synced…"/><success value="true"/></sync>)");
  manager->setForceUpdate(true);
  manager->serviceEngine().syncWithQuillbay();
  ASSERT_TRUE(waitFor([&] { return !manager->quillbayMessage().has_value(); }));
}

TEST_F(QuillbayEngineTest, RefusedAccountTurnsSyncOffButKeepsTheQueue) {
  signedIn();
  addDelivery("u-1", 1000);
  manager->saveAllObjectsToQuillbay();
  answer(R"(<sync><message value="Wrong password"/><success value="false"/></sync>)");
  NotificationRecorder notifications;
  manager->serviceEngine().syncWithQuillbay();
  ASSERT_TRUE(waitFor([&] { return !manager->quillbayEnabled(); }));
  ASSERT_TRUE(settled());
  EXPECT_TRUE(manager->hasQueueItems());
  EXPECT_EQ(manager->quillbayMessage(), "Wrong password");
  ASSERT_TRUE(waitFor([&] { return notifications.count(QBYSyncSettingsErrorNotification) == 1; }));
}

TEST_F(QuillbayEngineTest, NoRequestWithoutCredentialsOrWithoutAnAcceptableAddress) {
  defaults->setObject(Value(std::string(kEmail)), QBYQuillbayEmailKey);
  defaults->setBool(true, QBYQuillbaySuccessKey);
  answer(kSuccess);
  {
    NotificationRecorder notifications;
    manager->setForceUpdate(true);
    manager->serviceEngine().syncWithQuillbay();
    ASSERT_TRUE(settled());
    // Nothing sent, and reported as a failure rather than settled as if synced.
    ASSERT_TRUE(waitFor([&] { return notifications.count(QBYSyncFailureNotification) == 1; }, 2));
    EXPECT_EQ(server.requests(), 0u);
    EXPECT_FALSE(manager->quillbaySuccessDate().has_value());
    EXPECT_TRUE(manager->quillbayMessage().has_value());
  }

  // A plain-http address elsewhere than on loopback is never used, even when stored by hand.
  signedIn();
  defaults->setObject(Value(std::string("http://sync.example.org")), QBYSyncServerURLKey);
  NotificationRecorder notifications;
  manager->setForceUpdate(true);
  manager->serviceEngine().syncWithQuillbay();
  ASSERT_TRUE(waitFor([&] { return notifications.count(QBYSyncFailureNotification) == 1; }));
  EXPECT_EQ(server.requests(), 0u);
}

TEST_F(QuillbayEngineTest, RegistrationSendsNoLoginPartAndItsSuccessStoresTheAccount) {
  answer(R"(<sync><client value="c-1"/><code value="k-1"/><success value="true"/></sync>)");
  NotificationRecorder notifications;
  QBYError error;
  EXPECT_FALSE(manager->validateQuillbaySettings({{"email", Value(std::string(kEmail))},
                                                  {"password", Value(std::string("s3cret"))},
                                                  {"confirm", Value(std::string("s3cret"))},
                                                  {"name", Value(std::string("Ana"))},
                                                  {"terms", Value(std::string("true"))},
                                                  {"new", Value(true)}},
                                                 &error));
  ASSERT_TRUE(waitFor([&] { return notifications.count(QBYSyncSuccessNotification) >= 1; }));
  ASSERT_TRUE(settled());
  const auto sent = bodies();
  ASSERT_FALSE(sent.empty());
  EXPECT_TRUE(
      sent[0].starts_with("cmd=register&email=ana%40example.org&newpassword=s3cret&"
                          "confirmpass=s3cret&name=Ana&terms=true&type=linux&"))
      << sent[0];
  EXPECT_FALSE(has(sent[0], "&password=")) << sent[0];
  EXPECT_TRUE(manager->quillbayEnabled());
  EXPECT_EQ(manager->quillbayEmail(), kEmail);
  EXPECT_EQ(credentials->passwordForAccount(kEmail, QBYQuillbayServiceKey), "s3cret");
  EXPECT_EQ(
      credentials->passwordForAccount(std::string(kEmail) + " [porvane]", QBYQuillbayServiceKey),
      "k-1");
}

}  // namespace
}  // namespace qby::test
