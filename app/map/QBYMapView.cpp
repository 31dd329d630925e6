// libshumate 1.0's user-agent header lacks C linkage; include it as C before anything else
// includes it.
extern "C" {
#include <shumate/shumate-user-agent.h>
}

#include "QBYMapView.h"

#include <adwaita.h>

#include <algorithm>
#include <cmath>

#include "QBYMapRouteRenderer.h"
#include "QBYTileSource.h"
#include "manager/QBYLocationCache.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "model/Location.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/QBYUserDefaults.h"
#include "store/core/QBYManagedObjectContext.h"

namespace qby {
namespace {

constexpr double kWorldPoints = 256;  // the world's width in points at zoom level 0
constexpr double kEarthCircumference = 2 * M_PI * 6378137.0;
constexpr double kInset = 40;  // pixels kept free around what is framed
constexpr double kMinZoom = 2;
constexpr double kMaxZoom = 16;

double clampLatitude(double latitude) {
  return std::clamp(latitude, -85.0511, 85.0511);
}

double pointX(double longitude) {
  return (longitude + 180) / 360 * kWorldPoints;
}

double pointY(double latitude) {
  const double phi = clampLatitude(latitude) * M_PI / 180;
  return (1 - std::log(std::tan(phi) + 1 / std::cos(phi)) / M_PI) / 2 * kWorldPoints;
}

double longitudeAt(double x) {
  return x / kWorldPoints * 360 - 180;
}

double latitudeAt(double y) {
  const double n = M_PI * (1 - 2 * y / kWorldPoints);
  return std::atan(std::sinh(n)) * 180 / M_PI;
}

std::string text(const std::optional<std::string>& value) {
  return value.value_or(std::string());
}

void installPinStyle() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  auto provider = Gtk::CssProvider::create();
  provider->load_from_data(
      ".qby-map-pin { background: #2ec27e; color: white; min-width: 24px; min-height: 24px;"
      " padding: 2px; }"
      ".qby-map-pin-selected { background: #26a269; outline: 2px solid white; }");
  Gtk::StyleContext::add_provider_for_display(Gdk::Display::get_default(), provider,
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

}  // namespace

void QBYMapView::Rect::unite(const Rect& other) {
  if (other.null) return;
  if (null) {
    *this = other;
    return;
  }
  minX = std::min(minX, other.minX);
  minY = std::min(minY, other.minY);
  maxX = std::max(maxX, other.maxX);
  maxY = std::max(maxY, other.maxY);
}

std::string QBYMapView::configuredTileURL() {
  auto url = QBYUserDefaults::sharedDefaults().stringForKey("QBYMapTileURL");
  if (url && !url->empty()) return *url;
#if PORVANE_TEST_HOOKS
  // Test programs never load tiles from the internet.
  return std::string();
#else
  return "https://tile.openstreetmap.org/{z}/{x}/{y}.png";
#endif
}

QBYMapView::QBYMapView(std::shared_ptr<QBYManagedObjectContext> context)
    : QBYMapView(std::move(context), Options()) {}

QBYMapView::QBYMapView(std::shared_ptr<QBYManagedObjectContext> context, Options options)
    : Gtk::Box(Gtk::Orientation::VERTICAL),
      context_(std::move(context)),
      options_(std::move(options)) {
  if (!options_.throttle) options_.throttle = std::make_shared<QBYGeocodeThrottle>();
  installPinStyle();

  bannerLabel_.set_wrap(true);
  bannerLabel_.set_xalign(0);
  bannerLabel_.set_hexpand(true);
  setLocationButton_.set_label(QBYLocalizedString("Set Location"));
  setLocationButton_.set_valign(Gtk::Align::CENTER);
  setLocationButton_.signal_clicked().connect([this] { dropPin(); });
  banner_.add_css_class("toolbar");
  banner_.set_margin_start(12);
  banner_.set_margin_end(12);
  banner_.append(bannerLabel_);
  banner_.append(setLocationButton_);
  bannerRevealer_.set_child(banner_);
  bannerRevealer_.set_reveal_child(false);
  bannerRevealer_.set_transition_duration(0);
  append(bannerRevealer_);

  // Tiles go out with the product's name, as the OpenStreetMap tile policy asks.
  shumate_set_user_agent("Porvane (Linux; route map)");
  map_ = shumate_simple_map_new();
  gtk_widget_set_hexpand(GTK_WIDGET(map_), TRUE);
  gtk_widget_set_vexpand(GTK_WIDGET(map_), TRUE);
  gtk_widget_set_size_request(GTK_WIDGET(map_), 240, 200);
  auto tiles = QBYTileSource::create(options_.tileURL, options_.tileCacheFolder);
  ShumateRasterRenderer* renderer = shumate_raster_renderer_new_full(
      "porvane-osm", "OpenStreetMap", "© OpenStreetMap contributors",
      "https://www.openstreetmap.org/copyright", 0, 19, 256, SHUMATE_MAP_PROJECTION_MERCATOR,
      tiles.get());
  ShumateViewport* viewport = shumate_simple_map_get_viewport(map_);
  if (options_.tileURL.empty()) {
    // No tiles: the source only gives the map its projection and zoom range.
    shumate_viewport_set_reference_map_source(viewport, SHUMATE_MAP_SOURCE(renderer));
  } else {
    shumate_simple_map_set_map_source(map_, SHUMATE_MAP_SOURCE(renderer));
  }
  g_object_unref(renderer);
  markerLayer_ = shumate_marker_layer_new(viewport);
  shumate_simple_map_add_overlay_layer(map_, SHUMATE_LAYER(markerLayer_));
  gtk_box_append(GTK_BOX(gobj()), GTK_WIDGET(map_));
  gtk_accessible_update_property(GTK_ACCESSIBLE(gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 QBYLocalizedString("Map").c_str(), -1);
  zoomToFitNow();
}

QBYMapView::~QBYMapView() {
  *alive_ = false;
  updateQueue_.clear();
  if (markerLayer_) shumate_marker_layer_remove_all(markerLayer_);
  annotations_.clear();
}

std::string QBYMapView::detailsHashFor(const std::vector<std::shared_ptr<Detail>>& details) const {
  std::string joined;
  for (const auto& detail : details) {
    joined += text(detail->itemName()) + text(detail->shippedText()) + text(detail->location()) +
              text(detail->route());
  }
  return std::to_string(std::hash<std::string>()(joined));
}

std::shared_ptr<Detail> QBYMapView::detailWithIndex(std::int64_t index) const {
  for (const auto& detail : details_) {
    if (detail->index() == index) return detail;
  }
  return nullptr;
}

void QBYMapView::updateMapForDelivery(const std::shared_ptr<Delivery>& delivery) {
  if (!delivery || delivery->details().empty()) {
    uuid_.reset();
    details_.clear();
    selectedIndex_ = kNoSelection;
    clearLocations();
    zoomToFit();
    return;
  }
  const bool settled = !delivery->isUpdating() || delivery->archived();
  const bool sameDelivery = uuid_ && delivery->uuid() == uuid_;
  // An update of the shown delivery rewrites its lines one by one; redrawing each time would
  // make the map flicker and ask the geocoder for half-written places.
  if (!settled && sameDelivery) return;

  std::vector<std::shared_ptr<Detail>> details;
  for (auto& detail : delivery->sortedDetails()) {
    if (!text(detail->location()).empty() || !text(detail->route()).empty()) {
      details.push_back(detail);
    }
  }
  uuid_ = delivery->uuid();
  details_ = std::move(details);
  searchRegionName_ = text(delivery->regionName());
  searchRegion_ = QBYSearchRegionNamed(searchRegionName_);
  const std::int64_t previousSelection = selectedIndex_;
  selectedIndex_ = delivery->selected();

  const bool locationsHaveChanged = detailsHashFor(details_) != detailsHash_;
  if (sameDelivery && !locationsHaveChanged) {
    if (selectedIndex_ != previousSelection) {
      selectedAnnotation_ = nullptr;
      for (auto& annotation : annotations_) {
        annotation->setSelected(annotation->detailIndex() == selectedIndex_);
        if (annotation->selected()) selectedAnnotation_ = annotation.get();
      }
    }
    zoomToFit();
    return;
  }
  startFindingLocations();
}

void QBYMapView::startFindingLocations() {
  clearLocations();
  ++passCount_;
  detailsHash_ = detailsHashFor(details_);

  std::map<std::int64_t, std::vector<std::string>> detailLocations;
  bool anyName = false;
  for (const auto& detail : details_) {
    auto names = QBYPlaceNamesForDetail(text(detail->location()), text(detail->route()));
    anyName = anyName || !names.empty();
    detailLocations[detail->index()] = std::move(names);
  }
  detailLocations_ = detailLocations;

  QBYLocationCache cache(*context_);
  std::vector<std::pair<std::string, std::string>> toAsk;  // tag, name
  for (const auto& [index, names] : detailLocations) {
    for (const auto& name : names) {
      if (cache.lookup(name, searchRegionName_)) continue;
      const std::string tag = QBYPlaceLookupTag(name, searchRegionName_);
      if (locationsToFind_.insert(tag).second) toAsk.emplace_back(tag, name);
    }
  }
  // Expired records looked up above are deleted now, so a later save cannot revive them.
  cache.save();

  if (!anyName) {
    failWithMessage(QBYLocalizedString("Location unknown"), std::nullopt);
    finishFindingLocations();
    return;
  }
  if (toAsk.empty()) {
    finishFindingLocations();
    return;
  }
  for (const auto& [tag, name] : toAsk) {
    auto operation = std::make_unique<QBYGeocoderOperation>(options_.geocoderURL, options_.throttle,
                                                            name, searchRegionName_, searchRegion_);
    ++geocoderRequests_;
    std::weak_ptr<bool> alive = alive_;
    operation->start([this, alive, tag = tag, name = name](const QBYGeocoderOperation::Answer& a) {
      if (alive.expired() || !*alive.lock()) return;
      geocoded(tag, name, a);
    });
    updateQueue_.push_back(std::move(operation));
  }
}

void QBYMapView::geocoded(const std::string& tag, const std::string& name,
                          const QBYGeocoderOperation::Answer& answer) {
  locationsToFind_.erase(tag);
  QBYLocationCache cache(*context_);
  if (const auto* placemark = std::get_if<QBYGeocoderOperation::Placemark>(&answer)) {
    cache.insertFound(name, searchRegionName_, placemark->latitude, placemark->longitude,
                      placemark->radius);
  } else {
    const auto& failure = std::get<QBYGeocoderOperation::Failure>(answer);
    if (failure.connection) {
      ++connectionFailures_;
    } else {
      cache.insertFailed(name, searchRegionName_, failure.message);
    }
  }
  finishFindingLocations();
}

void QBYMapView::finishFindingLocations() {
  if (!locationsToFind_.empty()) return;
  if (detailLocations_) {
    QBYLocationCache(*context_).save();
    completeMapRect_ = Rect();
    const auto detailLocations = *detailLocations_;
    for (const auto& [index, names] : detailLocations) drawDetail(index, names);
    detailLocations_.reset();
  }
  // Nothing was learnt when the service could not be reached: let the next showing ask again.
  if (!details_.empty() && details_.size() == connectionFailures_) detailsHash_.reset();
  zoomToFit();
  if (passFinished_) passFinished_();
}

void QBYMapView::drawDetail(std::int64_t index, const std::vector<std::string>& names) {
  auto detail = detailWithIndex(index);
  if (!detail) return;
  QBYLocationCache cache(*context_);
  std::vector<QBYRouteCandidate> candidates;
  for (std::size_t i = 0; i < names.size(); ++i) {
    auto place = cache.lookup(names[i], searchRegionName_);
    if (!place || place->errorMessage()) continue;
    candidates.push_back(
        {place->latitude(), place->longitude(), place->radius(), i + 1 == names.size()});
  }
  DetailRects rects;
  const auto accepted = QBYAcceptedRoutePoints(candidates);
  if (accepted.size() >= 2) {
    std::vector<std::pair<double, double>> points;
    for (std::size_t i : accepted) {
      points.emplace_back(candidates[i].latitude, candidates[i].longitude);
      const double x = pointX(candidates[i].longitude);
      const double y = pointY(candidates[i].latitude);
      rects.routeAndPin.unite(Rect{x, y, x, y, false});
    }
    const bool dark = adw_style_manager_get_dark(adw_style_manager_get_default());
    auto layers =
        QBYMapRouteRenderer::layersForRoute(shumate_simple_map_get_viewport(map_), points, dark);
    for (auto& layer : layers) {
      // Under the pins, so a pin stays clickable where a line crosses it.
      shumate_map_insert_layer_behind(shumate_simple_map_get_map(map_), SHUMATE_LAYER(layer.get()),
                                      SHUMATE_LAYER(markerLayer_));
      routeLayers_.push_back(std::move(layer));
    }
    // A layer added to a shown map gets no size until the map is laid out again.
    gtk_widget_queue_resize(GTK_WIDGET(shumate_simple_map_get_map(map_)));
    routes_[index] = std::move(points);
  }

  const std::string location = text(detail->location());
  auto place = cache.lookup(location, searchRegionName_);
  if (!place) {
    // A place missing only because the service could not be reached is not unknown.
    failWithMessage(connectionFailures_ > 0 ? QBYLocalizedString("Couldn’t connect")
                                            : QBYLocalizedString("Location unknown"),
                    std::nullopt);
  } else if (auto message = place->errorMessage()) {
    failWithMessage(*message, index);
  } else {
    placePin(detail, place);
    const double halfSide = QBYPinFrameHalfSide(place->radius());
    const double metresPerPoint = std::cos(clampLatitude(place->latitude()) * M_PI / 180) *
                                  kEarthCircumference / kWorldPoints;
    const double half = halfSide / metresPerPoint;
    const double x = pointX(place->longitude());
    const double y = pointY(place->latitude());
    rects.pin = Rect{x - half, y - half, x + half, y + half, false};
    rects.routeAndPin.unite(rects.pin);
  }
  completeMapRect_.unite(rects.routeAndPin);
  detailMapRects_[index] = rects;
}

void QBYMapView::placePin(const std::shared_ptr<Detail>& detail,
                          const std::shared_ptr<Location>& place) {
  if (QBYLowercasePlaceText(text(detail->location())) != text(place->name())) return;
  QBYMapAnnotation::Callbacks callbacks;
  std::weak_ptr<bool> alive = alive_;
  callbacks.dragEnded = [this, alive](QBYMapAnnotation& annotation) {
    const std::int64_t index = annotation.detailIndex();
    // The pass started by the drag replaces this pin: leave its handler first.
    Glib::signal_idle().connect_once([this, alive, index] {
      if (alive.expired() || !*alive.lock()) return;
      if (auto* pin = annotationForDetail(index))
        finishDrag(*pin, pin->latitude(), pin->longitude());
    });
  };
  callbacks.resetRequested = [this](QBYMapAnnotation& annotation) { askToReset(annotation); };
  auto annotation = std::make_unique<QBYMapAnnotation>(
      place, text(detail->itemName()), text(detail->shippedText()), text(detail->location()),
      detail->index(), shumate_simple_map_get_viewport(map_), std::move(callbacks));
  annotation->setShowsReset(place->moved());
  if (detail->index() == selectedIndex_) {
    annotation->setSelected(true);
    selectedAnnotation_ = annotation.get();
  }
  shumate_marker_layer_add_marker(markerLayer_, annotation->marker());
  annotations_.push_back(std::move(annotation));
  enabled_ = true;
}

QBYMapAnnotation* QBYMapView::annotationForDetail(std::int64_t detailIndex) const {
  for (const auto& annotation : annotations_) {
    if (annotation->detailIndex() == detailIndex) return annotation.get();
  }
  return nullptr;
}

void QBYMapView::failWithMessage(const std::string& message,
                                 std::optional<std::int64_t> detailIndex) {
  failedDetailID_ = detailIndex;
  std::string place;
  if (detailIndex) {
    if (auto detail = detailWithIndex(*detailIndex)) place = text(detail->location());
  }
  showBanner(message, place, detailIndex.has_value() && !place.empty());
}

void QBYMapView::showBanner(const std::string& message, const std::string& place,
                            bool offerSetLocation) {
  bannerLabel_.set_text(place.empty() ? message : place + ": " + message);
  setLocationButton_.set_visible(offerSetLocation);
  bannerRevealer_.set_reveal_child(true);
}

void QBYMapView::dismissBanner() {
  bannerRevealer_.set_reveal_child(false);
}

std::optional<std::string> QBYMapView::bannerText() const {
  if (!bannerRevealer_.get_reveal_child()) return std::nullopt;
  return std::string(bannerLabel_.get_text());
}

void QBYMapView::dropPin() {
  dismissBanner();
  const auto failed = failedDetailID_;
  failedDetailID_.reset();
  if (!failed) return;
  auto detail = detailWithIndex(*failed);
  if (!detail || text(detail->location()).empty()) return;
  ShumateViewport* viewport = shumate_simple_map_get_viewport(map_);
  const double latitude = shumate_location_get_latitude(SHUMATE_LOCATION(viewport));
  const double longitude = shumate_location_get_longitude(SHUMATE_LOCATION(viewport));
  QBYLocationCache cache(*context_);
  auto place = cache.placeByHand(text(detail->location()), searchRegionName_, latitude, longitude);
  cache.save();
  placePin(detail, place);
  if (auto* annotation = annotationForDetail(*failed)) {
    annotation->setDropped(true);
    annotation->setShowsReset(false);
    hasDroppedPin_ = true;
  }
}

void QBYMapView::finishDrag(QBYMapAnnotation& annotation, double latitude, double longitude) {
  annotation.setCoordinate(latitude, longitude);
  annotation.location()->setMoved(true);
  annotation.setDropped(false);
  annotation.setShowsReset(true);
  hasDroppedPin_ = false;
  QBYLocationCache(*context_).save();
  startFindingLocations();
}

void QBYMapView::askToReset(QBYMapAnnotation& annotation) {
  auto* root = dynamic_cast<Gtk::Window*>(get_root());
  GtkWidget* dialog = adw_message_dialog_new(
      root ? root->gobj() : nullptr, QBYLocalizedString("Reset location?").c_str(), nullptr);
  auto* messageDialog = ADW_MESSAGE_DIALOG(dialog);
  adw_message_dialog_add_response(messageDialog, "cancel", QBYLocalizedString("Cancel").c_str());
  adw_message_dialog_add_response(messageDialog, "reset",
                                  QBYLocalizedString("Reset Location").c_str());
  adw_message_dialog_set_default_response(messageDialog, "reset");
  adw_message_dialog_set_close_response(messageDialog, "cancel");
  struct Ask {
    QBYMapView* view;
    std::weak_ptr<bool> alive;
    std::int64_t detailIndex;
  };
  g_signal_connect_data(
      dialog, "response", G_CALLBACK(+[](AdwMessageDialog*, const char* response, gpointer data) {
        auto* ask = static_cast<Ask*>(data);
        if (std::string_view(response) != "reset" || ask->alive.expired() || !*ask->alive.lock()) {
          return;
        }
        if (auto* pin = ask->view->annotationForDetail(ask->detailIndex)) {
          ask->view->resetLocationForAnnotation(*pin);
        }
      }),
      new Ask{this, alive_, annotation.detailIndex()},
      [](gpointer data, GClosure*) { delete static_cast<Ask*>(data); }, GConnectFlags(0));
  gtk_window_present(GTK_WINDOW(dialog));
}

void QBYMapView::resetLocationForAnnotation(QBYMapAnnotation& annotation) {
  const std::string name = annotation.locationString();
  QBYLocationCache cache(*context_);
  cache.forget(name, searchRegionName_);
  cache.save();
  startFindingLocations();
}

void QBYMapView::clearLocations() {
  updateQueue_.clear();  // cancels every pending request; none calls back
  dismissBanner();
  for (auto& layer : routeLayers_) {
    shumate_map_remove_layer(shumate_simple_map_get_map(map_), SHUMATE_LAYER(layer.get()));
  }
  routeLayers_.clear();
  routes_.clear();
  shumate_marker_layer_remove_all(markerLayer_);
  annotations_.clear();
  detailsHash_.reset();
  completeMapRect_ = Rect();
  detailMapRects_.clear();
  detailLocations_.reset();
  locationsToFind_.clear();
  failedDetailID_.reset();
  hasDroppedPin_ = false;
  selectedAnnotation_ = nullptr;
  connectionFailures_ = 0;
}

void QBYMapView::zoomToFit() {
  // Without animations the map is framed at once; the view has no delayed zoom to cancel.
  zoomToFitNow();
}

void QBYMapView::zoomToFitNow() {
  Rect rect = completeMapRect_;
  if (selectedIndex_ != kNoSelection) {
    auto it = detailMapRects_.find(selectedIndex_);
    if (it != detailMapRects_.end() && !it->second.routeAndPin.null) rect = it->second.routeAndPin;
  }
  ShumateMap* map = shumate_simple_map_get_map(map_);
  ShumateViewport* viewport = shumate_simple_map_get_viewport(map_);
  if (rect.null) {
    shumate_viewport_set_zoom_level(viewport, kMinZoom);
    shumate_map_center_on(map, 30, 0);
    return;
  }
  const double width = std::max(gtk_widget_get_width(GTK_WIDGET(map_)), 320) - 2 * kInset;
  const double height = std::max(gtk_widget_get_height(GTK_WIDGET(map_)), 240) - 2 * kInset;
  const double spanX = std::max(rect.maxX - rect.minX, 1e-9);
  const double spanY = std::max(rect.maxY - rect.minY, 1e-9);
  const double zoom =
      std::clamp(std::log2(std::min(width / spanX, height / spanY)), kMinZoom, kMaxZoom);
  shumate_viewport_set_zoom_level(viewport, zoom);
  shumate_map_center_on(map, latitudeAt((rect.minY + rect.maxY) / 2),
                        longitudeAt((rect.minX + rect.maxX) / 2));
}

}  // namespace qby
