#include "manager/QBYRoutePlaces.h"

#include <glib.h>

#include <array>
#include <cmath>

#include "platform/GLibPtr.h"

namespace qby {
namespace {

struct RegionEntry {
  std::string_view name;
  QBYSearchRegion region;
};

constexpr std::array kRegions = {
    RegionEntry{"Australia", {-28.0, 135.0, 6000000}},
    RegionEntry{"Austria", {47.5, 13.4, 640000}},
    RegionEntry{"California", {37.8, -119.0, 1400000}},
    RegionEntry{"Canada", {75.0, -86.0, 4200000}},
    RegionEntry{"Denmark", {56.1, 10.0, 500000}},
    RegionEntry{"France", {46.5, 2.2, 1400000}},
    RegionEntry{"Germany", {51.0, 10.45, 1000000}},
    RegionEntry{"Hong Kong", {22.35, 114.1, 78000}},
    RegionEntry{"India", {21.0, 79.0, 3600000}},
    RegionEntry{"Italy", {42.0, 12.5, 1500000}},
    RegionEntry{"Japan", {38.0, 138.0, 2200000}},
    RegionEntry{"Netherlands", {52.3, 5.4, 400000}},
    RegionEntry{"North America", {63.5, -95.0, 7400000}},
    RegionEntry{"Norway", {65.4, 17.8, 2000000}},
    RegionEntry{"Spain", {40.5, -4.0, 1400000}},
    RegionEntry{"Sweden", {63.0, 16.0, 1660000}},
    RegionEntry{"Switzerland", {46.7, 8.2, 400000}},
    RegionEntry{"UK", {54.5, -4.5, 1300000}},
    RegionEntry{"US", {39.0, -96.0, 5800000}},
};

constexpr double kEarthRadius = 6371008.8;

std::string_view trimmed(std::string_view text) {
  const auto isSpace = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

}  // namespace

std::optional<QBYSearchRegion> QBYSearchRegionNamed(std::string_view name) {
  for (const auto& entry : kRegions) {
    if (entry.name == name) return entry.region;
  }
  return std::nullopt;
}

std::vector<std::string> QBYPlaceNamesForDetail(std::string_view location, std::string_view route) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= route.size()) {
    const std::size_t end = std::min(route.find(';', start), route.size());
    const std::string_view part = route.substr(start, end - start);
    // A stop of blanks is no stop; the text itself is kept as the service wrote it.
    if (!trimmed(part).empty() && (names.empty() || names.back() != part)) {
      names.emplace_back(part);
    }
    start = end + 1;
  }
  if (!trimmed(location).empty() && (names.empty() || names.front() != location)) {
    names.insert(names.begin(), std::string(location));
  }
  return names;
}

std::string QBYLowercasePlaceText(std::string_view text) {
  // Text from services is valid UTF-8 by the time it is stored; make sure before folding.
  GCharPtr valid(g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())));
  GCharPtr lower(g_utf8_strdown(valid.get(), -1));
  return lower.get();
}

std::string QBYPlaceLookupTag(std::string_view name, std::string_view region) {
  std::string tag = QBYLowercasePlaceText(name);
  if (!region.empty()) tag += ", " + QBYLowercasePlaceText(region);
  return tag;
}

std::string QBYPlaceTextWithoutPostalCode(std::string_view text) {
  GCharPtr valid(g_utf8_make_valid(text.data(), static_cast<gssize>(text.size())));
  static GRegex* const pattern = g_regex_new("^([A-Z[:space:]]+,? [A-Z]+) [0-9]+$",
                                             G_REGEX_CASELESS, GRegexMatchFlags(0), nullptr);
  GCharPtr replaced(
      g_regex_replace(pattern, valid.get(), -1, 0, "\\1", GRegexMatchFlags(0), nullptr));
  return replaced ? std::string(replaced.get()) : std::string(valid.get());
}

std::vector<std::size_t> QBYAcceptedRoutePoints(const std::vector<QBYRouteCandidate>& candidates) {
  std::vector<std::size_t> accepted;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const QBYRouteCandidate& place = candidates[i];
    if (place.radius > QBYVaguePlaceRadius) {
      if (accepted.empty()) {
        if (place.isLast) continue;
      } else {
        const QBYRouteCandidate& previous = candidates[accepted.back()];
        const double distance = QBYDistanceMetres(place.latitude, place.longitude,
                                                  previous.latitude, previous.longitude);
        if (distance <= place.radius) continue;
      }
    }
    accepted.push_back(i);
  }
  return accepted;
}

double QBYPinFrameHalfSide(double radius) {
  if (radius <= 7000) return 7000;
  if (radius > 100000) return radius / 2;
  return radius;
}

double QBYDistanceMetres(double latitude1, double longitude1, double latitude2, double longitude2) {
  const double toRadians = M_PI / 180;
  const double phi1 = latitude1 * toRadians;
  const double phi2 = latitude2 * toRadians;
  const double dPhi = (latitude2 - latitude1) * toRadians;
  const double dLambda = (longitude2 - longitude1) * toRadians;
  const double a = std::sin(dPhi / 2) * std::sin(dPhi / 2) +
                   std::cos(phi1) * std::cos(phi2) * std::sin(dLambda / 2) * std::sin(dLambda / 2);
  return 2 * kEarthRadius * std::atan2(std::sqrt(a), std::sqrt(1 - a));
}

}  // namespace qby
