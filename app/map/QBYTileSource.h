// Raster tiles for the route map: fetched from a "{z}/{x}/{y}" address with the product's user
// agent, kept in a disk cache under the shared caches folder ("map-tiles"), and served from
// that cache for a week before they are asked again; when the network fails an older cached
// tile is still shown. This is what the OpenStreetMap tile policy asks of a client.
//
// Threads: main thread only (a libshumate data source).
#pragma once

#include <shumate/shumate.h>

#include <filesystem>
#include <string>

#include "platform/GLibPtr.h"

namespace qby {

class QBYTileSource {
 public:
  static constexpr double kFreshSeconds = 7 * 86400;

  // A data source for the template, caching under the folder.
  static GObjectPtr<ShumateDataSource> create(const std::string& urlTemplate,
                                              const std::filesystem::path& cacheFolder);
  // The folder the map uses: <shared caches>/map-tiles.
  static std::filesystem::path defaultCacheFolder();
};

}  // namespace qby
