#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>

#include "FakeNominatim.h"
#include "QBYGeocoderOperation.h"
#include "platform/Date.h"
#include "platform/MainQueue.h"

namespace qby {
namespace {

using Answer = QBYGeocoderOperation::Answer;
using Placemark = QBYGeocoderOperation::Placemark;
using Failure = QBYGeocoderOperation::Failure;

std::optional<Answer> geocode(const std::string& url, const std::string& text,
                              const std::string& regionName = "",
                              std::shared_ptr<QBYGeocodeThrottle> throttle = nullptr) {
  QBYGeocoderOperation operation(url, std::move(throttle), text, regionName,
                                 QBYSearchRegionNamed(regionName));
  std::optional<Answer> answer;
  operation.start([&](const Answer& a) { answer = a; });
  MainQueue::runUntil([&] { return answer.has_value(); }, 20);
  return answer;
}

TEST(GeocodeThrottle, SpacesRequestsASecondApartByTheClock) {
  ClockOverride pinned(Date(1000000));
  QBYGeocodeThrottle throttle;
  EXPECT_DOUBLE_EQ(throttle.reserve(), 0);
  EXPECT_DOUBLE_EQ(throttle.reserve(), 1);
  EXPECT_DOUBLE_EQ(throttle.reserve(), 2);
  {
    ClockOverride later(Date(1000010));
    EXPECT_DOUBLE_EQ(throttle.reserve(), 0);
    ClockOverride halfway(Date(1000010.4));
    EXPECT_NEAR(throttle.reserve(), 0.6, 1e-9);
  }
}

TEST(Geocoder, FindsAPlaceInsideTheSearchRegion) {
  test::FakeNominatim nominatim;
  nominatim.addPlace("Leipzig", 51.3397, 12.3731);
  auto answer = geocode(nominatim.url(), "Leipzig", "Germany");
  ASSERT_TRUE(answer);
  const auto* place = std::get_if<Placemark>(&*answer);
  ASSERT_TRUE(place) << std::get<Failure>(*answer).message;
  EXPECT_NEAR(place->latitude, 51.3397, 1e-6);
  EXPECT_NEAR(place->longitude, 12.3731, 1e-6);
  ASSERT_EQ(nominatim.seen().size(), 1u);
  const auto& parameters = nominatim.seen()[0].parameters;
  // The region's square bounds the search.
  ASSERT_TRUE(parameters.count("viewbox")) << nominatim.seen()[0].query;
  EXPECT_EQ(parameters.at("bounded"), "1");
  double left = 0, top = 0, right = 0, bottom = 0;
  ASSERT_EQ(std::sscanf(parameters.at("viewbox").c_str(), "%lf,%lf,%lf,%lf", &left, &top, &right,
                        &bottom),
            4);
  // Germany: 1000 km square around 51.0 N, 10.45 E.
  EXPECT_NEAR(top, 51.0 + 500000 / 111320.0, 0.01);
  EXPECT_NEAR(bottom, 51.0 - 500000 / 111320.0, 0.01);
  EXPECT_LT(left, 10.45 - 6);
  EXPECT_GT(right, 10.45 + 6);

  // Without a known region the search is not bounded.
  answer = geocode(nominatim.url(), "Leipzig", "Atlantis");
  ASSERT_TRUE(answer);
  ASSERT_EQ(nominatim.seen().size(), 2u);
  EXPECT_FALSE(nominatim.seen()[1].parameters.count("viewbox"));
  const auto& unbounded = nominatim.seen()[1].parameters;
  EXPECT_TRUE(!unbounded.count("bounded") || unbounded.at("bounded") == "0");
}

TEST(Geocoder, AsksTheServiceEachTimeWithTheProductsUserAgent) {
  // Expiry and "Reset Location" rely on a new question reaching the service: no answer may
  // come back from a client-side cache.
  test::FakeNominatim nominatim;
  nominatim.addPlace("Leipzig", 51.3397, 12.3731);
  ASSERT_TRUE(geocode(nominatim.url(), "Leipzig"));
  nominatim.addPlace("Leipzig", 40.0, -80.0);
  auto answer = geocode(nominatim.url(), "Leipzig");
  ASSERT_TRUE(answer);
  ASSERT_TRUE(std::holds_alternative<Placemark>(*answer));
  EXPECT_NEAR(std::get<Placemark>(*answer).latitude, 40.0, 1e-6);
  EXPECT_EQ(nominatim.seen().size(), 2u);
  EXPECT_EQ(nominatim.seen()[0].userAgent.rfind("Porvane", 0), 0u) << nominatim.seen()[0].userAgent;
}

TEST(Geocoder, RetriesWithoutThePostalCodeOnce) {
  test::FakeNominatim nominatim;
  nominatim.addPlace("SPRINGFIELD, IL", 39.78, -89.65);
  auto answer = geocode(nominatim.url(), "SPRINGFIELD, IL 62701", "US");
  ASSERT_TRUE(answer);
  ASSERT_TRUE(std::holds_alternative<Placemark>(*answer));
  EXPECT_EQ(nominatim.queries(),
            (std::vector<std::string>{"SPRINGFIELD, IL 62701", "SPRINGFIELD, IL"}));

  // Found by neither: the second search's failure is the answer, and there is no third.
  test::FakeNominatim empty;
  answer = geocode(empty.url(), "NOWHERE, ZZ 00000");
  ASSERT_TRUE(answer);
  const auto* failure = std::get_if<Failure>(&*answer);
  ASSERT_TRUE(failure);
  EXPECT_FALSE(failure->connection);
  EXPECT_EQ(failure->message, "This location could not be found");
  EXPECT_EQ(empty.queries().size(), 2u);
}

TEST(Geocoder, UnknownPlaceFailsWithoutRetry) {
  test::FakeNominatim nominatim;
  auto answer = geocode(nominatim.url(), "Hub Nowhere");
  ASSERT_TRUE(answer);
  const auto* failure = std::get_if<Failure>(&*answer);
  ASSERT_TRUE(failure);
  EXPECT_FALSE(failure->connection);
  EXPECT_EQ(failure->message, "This location could not be found");
  EXPECT_EQ(nominatim.queries(), std::vector<std::string>{"Hub Nowhere"});
}

TEST(Geocoder, UnreachableOrFailingServiceIsAConnectionFailure) {
  test::FakeNominatim failing;
  failing.failWithStatus(503);
  auto answer = geocode(failing.url(), "SPRINGFIELD, IL 62701");
  ASSERT_TRUE(answer);
  const auto* failure = std::get_if<Failure>(&*answer);
  ASSERT_TRUE(failure);
  EXPECT_TRUE(failure->connection) << failure->message;
  // Not a place the service failed to find: no retry either.
  EXPECT_EQ(failing.seen().size(), 1u);

  std::string closedURL;
  {
    test::FakeNominatim gone;
    closedURL = gone.url();
  }
  answer = geocode(closedURL, "Leipzig");
  ASSERT_TRUE(answer);
  failure = std::get_if<Failure>(&*answer);
  ASSERT_TRUE(failure);
  EXPECT_TRUE(failure->connection) << failure->message;
}

TEST(Geocoder, RequestsOfOneThrottleStartASecondApart) {
  test::FakeNominatim nominatim;
  for (const char* name : {"A", "B", "C"}) nominatim.addPlace(name, 50, 10);
  auto throttle = std::make_shared<QBYGeocodeThrottle>();
  std::vector<std::unique_ptr<QBYGeocoderOperation>> operations;
  int answers = 0;
  for (const char* name : {"A", "B", "C"}) {
    operations.push_back(
        std::make_unique<QBYGeocoderOperation>(nominatim.url(), throttle, name, "", std::nullopt));
    operations.back()->start([&](const Answer&) { ++answers; });
  }
  ASSERT_TRUE(MainQueue::runUntil([&] { return answers == 3; }, 20));
  const auto& seen = nominatim.seen();
  ASSERT_EQ(seen.size(), 3u);
  for (std::size_t i = 1; i < seen.size(); ++i) {
    EXPECT_GE(seen[i].time - seen[i - 1].time, std::chrono::milliseconds(950));
  }
}

TEST(Geocoder, CancelledOperationNeverCallsBack) {
  test::FakeNominatim nominatim;
  nominatim.addPlace("A", 1, 1);
  nominatim.addPlace("B", 2, 2);
  auto throttle = std::make_shared<QBYGeocodeThrottle>();
  bool called = false;
  QBYGeocoderOperation first(nominatim.url(), throttle, "A", "", std::nullopt);
  QBYGeocoderOperation second(nominatim.url(), throttle, "B", "", std::nullopt);
  first.start([&](const Answer&) { called = true; });
  second.start([&](const Answer&) { called = true; });
  first.cancel();   // in flight
  second.cancel();  // still waiting for its turn
  MainQueue::runUntil([] { return false; }, 1.5);
  EXPECT_FALSE(called);
  EXPECT_LE(nominatim.seen().size(), 1u);

  // Without a place text nothing is asked.
  QBYGeocoderOperation empty(nominatim.url(), throttle, "", "", std::nullopt);
  empty.start([&](const Answer&) { called = true; });
  MainQueue::runUntil([] { return false; }, 0.2);
  EXPECT_FALSE(called);
}

}  // namespace
}  // namespace qby
