// The rules that turn a delivery's tracking lines into places on the route map: which names a
// line carries, the search region of a delivery's region name, the retry text without a
// postal code, which found places make route points, and how much room a pin gets when the
// map is framed. Pure functions over values; the map view and its tests share them.
//
// Threads: any.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qby {

// A square search area: centre and side length in metres.
struct QBYSearchRegion {
  double latitude = 0;
  double longitude = 0;
  double extent = 0;
};

// The search area for a delivery's region name ("Germany", "US", ...); nothing for a name not
// in the table or no name, which means an unrestricted search.
std::optional<QBYSearchRegion> QBYSearchRegionNamed(std::string_view name);

// The ordered place names of one tracking line: the route's stops (split at ";", empty stops
// and a stop repeating the one before dropped), with the line's own location in front unless
// it already leads the list.
std::vector<std::string> QBYPlaceNamesForDetail(std::string_view location, std::string_view route);

// Lower-cased, as the cache stores names and regions.
std::string QBYLowercasePlaceText(std::string_view text);

// "name, region" lower-cased, or the name alone without a region: one geocoding request per
// tag and pass.
std::string QBYPlaceLookupTag(std::string_view name, std::string_view region);

// "SPRINGFIELD, IL 62701" → "SPRINGFIELD, IL": the text without a trailing postal code after
// a city and a state abbreviation; the text unchanged when it has no such shape.
std::string QBYPlaceTextWithoutPostalCode(std::string_view text);

// A found place of a line's list, in list order.
struct QBYRouteCandidate {
  double latitude = 0;
  double longitude = 0;
  double radius = 0;    // metres; 0 when the geocoder gave none
  bool isLast = false;  // the last name of the line's list
};

// Places wider than this (metres) are too vague to be a point of a route.
inline constexpr double QBYVaguePlaceRadius = 500000;

// The positions (into `candidates`) of the places that become route points: a vague place is
// left out when it is the list's last name and nothing was accepted before it, or when its
// circle holds the place accepted just before it.
std::vector<std::size_t> QBYAcceptedRoutePoints(const std::vector<QBYRouteCandidate>& candidates);

// Half the side (metres) of the square a pin is framed with: at least 7000 m, and half the
// radius for places wider than 100 km.
double QBYPinFrameHalfSide(double radius);

// Great-circle distance in metres.
double QBYDistanceMetres(double latitude1, double longitude1, double latitude2, double longitude2);

}  // namespace qby
