#include "QBYMapAnnotation.h"

#include "model/Location.h"
#include "platform/Localization.h"

namespace qby {

QBYMapAnnotation::QBYMapAnnotation(std::shared_ptr<Location> location, std::string title,
                                   std::string subtitle, std::string locationString,
                                   std::int64_t detailIndex, ShumateViewport* viewport,
                                   Callbacks callbacks)
    : location_(std::move(location)),
      title_(std::move(title)),
      subtitle_(std::move(subtitle)),
      locationString_(std::move(locationString)),
      detailIndex_(detailIndex),
      viewport_(viewport),
      callbacks_(std::move(callbacks)),
      marker_(GObjectPtr<ShumateMarker>::adopt(shumate_marker_new())) {
  pin_.set_icon_name("mark-location-symbolic");
  pin_.add_css_class("qby-map-pin");
  pin_.add_css_class("circular");
  pin_.set_tooltip_text(locationString_);
  gtk_accessible_update_property(GTK_ACCESSIBLE(pin_.gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 locationString_.c_str(), -1);
  shumate_marker_set_child(marker_.get(), GTK_WIDGET(pin_.gobj()));
  shumate_location_set_location(SHUMATE_LOCATION(marker_.get()), location_->latitude(),
                                location_->longitude());

  titleLabel_.add_css_class("heading");
  titleLabel_.set_wrap(true);
  titleLabel_.set_max_width_chars(40);
  subtitleLabel_.set_wrap(true);
  subtitleLabel_.set_max_width_chars(40);
  resetButton_.set_label(QBYLocalizedString("Reset Location"));
  resetButton_.signal_clicked().connect([this] {
    callout_.popdown();
    if (callbacks_.resetRequested) callbacks_.resetRequested(*this);
  });
  calloutBox_.append(titleLabel_);
  calloutBox_.append(subtitleLabel_);
  calloutBox_.append(resetButton_);
  callout_.set_child(calloutBox_);
  callout_.set_parent(pin_);
  refreshCallout();
  pin_.signal_clicked().connect([this] { callout_.popup(); });

  // Dragging moves the pin with the pointer; the place is written when the drag ends.
  auto drag = Gtk::GestureDrag::create();
  drag->signal_drag_begin().connect([this](double, double) {
    if (!viewport_) return;
    double x = 0;
    double y = 0;
    GtkWidget* map = gtk_widget_get_ancestor(GTK_WIDGET(marker_.get()), SHUMATE_TYPE_MAP);
    if (!map) return;
    shumate_viewport_location_to_widget_coords(viewport_, map, latitude(), longitude(), &x, &y);
    dragStartX_ = x;
    dragStartY_ = y;
  });
  drag->signal_drag_update().connect([this, gesture = drag.get()](double dx, double dy) {
    GtkWidget* map = gtk_widget_get_ancestor(GTK_WIDGET(marker_.get()), SHUMATE_TYPE_MAP);
    if (!viewport_ || !map || (!dragging_ && dx * dx + dy * dy < 16)) return;
    if (!dragging_) {
      dragging_ = true;
      // Claiming the sequence keeps the map from panning under the pin.
      gesture->set_state(Gtk::EventSequenceState::CLAIMED);
      if (callbacks_.dragStateChanged) callbacks_.dragStateChanged(true);
    }
    double latitude = 0;
    double longitude = 0;
    shumate_viewport_widget_coords_to_location(viewport_, map, dragStartX_ + dx, dragStartY_ + dy,
                                               &latitude, &longitude);
    shumate_location_set_location(SHUMATE_LOCATION(marker_.get()), latitude, longitude);
  });
  drag->signal_drag_end().connect([this](double, double) {
    if (!dragging_) return;
    dragging_ = false;
    setCoordinate(latitude(), longitude());
    if (callbacks_.dragStateChanged) callbacks_.dragStateChanged(false);
    if (callbacks_.dragEnded) callbacks_.dragEnded(*this);
  });
  drag->signal_cancel().connect([this](Gdk::EventSequence*) {
    if (!dragging_) return;
    dragging_ = false;
    if (callbacks_.dragStateChanged) callbacks_.dragStateChanged(false);
  });
  pin_.add_controller(drag);
}

QBYMapAnnotation::~QBYMapAnnotation() {
  callout_.unparent();
}

std::string QBYMapAnnotation::title() const {
  return dropped_ ? locationString_ : title_;
}

std::string QBYMapAnnotation::subtitle() const {
  return dropped_ ? QBYLocalizedString("Drag this pin to the correct location") : subtitle_;
}

double QBYMapAnnotation::latitude() const {
  return shumate_location_get_latitude(SHUMATE_LOCATION(marker_.get()));
}

double QBYMapAnnotation::longitude() const {
  return shumate_location_get_longitude(SHUMATE_LOCATION(marker_.get()));
}

void QBYMapAnnotation::setCoordinate(double latitude, double longitude) {
  shumate_location_set_location(SHUMATE_LOCATION(marker_.get()), latitude, longitude);
  location_->setLatitude(latitude);
  location_->setLongitude(longitude);
}

void QBYMapAnnotation::setSelected(bool selected) {
  selected_ = selected;
  if (selected) {
    pin_.add_css_class("qby-map-pin-selected");
  } else {
    pin_.remove_css_class("qby-map-pin-selected");
  }
}

void QBYMapAnnotation::setDropped(bool dropped) {
  dropped_ = dropped;
  refreshCallout();
}

void QBYMapAnnotation::setShowsReset(bool shows) {
  showsReset_ = shows;
  refreshCallout();
}

void QBYMapAnnotation::refreshCallout() {
  titleLabel_.set_text(title());
  const std::string sub = subtitle();
  subtitleLabel_.set_text(sub);
  subtitleLabel_.set_visible(!sub.empty());
  resetButton_.set_visible(showsReset_ && !dropped_);
}

}  // namespace qby
