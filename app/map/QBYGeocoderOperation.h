// One geocoding request for the route map: a place text searched inside a delivery's search
// region through a Nominatim service, asked once more without a trailing postal code when the
// first search finds nothing. Requests of one throttle start at least a second apart, as the
// public Nominatim service's usage policy asks.
//
// Threads: main thread only. The completion runs on the main thread, at most once, and never
// after cancel() or after the operation is destroyed.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "manager/QBYRoutePlaces.h"

namespace qby {

// Spaces request starts: each reservation lies at least `interval` seconds after the one
// before (by Date::now(), so tests can pin the clock).
class QBYGeocodeThrottle {
 public:
  explicit QBYGeocodeThrottle(double interval = 1.0) : interval_(interval) {}
  // Seconds to wait before the reserved request may start.
  double reserve();

 private:
  double interval_;
  std::optional<double> lastStart_;
};

class QBYGeocoderOperation {
 public:
  struct Placemark {
    double latitude = 0;
    double longitude = 0;
    double radius = 0;  // metres; 0 when the service gave no accuracy
  };
  struct Failure {
    std::string message;
    bool connection = false;  // the service was not reached: nothing is cached for it
  };
  using Answer = std::variant<Placemark, Failure>;
  using Completion = std::function<void(const Answer&)>;

  // `baseURL` is the Nominatim service ("https://nominatim.openstreetmap.org").
  QBYGeocoderOperation(std::string baseURL, std::shared_ptr<QBYGeocodeThrottle> throttle,
                       std::string location, std::string regionName,
                       std::optional<QBYSearchRegion> region);
  ~QBYGeocoderOperation();
  QBYGeocoderOperation(const QBYGeocoderOperation&) = delete;
  QBYGeocoderOperation& operator=(const QBYGeocoderOperation&) = delete;

  // Without a place text, completes at once with nothing (no completion call).
  void start(Completion completion);
  void cancel();

  const std::string& location() const { return location_; }
  const std::string& regionName() const { return regionName_; }

  // The base address the map uses: the shared setting "QBYMapGeocoderURL", else the public
  // OpenStreetMap Nominatim service (in test builds: none). With no address every request
  // fails as a connection failure.
  static std::string configuredBaseURL();

  struct State;  // shared with the pending callbacks

 private:
  std::string baseURL_;
  std::shared_ptr<QBYGeocodeThrottle> throttle_;
  std::string location_;
  std::string regionName_;
  std::optional<QBYSearchRegion> region_;
  std::shared_ptr<State> state_;
};

}  // namespace qby
