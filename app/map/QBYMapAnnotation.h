// One pin on the route map: the place of one tracking line, drawn as a green pin that can be
// dragged to the right spot. Its callout shows the line's item and status (or, while the pin
// waits to be dragged into place, the place text and how to do that) and, for a place the
// user set, a "Reset Location" button. Moving the pin writes the new coordinate into its
// cached place at once.
//
// Threads: main thread only.
#pragma once

#include <gtkmm.h>
#include <shumate/shumate.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/GLibPtr.h"

namespace qby {

class Location;

class QBYMapAnnotation {
 public:
  struct Callbacks {
    std::function<void(bool dragging)> dragStateChanged;
    // The drag ended with the pin at its new place.
    std::function<void(QBYMapAnnotation&)> dragEnded;
    std::function<void(QBYMapAnnotation&)> resetRequested;
  };

  QBYMapAnnotation(std::shared_ptr<Location> location, std::string title, std::string subtitle,
                   std::string locationString, std::int64_t detailIndex, ShumateViewport* viewport,
                   Callbacks callbacks);
  ~QBYMapAnnotation();
  QBYMapAnnotation(const QBYMapAnnotation&) = delete;
  QBYMapAnnotation& operator=(const QBYMapAnnotation&) = delete;

  ShumateMarker* marker() const { return marker_.get(); }
  const std::shared_ptr<Location>& location() const { return location_; }
  std::int64_t detailIndex() const { return detailIndex_; }
  const std::string& locationString() const { return locationString_; }

  // While dropped, the callout names the place and asks for a drag.
  std::string title() const;
  std::string subtitle() const;

  double latitude() const;
  double longitude() const;
  // Moves the pin and writes the coordinate into its place record.
  void setCoordinate(double latitude, double longitude);

  bool selected() const { return selected_; }
  void setSelected(bool selected);
  bool dropped() const { return dropped_; }
  void setDropped(bool dropped);
  // Shows or hides the callout's reset button (a place the user set).
  void setShowsReset(bool shows);
  bool showsReset() const { return showsReset_; }

  // The callout, for tests and keyboard users.
  Gtk::Popover& callout() { return callout_; }

 private:
  void refreshCallout();

  std::shared_ptr<Location> location_;
  std::string title_;
  std::string subtitle_;
  std::string locationString_;
  std::int64_t detailIndex_;
  ShumateViewport* viewport_;
  Callbacks callbacks_;
  GObjectPtr<ShumateMarker> marker_;
  Gtk::Button pin_;
  Gtk::Popover callout_;
  Gtk::Box calloutBox_{Gtk::Orientation::VERTICAL, 6};
  Gtk::Label titleLabel_;
  Gtk::Label subtitleLabel_;
  Gtk::Button resetButton_;
  bool selected_ = false;
  bool dropped_ = false;
  bool showsReset_ = false;
  bool dragging_ = false;
  double dragStartX_ = 0;
  double dragStartY_ = 0;
};

}  // namespace qby
