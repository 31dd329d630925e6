#include <gtest/gtest.h>

#include "manager/QBYLocationCache.h"
#include "manager/QBYRoutePlaces.h"
#include "model/Location.h"
#include "platform/Date.h"
#include "store/QBYDataStore.h"
#include "store/core/QBYManagedObjectContext.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

using Names = std::vector<std::string>;

TEST(RoutePlaces, NamesOfALine) {
  EXPECT_EQ(QBYPlaceNamesForDetail("", "A;A;;B"), (Names{"A", "B"}));
  EXPECT_EQ(QBYPlaceNamesForDetail("A", "A;A;;B"), (Names{"A", "B"}));
  EXPECT_EQ(QBYPlaceNamesForDetail("C", "A;A;;B"), (Names{"C", "A", "B"}));
  // Only a stop repeating the one just before is dropped; a return to an earlier stop stays.
  EXPECT_EQ(QBYPlaceNamesForDetail("", "A;B;A"), (Names{"A", "B", "A"}));
  EXPECT_EQ(QBYPlaceNamesForDetail("", ";; ;"), Names{});
  EXPECT_EQ(QBYPlaceNamesForDetail("Leipzig", ""), Names{"Leipzig"});
  EXPECT_EQ(QBYPlaceNamesForDetail("  ", ""), Names{});
}

TEST(RoutePlaces, TagsAndRegions) {
  EXPECT_EQ(QBYPlaceLookupTag("Köln", "Germany"), "köln, germany");
  EXPECT_EQ(QBYPlaceLookupTag("ÉVRY", ""), "évry");
  // Invalid bytes from a service become replacement characters, never a broken key.
  EXPECT_EQ(QBYLowercasePlaceText(std::string("A\xff") + "B"),
            "a\xef\xbf\xbd"
            "b");

  auto germany = QBYSearchRegionNamed("Germany");
  ASSERT_TRUE(germany);
  EXPECT_DOUBLE_EQ(germany->latitude, 51.0);
  EXPECT_DOUBLE_EQ(germany->longitude, 10.45);
  EXPECT_DOUBLE_EQ(germany->extent, 1000000);
  ASSERT_TRUE(QBYSearchRegionNamed("Hong Kong"));
  EXPECT_DOUBLE_EQ(QBYSearchRegionNamed("Hong Kong")->extent, 78000);
  EXPECT_FALSE(QBYSearchRegionNamed("germany"));  // the table's names, as services give them
  EXPECT_FALSE(QBYSearchRegionNamed(""));
  EXPECT_FALSE(QBYSearchRegionNamed("Atlantis"));
}

TEST(RoutePlaces, PostalCodeRetryText) {
  EXPECT_EQ(QBYPlaceTextWithoutPostalCode("SPRINGFIELD, IL 62701"), "SPRINGFIELD, IL");
  EXPECT_EQ(QBYPlaceTextWithoutPostalCode("Salt Lake City, ut 84101"), "Salt Lake City, ut");
  EXPECT_EQ(QBYPlaceTextWithoutPostalCode("NEW YORK NY 10001"), "NEW YORK NY");
  // Other shapes stay as they are, so the caller knows there is nothing to retry.
  EXPECT_EQ(QBYPlaceTextWithoutPostalCode("10001 NEW YORK"), "10001 NEW YORK");
  EXPECT_EQ(QBYPlaceTextWithoutPostalCode("Berlin"), "Berlin");
  EXPECT_EQ(QBYPlaceTextWithoutPostalCode("D-04109 Leipzig, DE 1"), "D-04109 Leipzig, DE 1");
  EXPECT_EQ(QBYPlaceTextWithoutPostalCode(""), "");
}

TEST(RoutePlaces, VaguePlacesMakeNoRoutePoint) {
  const QBYRouteCandidate leipzig{51.34, 12.37, 5000, false};
  const QBYRouteCandidate berlin{52.52, 13.40, 5000, false};
  const QBYRouteCandidate germany{51.0, 10.45, 600000, false};
  const QBYRouteCandidate lastGermany{51.0, 10.45, 600000, true};
  const QBYRouteCandidate farAway{-33.9, 151.2, 600000, false};

  // A lone vague place that ends the list is not a route point.
  EXPECT_TRUE(QBYAcceptedRoutePoints({lastGermany}).empty());
  // A vague place that starts a longer list is.
  EXPECT_EQ(QBYAcceptedRoutePoints({germany, leipzig}), (std::vector<std::size_t>{0, 1}));
  // A vague place that holds the place before it adds nothing; one that does not is a point.
  EXPECT_EQ(QBYAcceptedRoutePoints({leipzig, germany, berlin}), (std::vector<std::size_t>{0, 2}));
  EXPECT_EQ(QBYAcceptedRoutePoints({leipzig, farAway}), (std::vector<std::size_t>{0, 1}));
  // Exactly 500 km is not vague yet.
  const QBYRouteCandidate edge{51.0, 10.45, 500000, true};
  EXPECT_EQ(QBYAcceptedRoutePoints({edge}), (std::vector<std::size_t>{0}));
}

TEST(RoutePlaces, PinFraming) {
  EXPECT_DOUBLE_EQ(QBYPinFrameHalfSide(0), 7000);
  EXPECT_DOUBLE_EQ(QBYPinFrameHalfSide(3000), 7000);
  EXPECT_DOUBLE_EQ(QBYPinFrameHalfSide(7000), 7000);
  EXPECT_DOUBLE_EQ(QBYPinFrameHalfSide(50000), 50000);
  EXPECT_DOUBLE_EQ(QBYPinFrameHalfSide(100000), 100000);
  EXPECT_DOUBLE_EQ(QBYPinFrameHalfSide(300000), 150000);
  // Leipzig–Berlin is about 149 km.
  EXPECT_NEAR(QBYDistanceMetres(51.34, 12.37, 52.52, 13.40), 149000, 3000);
}

class LocationCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store = std::make_unique<QBYDataStore>(test::makeTempDir("places") / "Porvane.sqlite");
    ASSERT_TRUE(store->available());
  }
  QBYManagedObjectContext& context() { return *store->viewContext(); }
  std::size_t count() {
    QBYFetchRequest request;
    request.entityName = "Location";
    return context().countForFetchRequest(request).value_or(999);
  }

  std::unique_ptr<QBYDataStore> store;
};

TEST_F(LocationCacheTest, StoresLowerCasedAndTellsRegionsApart) {
  QBYLocationCache cache(context());
  cache.insertFound("LEIPZIG", "Germany", 51.34, 12.37, 4000);
  cache.insertFound("Leipzig", "", 39.1, -84.4, 0);
  ASSERT_TRUE(cache.save());

  auto german = cache.lookup("leipzig", "GERMANY");
  ASSERT_TRUE(german);
  EXPECT_EQ(german->name(), "leipzig");
  EXPECT_EQ(german->region(), "germany");
  EXPECT_DOUBLE_EQ(german->latitude(), 51.34);
  EXPECT_DOUBLE_EQ(german->radius(), 4000);
  auto unrestricted = cache.lookup("Leipzig", "");
  ASSERT_TRUE(unrestricted);
  EXPECT_FALSE(unrestricted->region());
  EXPECT_DOUBLE_EQ(unrestricted->latitude(), 39.1);
  EXPECT_FALSE(cache.lookup("Leipzig", "France"));
  EXPECT_FALSE(cache.lookup("Halle", "Germany"));
}

TEST_F(LocationCacheTest, ExpiryDeletesOnLookup) {
  const Date start = Date::now();
  {
    ClockOverride clock(start);
    QBYLocationCache cache(context());
    cache.insertFound("Found", "", 1, 2, 0);
    cache.insertFailed("Failed", "", "This location could not be found");
    cache.placeByHand("Moved", "", 3, 4);
    ASSERT_TRUE(cache.save());
  }
  QBYLocationCache cache(context());
  {
    ClockOverride clock(start.addingTimeInterval(6 * 86400 + 86000));
    EXPECT_TRUE(cache.lookup("failed", ""));
  }
  {
    // A failed place is asked again after 7 days, a found one is still good.
    ClockOverride clock(start.addingTimeInterval(7 * 86400 + 1));
    EXPECT_FALSE(cache.lookup("failed", ""));
    EXPECT_TRUE(cache.lookup("found", ""));
    ASSERT_TRUE(cache.save());
    EXPECT_EQ(count(), 2u);
  }
  {
    ClockOverride clock(start.addingTimeInterval(29 * 86400));
    EXPECT_TRUE(cache.lookup("found", ""));
  }
  {
    ClockOverride clock(start.addingTimeInterval(30 * 86400 + 1));
    EXPECT_FALSE(cache.lookup("found", ""));
    ASSERT_TRUE(cache.save());
  }
  {
    // A hand-placed place never expires.
    ClockOverride clock(start.addingTimeInterval(3650 * 86400.0));
    auto moved = cache.lookup("moved", "");
    ASSERT_TRUE(moved);
    EXPECT_TRUE(moved->moved());
  }
  EXPECT_EQ(count(), 1u);
}

TEST_F(LocationCacheTest, PlacingByHandReplacesEveryRecordAndForgetDropsIt) {
  QBYLocationCache cache(context());
  cache.insertFailed("Hub 7", "US", "This location could not be found");
  cache.insertFailed("Hub 7", "US", "This location could not be found");
  cache.insertFound("Hub 7", "", 1, 1, 0);
  ASSERT_TRUE(cache.save());
  auto placed = cache.placeByHand("HUB 7", "us", 40.7, -74.0);
  ASSERT_TRUE(cache.save());
  EXPECT_EQ(count(), 2u);  // the placed one and the one without region
  auto found = cache.lookup("hub 7", "US");
  ASSERT_TRUE(found);
  EXPECT_TRUE(found->moved());
  EXPECT_FALSE(found->errorMessage());
  EXPECT_DOUBLE_EQ(found->longitude(), -74.0);

  cache.forget("Hub 7", "US");
  ASSERT_TRUE(cache.save());
  EXPECT_FALSE(cache.lookup("hub 7", "US"));
  EXPECT_TRUE(cache.lookup("hub 7", ""));
}

}  // namespace
}  // namespace qby
