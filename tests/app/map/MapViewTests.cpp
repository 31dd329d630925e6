// The map widget under Xvfb: a delivery's places geocoded through a Nominatim on loopback,
// cached in the store, drawn as pins and routes; failures, hand-placed pins, offline use and
// the pause while the shown delivery updates. Tiles come from a fixture server that has none.
#include <adwaita.h>
#include <gtest/gtest.h>
#include <gtkmm/init.h>

#include <algorithm>
#include <set>
#include <string>

#include "FakeNominatim.h"
#include "QBYMapView.h"
#include "manager/QBYLocationCache.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "model/Location.h"
#include "store/QBYDataStore.h"
#include "store/core/QBYManagedObjectContext.h"
#include "support/FixtureServer.h"
#include "support/GtkTestSupport.h"
#include "support/TestSupport.h"

namespace qby {
namespace {

class MapViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::initGtk());
    Gtk::init_gtkmm_internals();
    adw_init();
    store = std::make_unique<QBYDataStore>(test::makeTempDir("map") / "Porvane.sqlite");
    ASSERT_TRUE(store->available());
    ASSERT_TRUE(tiles.listening());
  }
  void TearDown() override {
    if (window) gtk_window_set_child(window, nullptr);
    view.reset();
    if (window) gtk_window_destroy(window);
  }

  QBYMapView& makeView(const std::string& geocoderURL) {
    QBYMapView::Options options;
    options.geocoderURL = geocoderURL;
    options.tileURL = tiles.url("/tiles/{z}/{x}/{y}.png");
    // The one-a-second spacing has its own test; here it would only slow the cases down.
    options.throttle = std::make_shared<QBYGeocodeThrottle>(0);
    if (window) gtk_window_set_child(window, nullptr);
    view = std::make_unique<QBYMapView>(store->viewContext(), options);
    view->setPassFinishedHandler([this] { ++passesFinished; });
    if (!window) {
      window = GTK_WINDOW(gtk_window_new());
      gtk_window_set_default_size(window, 640, 480);
    }
    gtk_window_set_child(window, GTK_WIDGET(view->gobj()));
    gtk_window_present(window);
    test::iterateFor(std::chrono::milliseconds(100));
    return *view;
  }

  std::shared_ptr<Delivery> makeDelivery(
      const std::vector<std::pair<std::string, std::string>>& lines) {
    auto& context = *store->viewContext();
    auto delivery = context.insert<Delivery>("Delivery");
    delivery->setUuid("map-" + std::to_string(++deliveries));
    delivery->setName("Parcel");
    std::int64_t index = 0;
    for (const auto& [location, route] : lines) {
      auto detail = context.insert<Detail>("Detail");
      detail->setIndex(index++);
      detail->setItemName("Parcel");
      detail->setShippedText("Line " + std::to_string(index));
      detail->setLocation(location);
      if (!route.empty()) detail->setRoute(route);
      delivery->addDetail(detail);
    }
    EXPECT_TRUE(context.save());
    return delivery;
  }

  void show(const std::shared_ptr<Delivery>& delivery) {
    const std::size_t before = passesFinished;
    view->updateMapForDelivery(delivery);
    ASSERT_TRUE(
        test::iterateUntil([&] { return passesFinished > before; }, std::chrono::seconds(20)));
  }

  std::size_t locationCount() {
    QBYFetchRequest request;
    request.entityName = "Location";
    return store->viewContext()->countForFetchRequest(request).value_or(999);
  }

  test::FixtureServer tiles;
  std::unique_ptr<QBYDataStore> store;
  std::unique_ptr<QBYMapView> view;
  GtkWindow* window = nullptr;
  std::size_t passesFinished = 0;
  int deliveries = 0;
};

TEST_F(MapViewTest, DrawsPinsAndRoutesOnceGeocodedAndDrawsFromTheCacheAfterwards) {
  test::FakeNominatim nominatim;
  nominatim.addPlace("Berlin", 52.52, 13.405);
  nominatim.addPlace("Leipzig", 51.34, 12.37);
  nominatim.addPlace("Frankfurt", 50.11, 8.68);
  nominatim.addPlace("Erfurt", 50.98, 11.03);
  auto& map = makeView(nominatim.url());
  auto delivery = makeDelivery({{"Frankfurt", ""},
                                {"Leipzig", "Frankfurt;Erfurt;Erfurt;;Leipzig"},
                                {"Berlin", "Leipzig;Berlin"}});
  show(delivery);

  // Each place asked once, however many lines name it.
  auto queries = nominatim.queries();
  std::sort(queries.begin(), queries.end());
  EXPECT_EQ(queries, (std::vector<std::string>{"Berlin", "Erfurt", "Frankfurt", "Leipzig"}));
  EXPECT_EQ(locationCount(), 4u);
  ASSERT_EQ(map.annotations().size(), 3u);
  auto* leipzig = map.annotationForDetail(1);
  ASSERT_TRUE(leipzig);
  EXPECT_NEAR(leipzig->latitude(), 51.34, 1e-6);
  EXPECT_EQ(leipzig->title(), "Parcel");
  EXPECT_EQ(leipzig->subtitle(), "Line 2");
  // Line 2: Leipzig first (its own place), then the route's stops with the repeat dropped.
  ASSERT_TRUE(map.routes().count(1));
  EXPECT_EQ(map.routes().at(1).size(), 4u);
  EXPECT_NEAR(map.routes().at(1)[1].first, 50.11, 1e-6);
  // Line 3: Berlin, then its route Leipzig → Berlin (only a repeat of the stop just before
  // is dropped).
  EXPECT_EQ(map.routes().at(2).size(), 3u);
  EXPECT_FALSE(map.routes().count(0));
  EXPECT_FALSE(map.bannerText());
  EXPECT_TRUE(map.mapEnabled());
  // The selected line (the first) is framed: its pin, with room of 7 km around it.
  ShumateViewport* viewport = shumate_simple_map_get_viewport(map.map());
  EXPECT_NEAR(shumate_location_get_latitude(SHUMATE_LOCATION(viewport)), 50.11, 0.01);
  EXPECT_NEAR(shumate_location_get_longitude(SHUMATE_LOCATION(viewport)), 8.68, 0.01);
  const double pinZoom = shumate_viewport_get_zoom_level(viewport);
  EXPECT_GT(pinZoom, 8);
  EXPECT_LT(pinZoom, 14);

  // Selecting the second line only reselects and reframes: its route and pin together.
  delivery->setSelected(1);
  map.updateMapForDelivery(delivery);
  EXPECT_EQ(map.passCount(), 1u);
  EXPECT_TRUE(map.annotationForDetail(1)->selected());
  EXPECT_FALSE(map.annotationForDetail(0)->selected());
  const double routeLatitude = shumate_location_get_latitude(SHUMATE_LOCATION(viewport));
  EXPECT_GT(routeLatitude, 50.11);
  EXPECT_LT(routeLatitude, 51.34);
  EXPECT_LT(shumate_viewport_get_zoom_level(viewport), pinZoom);
  test::iterateFor(std::chrono::milliseconds(300));
  EXPECT_FALSE(test::saveScreenshot(GTK_WIDGET(map.gobj()), "map-route").empty());

  // Showing it again, even in a new view, draws from the store without asking.
  const std::size_t asked = nominatim.seen().size();
  auto& again = makeView(nominatim.url());
  show(delivery);
  EXPECT_EQ(nominatim.seen().size(), asked);
  EXPECT_EQ(again.annotations().size(), 3u);
  EXPECT_EQ(again.routes().size(), 2u);
}

TEST_F(MapViewTest, NoRedrawWhileTheShownDeliveryUpdates) {
  test::FakeNominatim nominatim;
  nominatim.addPlace("Leipzig", 51.34, 12.37);
  nominatim.addPlace("Halle", 51.48, 11.97);
  auto& map = makeView(nominatim.url());
  auto delivery = makeDelivery({{"Leipzig", ""}});
  show(delivery);
  ASSERT_EQ(map.passCount(), 1u);

  delivery->setUpdating(true);
  auto detail = store->viewContext()->insert<Detail>("Detail");
  detail->setIndex(1);
  detail->setLocation("Halle");
  delivery->addDetail(detail);
  for (int i = 0; i < 3; ++i) map.updateMapForDelivery(delivery);
  test::iterateFor(std::chrono::milliseconds(200));
  EXPECT_EQ(map.passCount(), 1u);
  EXPECT_EQ(map.annotations().size(), 1u);
  EXPECT_EQ(nominatim.seen().size(), 1u);

  // Settled, the new line is drawn.
  delivery->setUpdating(false);
  show(delivery);
  EXPECT_EQ(map.passCount(), 2u);
  EXPECT_EQ(map.annotations().size(), 2u);

  // Another delivery being updated is shown at once; the same one unchanged is only reframed.
  auto other = makeDelivery({{"Halle", ""}});
  other->setUpdating(true);
  show(other);
  EXPECT_EQ(map.passCount(), 3u);
  other->setUpdating(false);
  map.updateMapForDelivery(other);
  EXPECT_EQ(map.passCount(), 3u);
}

TEST_F(MapViewTest, FailedPlaceShowsTheBannerAndIsSetAndResetByHand) {
  test::FakeNominatim nominatim;
  nominatim.addPlace("Leipzig", 51.34, 12.37);
  auto& map = makeView(nominatim.url());
  auto delivery = makeDelivery({{"Leipzig", ""}, {"Depot 7", ""}});
  show(delivery);
  ASSERT_TRUE(map.bannerText());
  EXPECT_EQ(*map.bannerText(), "Depot 7: This location could not be found");
  EXPECT_EQ(locationCount(), 2u);  // the failure is cached too
  QBYLocationCache cache(*store->viewContext());
  auto failed = cache.lookup("depot 7", "");
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->errorMessage(), "This location could not be found");
  test::iterateFor(std::chrono::milliseconds(300));
  EXPECT_FALSE(test::saveScreenshot(GTK_WIDGET(map.gobj()), "map-not-found").empty());

  // "Set Location" drops a pin to drag.
  GtkWidget* setLocation = test::findWidget(GTK_WIDGET(map.gobj()), "Set Location");
  ASSERT_TRUE(setLocation);
  if (!GTK_IS_BUTTON(setLocation))
    setLocation = gtk_widget_get_ancestor(setLocation, GTK_TYPE_BUTTON);
  ASSERT_TRUE(setLocation);
  ASSERT_TRUE(gtk_widget_get_visible(setLocation));
  g_signal_emit_by_name(setLocation, "clicked");
  EXPECT_FALSE(map.bannerText());
  auto* dropped = map.annotationForDetail(1);
  ASSERT_TRUE(dropped);
  EXPECT_TRUE(dropped->dropped());
  EXPECT_EQ(dropped->title(), "Depot 7");
  EXPECT_EQ(dropped->subtitle(), "Drag this pin to the correct location");

  map.finishDrag(*dropped, 51.30, 12.40);
  test::iterateUntil([&] { return map.annotationForDetail(1) != nullptr; });
  auto placed = cache.lookup("Depot 7", "");
  ASSERT_TRUE(placed);
  EXPECT_TRUE(placed->moved());
  EXPECT_FALSE(placed->errorMessage());
  EXPECT_DOUBLE_EQ(placed->latitude(), 51.30);
  EXPECT_DOUBLE_EQ(placed->longitude(), 12.40);
  auto* pin = map.annotationForDetail(1);
  ASSERT_TRUE(pin);
  EXPECT_FALSE(pin->dropped());
  EXPECT_TRUE(pin->showsReset());
  EXPECT_FALSE(map.bannerText());
  test::iterateFor(std::chrono::milliseconds(300));
  EXPECT_FALSE(test::saveScreenshot(GTK_WIDGET(map.gobj()), "map-placed-by-hand").empty());

  // Reset: the hand-placed place is forgotten and the geocoder is asked again.
  const std::size_t asked = nominatim.seen().size();
  const std::size_t before = passesFinished;
  map.resetLocationForAnnotation(*pin);
  ASSERT_TRUE(test::iterateUntil([&] { return passesFinished > before; }));
  EXPECT_EQ(nominatim.seen().size(), asked + 1);
  EXPECT_EQ(nominatim.queries().back(), "Depot 7");
  auto again = cache.lookup("Depot 7", "");
  ASSERT_TRUE(again);
  EXPECT_FALSE(again->moved());
  EXPECT_TRUE(again->errorMessage());
}

TEST_F(MapViewTest, OfflineShowsCachedPlacesStoresNothingAndTriesAgainNextTime) {
  std::string closedURL;
  {
    test::FakeNominatim gone;
    closedURL = gone.url();
  }
  {
    QBYLocationCache cache(*store->viewContext());
    cache.insertFound("Leipzig", "", 51.34, 12.37, 0);
    ASSERT_TRUE(cache.save());
  }
  auto& map = makeView(closedURL);
  auto delivery = makeDelivery({{"Leipzig", ""}, {"Erfurt", "Leipzig;Erfurt"}});
  show(delivery);
  EXPECT_EQ(map.annotations().size(), 1u);
  EXPECT_TRUE(map.annotationForDetail(0));
  EXPECT_EQ(locationCount(), 1u);  // nothing cached for the place that could not be asked
  ASSERT_TRUE(map.bannerText());
  EXPECT_EQ(*map.bannerText(), "Couldn’t connect");
  test::iterateFor(std::chrono::milliseconds(300));
  EXPECT_FALSE(test::saveScreenshot(GTK_WIDGET(map.gobj()), "map-offline").empty());

  // Every line failed to connect? Here one did, and the other was cached: the pass counts as
  // done, so the same showing is only reframed...
  const std::size_t requests = map.geocoderRequests();
  map.updateMapForDelivery(delivery);
  EXPECT_EQ(map.geocoderRequests(), requests);

  // ...whereas a delivery whose every place failed to connect is asked again when shown again.
  auto lonely = makeDelivery({{"Erfurt", ""}});
  show(lonely);
  const std::size_t afterFirst = map.geocoderRequests();
  show(lonely);
  EXPECT_EQ(map.geocoderRequests(), afterFirst + 1);
}

TEST_F(MapViewTest, VaguePlaceGetsAPinButNoRoutePoint) {
  {
    QBYLocationCache cache(*store->viewContext());
    cache.insertFound("Germany", "", 51.0, 10.45, 600000);
    cache.insertFound("Leipzig", "", 51.34, 12.37, 3000);
    ASSERT_TRUE(cache.save());
  }
  test::FakeNominatim nominatim;
  auto& map = makeView(nominatim.url());
  // Line 1: Leipzig then the country that holds it: no second route point, so no line.
  auto delivery = makeDelivery({{"Germany", ""}, {"Leipzig", "Germany"}});
  show(delivery);
  EXPECT_EQ(nominatim.seen().size(), 0u);
  EXPECT_EQ(map.annotations().size(), 2u);
  EXPECT_TRUE(map.routes().empty());
}

TEST_F(MapViewTest, DeliveryWithoutPlacesSaysLocationUnknown) {
  test::FakeNominatim nominatim;
  auto& map = makeView(nominatim.url());
  auto delivery = makeDelivery({{"", ""}});
  show(delivery);
  ASSERT_TRUE(map.bannerText());
  EXPECT_EQ(*map.bannerText(), "Location unknown");
  EXPECT_FALSE(test::findWidget(GTK_WIDGET(map.gobj()), "Set Location") &&
               gtk_widget_get_visible(test::findWidget(GTK_WIDGET(map.gobj()), "Set Location")));
  map.updateMapForDelivery(nullptr);
  EXPECT_TRUE(map.annotations().empty());
  EXPECT_FALSE(map.bannerText());
}

}  // namespace
}  // namespace qby

namespace qby {
namespace {

TEST_F(MapViewTest, TilesComeWithOurUserAgentAndAreCachedOnDisk) {
  // A plain tile, as a tile server sends one.
  GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, FALSE, 8, 256, 256);
  gdk_pixbuf_fill(pixbuf, 0xe8e4dcff);
  gchar* png = nullptr;
  gsize pngSize = 0;
  ASSERT_TRUE(gdk_pixbuf_save_to_buffer(pixbuf, &png, &pngSize, "png", nullptr, nullptr));
  g_object_unref(pixbuf);
  tiles.setFallback({200, "image/png", std::string(png, pngSize)});
  g_free(png);
  {
    QBYLocationCache cache(*store->viewContext());
    cache.insertFound("Leipzig", "", 51.34, 12.37, 0);
    ASSERT_TRUE(cache.save());
  }
  test::FakeNominatim nominatim;
  auto& map = makeView(nominatim.url());
  show(makeDelivery({{"Leipzig", ""}}));
  ASSERT_TRUE(test::iterateUntil([&] { return tiles.requests() >= 4; }));
  // The view goes on asking for tiles while it settles; on a busy machine that takes a while.
  std::size_t fetched = 0;
  ASSERT_TRUE(test::iterateUntil(
      [&] {
        const std::size_t before = tiles.requests();
        test::iterateFor(std::chrono::milliseconds(700));
        fetched = tiles.requests();
        return fetched == before;
      },
      std::chrono::seconds(20)));
  for (const auto& request : tiles.seen()) {
    auto agent = request.headers.find("User-Agent");
    ASSERT_NE(agent, request.headers.end());
    EXPECT_EQ(agent->second.rfind("Porvane", 0), 0u) << agent->second;
  }
  // Tiles are kept on disk as <zoom>/<x>/<y>.png below the cache folder.
  const auto folder = QBYTileSource::defaultCacheFolder();
  std::set<std::string> cached;
  std::error_code error;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, error)) {
    if (!entry.is_regular_file() || entry.path().extension() != ".png") continue;
    const auto y = entry.path();
    const auto x = y.parent_path();
    const auto zoom = x.parent_path();
    cached.insert("/tiles/" + zoom.filename().string() + "/" + x.filename().string() + "/" +
                  y.filename().string());
  }
  EXPECT_GE(cached.size(), 1u) << folder;
  // The names line up with what the server was asked for, or the check below would see nothing.
  const auto first = tiles.seen();
  EXPECT_TRUE(std::any_of(first.begin(), first.end(),
                          [&](const auto& request) { return cached.count(request.path) > 0; }));
  EXPECT_FALSE(test::saveScreenshot(GTK_WIDGET(map.gobj()), "map-tiles").empty());

  // The same tiles again, in a new map: from the disk, not the server. Tiles whose download was
  // given up while the view zoomed past them were never stored, and may be asked for again.
  const std::size_t before = tiles.requests();
  makeView(nominatim.url());
  show(makeDelivery({{"Leipzig", ""}}));
  test::iterateFor(std::chrono::milliseconds(800));
  const auto seen = tiles.seen();
  for (std::size_t i = before; i < seen.size(); ++i)
    EXPECT_EQ(cached.count(seen[i].path), 0u) << "asked again although stored: " << seen[i].path;
}

TEST_F(MapViewTest, WithoutConfiguredServicesNothingIsAskedAndCachedPlacesStillShow) {
  // No tile or geocoder address in the settings: a test build reaches no public service.
  EXPECT_EQ(QBYMapView::configuredTileURL(), "");
  EXPECT_EQ(QBYGeocoderOperation::configuredBaseURL(), "");
  {
    QBYLocationCache cache(*store->viewContext());
    cache.insertFound("Leipzig", "", 51.34, 12.37, 0);
    ASSERT_TRUE(cache.save());
  }
  view = std::make_unique<QBYMapView>(store->viewContext());
  view->setPassFinishedHandler([this] { ++passesFinished; });
  window = GTK_WINDOW(gtk_window_new());
  gtk_window_set_child(window, GTK_WIDGET(view->gobj()));
  gtk_window_present(window);
  show(makeDelivery({{"Leipzig", ""}, {"Halle", ""}}));
  EXPECT_EQ(view->annotations().size(), 1u);
  ASSERT_TRUE(view->bannerText());
  EXPECT_EQ(*view->bannerText(), "Couldn’t connect");
  EXPECT_EQ(locationCount(), 1u);
}

}  // namespace
}  // namespace qby
