// The route map of the detail pane: a pin for the place of each tracking line and a line
// through each line's route. Place names are geocoded once and cached in the store (see
// QBYLocationCache); a pass clears the map, looks every name up, asks the geocoder for the
// missing ones (at most one request a second) and draws when the last answer is in. Without a
// network the cached places still show; nothing here blocks the window.
//
// Above the map, a banner names a place that could not be found and offers "Set Location",
// which drops a pin in the middle of the map for the user to drag into place; a pin the user
// placed offers "Reset Location" in its callout.
//
// Threads: main thread only; the store access goes through the view context given.
#pragma once

#include <gtkmm.h>
#include <shumate/shumate.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "QBYGeocoderOperation.h"
#include "QBYMapAnnotation.h"
#include "QBYTileSource.h"
#include "manager/QBYRoutePlaces.h"
#include "platform/GLibPtr.h"

namespace qby {

class Delivery;
class Detail;
class QBYManagedObjectContext;

class QBYMapView : public Gtk::Box {
 public:
  static constexpr std::int64_t kNoSelection = std::numeric_limits<std::int64_t>::max();

  // Options for the map's sources; the defaults are the user's settings.
  struct Options {
    std::string geocoderURL = QBYGeocoderOperation::configuredBaseURL();
    // "{z}/{x}/{y}" template of raster tiles; empty: no tiles (an empty canvas).
    std::string tileURL = configuredTileURL();
    std::filesystem::path tileCacheFolder = QBYTileSource::defaultCacheFolder();
    std::shared_ptr<QBYGeocodeThrottle> throttle;  // nothing: one of the view's own
  };

  // The shared setting "QBYMapTileURL", else OpenStreetMap's tiles (in test builds: none).
  static std::string configuredTileURL();

  explicit QBYMapView(std::shared_ptr<QBYManagedObjectContext> context);
  QBYMapView(std::shared_ptr<QBYManagedObjectContext> context, Options options);
  ~QBYMapView() override;

  // Shows the delivery (nullptr: none). Called whenever the selected delivery or its lines
  // change; while the shown delivery is being updated the map keeps what it shows.
  void updateMapForDelivery(const std::shared_ptr<Delivery>& delivery);

  void startFindingLocations();
  void finishFindingLocations();
  void clearLocations();
  void zoomToFit();
  void zoomToFitNow();
  // Drops a pin for the place named in the banner, to be dragged into place.
  void dropPin();
  // Forgets the hand-placed place of the pin and geocodes it again (after the confirmation,
  // when asked from the callout).
  void resetLocationForAnnotation(QBYMapAnnotation& annotation);
  void failWithMessage(const std::string& message, std::optional<std::int64_t> detailIndex);

  // Observations, for the pane and for tests.
  const std::vector<std::unique_ptr<QBYMapAnnotation>>& annotations() const { return annotations_; }
  QBYMapAnnotation* annotationForDetail(std::int64_t detailIndex) const;
  // The route points drawn per line index.
  const std::map<std::int64_t, std::vector<std::pair<double, double>>>& routes() const {
    return routes_;
  }
  bool isFindingLocations() const { return !locationsToFind_.empty(); }
  std::size_t passCount() const { return passCount_; }
  std::size_t geocoderRequests() const { return geocoderRequests_; }
  std::optional<std::string> bannerText() const;
  bool mapEnabled() const { return enabled_; }
  ShumateSimpleMap* map() const { return map_; }
  // Called after each finished pass (drawn or not).
  void setPassFinishedHandler(std::function<void()> handler) { passFinished_ = std::move(handler); }

  // Ends a drag of the pin at the coordinate, as the pointer would.
  void finishDrag(QBYMapAnnotation& annotation, double latitude, double longitude);

 private:
  struct Rect {  // in world points (Web Mercator, 256 per world at zoom 0)
    double minX = 0, minY = 0, maxX = 0, maxY = 0;
    bool null = true;
    void unite(const Rect& other);
  };
  struct DetailRects {
    Rect routeAndPin;
    Rect pin;
  };

  void geocoded(const std::string& tag, const std::string& name,
                const QBYGeocoderOperation::Answer& answer);
  void drawDetail(std::int64_t index, const std::vector<std::string>& names);
  void placePin(const std::shared_ptr<Detail>& detail, const std::shared_ptr<Location>& place);
  void selectAnnotation();
  void showBanner(const std::string& message, const std::string& place, bool offerSetLocation);
  void dismissBanner();
  void askToReset(QBYMapAnnotation& annotation);
  std::string detailsHashFor(const std::vector<std::shared_ptr<Detail>>& details) const;
  std::shared_ptr<Detail> detailWithIndex(std::int64_t index) const;

  std::shared_ptr<QBYManagedObjectContext> context_;
  Options options_;

  Gtk::Revealer bannerRevealer_;
  Gtk::Box banner_{Gtk::Orientation::HORIZONTAL, 12};
  Gtk::Label bannerLabel_;
  Gtk::Button setLocationButton_;
  ShumateSimpleMap* map_ = nullptr;  // owned by the widget tree
  ShumateMarkerLayer* markerLayer_ = nullptr;
  std::vector<GObjectPtr<ShumatePathLayer>> routeLayers_;

  std::optional<std::string> uuid_;
  std::vector<std::shared_ptr<Detail>> details_;
  std::optional<std::string> detailsHash_;
  std::optional<std::map<std::int64_t, std::vector<std::string>>> detailLocations_;
  std::set<std::string> locationsToFind_;
  std::string searchRegionName_;
  std::optional<QBYSearchRegion> searchRegion_;
  std::vector<std::unique_ptr<QBYGeocoderOperation>> updateQueue_;
  std::int64_t selectedIndex_ = kNoSelection;
  QBYMapAnnotation* selectedAnnotation_ = nullptr;
  std::optional<std::int64_t> failedDetailID_;
  Rect completeMapRect_;
  std::map<std::int64_t, DetailRects> detailMapRects_;
  std::size_t connectionFailures_ = 0;
  bool hasDroppedPin_ = false;
  bool enabled_ = false;
  std::vector<std::unique_ptr<QBYMapAnnotation>> annotations_;
  std::map<std::int64_t, std::vector<std::pair<double, double>>> routes_;
  std::size_t passCount_ = 0;
  std::size_t geocoderRequests_ = 0;
  std::function<void()> passFinished_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace qby
