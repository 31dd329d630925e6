// Troubleshooting reports: their keys and values, and sending them to a report path on
// 127.0.0.1.
#include <gtest/gtest.h>

#include "model/Delivery.h"
#include "support/FixtureServer.h"
#include "sync/QBYSendReportOperation.h"
#include "sync/QBYTroubleshootReport.h"
#include "sync/SyncTestSupport.h"

namespace qby::test {
namespace {

using TroubleshootReportTest = SyncTest;

TEST_F(TroubleshootReportTest, ReportOfADeliveryAndItsKeys) {
  auto delivery = addDelivery("u-1", 1000);
  delivery->setExtra(std::string(""));
  const QBYTroubleshootReport::Environment environment{"device-1", "linux", std::nullopt, "1.0",
                                                       "42"};
  auto report = QBYTroubleshootReport::reportForDelivery(*delivery, "line 1\nline 2", environment);
  EXPECT_TRUE(report.success());
  EXPECT_EQ(report.valueForKey("from"), "example.com");
  EXPECT_EQ(report.valueForKey("no"), "1Z999");
  EXPECT_EQ(report.valueForKey("vendor-id"), "device-1");
  EXPECT_FALSE(report.valueForKey("system-version").has_value());
  // Empty "extra" is dropped; an empty "comments" stays, being editable; absent table keys
  // stay; a key of our own with text is shown last.
  report.setValueForKey("comments", "");
  report.setValueForKey("x-extra-note", "seen twice");
  report.setValueForKey("x-empty", "");
  const std::vector<std::string> expected = {
      "comments",       "logs",        "vendor-id",      "from",    "no",          "platform",
      "system-version", "app-version", "service-update", "success", "x-extra-note"};
  EXPECT_EQ(report.keys(), expected);
  EXPECT_EQ(QBYTroubleshootReport::displayNameForKey("no"), "Tracking No.");
  EXPECT_EQ(QBYTroubleshootReport::displayNameForKey("x-extra-note"), "x-extra-note");

  // The dictionary gives back an equal report; "success" travels as "1"/"0".
  EXPECT_EQ(report.dictionary()["success"].asString(), "1");
  EXPECT_EQ(QBYTroubleshootReport::reportFromDictionary(report.dictionary()), report);
  report.setValueForKey("success", "0");
  EXPECT_FALSE(report.success());
  EXPECT_EQ(report.valueForKey("success"), "0");
}

TEST_F(TroubleshootReportTest, ALastErrorDateMeansNoSuccessEvenWithoutACurrentError) {
  auto delivery = addDelivery("u-2", 1000);
  delivery->setLastErrorDate(Date(5000));
  ASSERT_FALSE(delivery->hasError());
  EXPECT_FALSE(QBYTroubleshootReport::reportForDelivery(*delivery, std::nullopt, {}).success());
}

TEST_F(TroubleshootReportTest, BodyEncodesValuesAndSendsNonTextsEmpty) {
  Dictionary dictionary{{"comments", Value(std::string("a&b=c ü"))},
                        {"count", Value(std::int64_t(3))},
                        {"success", Value(std::string("0"))}};
  EXPECT_EQ(QBYSendReportOperation::requestBody(dictionary),
            "cmd=report&comments=a%26b%3Dc%20%C3%BC&count=&success=0");
}

TEST_F(TroubleshootReportTest, OnlyAJSONObjectWithSuccessTrueCountsAsSent) {
  FixtureServer server;
  ASSERT_TRUE(server.listening());
  struct Case {
    FixtureServer::Response response;
    bool sent;
  };
  const Case cases[] = {
      {{200, "application/json", R"({"success": true})"}, true},
      {{200, "application/json", R"({"success": false})"}, false},
      {{200, "application/json", R"({"success": "true"})"}, false},
      {{200, "application/json", R"([true])"}, false},
      {{502, "text/html", "<html>Bad gateway</html>"}, false},
      {{200, "application/json", ""}, false},
  };
  for (const auto& c : cases) {
    server.route("/sync/porvane/report/", c.response);
    std::optional<bool> outcome;
    QBYSendReportOperation operation(server.url("/sync/porvane/report/"),
                                     Dictionary{{"comments", Value(std::string("hi"))}},
                                     [&](bool success, const std::optional<QBYError>&) {
                                       EXPECT_FALSE(outcome.has_value()) << "called twice";
                                       outcome = success;
                                     });
    operation.start();
    ASSERT_TRUE(waitFor([&] { return outcome.has_value(); })) << c.response.body;
    EXPECT_EQ(*outcome, c.sent) << c.response.body;
  }
  EXPECT_EQ(server.seen().back().body, "cmd=report&comments=hi");
}

TEST_F(TroubleshootReportTest, AnUnreachableServerIsNotSentWithTheReason) {
  std::string closed;
  {
    FixtureServer gone;
    closed = gone.url("/sync/porvane/report/");
  }
  std::optional<QBYError> failure;
  bool called = false;
  QBYSendReportOperation refused(closed, Dictionary{},
                                 [&](bool success, const std::optional<QBYError>& error) {
                                   called = true;
                                   EXPECT_FALSE(success);
                                   failure = error;
                                 });
  refused.start();
  ASSERT_TRUE(waitFor([&] { return called; }));
  EXPECT_TRUE(failure.has_value());
}

}  // namespace
}  // namespace qby::test
