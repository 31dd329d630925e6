// Draws the route of one tracking line: a line through its places in the brand blue, 3 px
// wide at full opacity, over a wider outline in the map's background colour so that it stays
// readable on any tile; the colours follow a dark map.
//
// Threads: main thread only.
#pragma once

#include <shumate/shumate.h>

#include <utility>
#include <vector>

#include "platform/GLibPtr.h"

namespace qby {

class QBYMapRouteRenderer {
 public:
  static constexpr double kLineWidth = 3;
  static constexpr double kOutlineWidth = 7;

  // The layers of the route through the (latitude, longitude) points, in order: the outline
  // first, the line to go above it. (libshumate 1.0 paints a path's own outline over its
  // stroke, so the outline is a path of its own.)
  static std::vector<GObjectPtr<ShumatePathLayer>> layersForRoute(
      ShumateViewport* viewport, const std::vector<std::pair<double, double>>& points, bool dark);
};

}  // namespace qby
