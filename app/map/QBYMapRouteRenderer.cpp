#include "QBYMapRouteRenderer.h"

namespace qby {

GObjectPtr<ShumatePathLayer> QBYMapRouteRenderer::layerForRoute(
    ShumateViewport* viewport, const std::vector<std::pair<double, double>>& points, bool dark) {
  auto layer = GObjectPtr<ShumatePathLayer>::adopt(shumate_path_layer_new(viewport));
  // Brand blue; on a dark map a lighter blue over the dark background.
  const GdkRGBA stroke =
      dark ? GdkRGBA{0.38f, 0.63f, 0.97f, 1.0f} : GdkRGBA{0.0f, 0.40f, 0.85f, 1.0f};
  const GdkRGBA outline =
      dark ? GdkRGBA{0.14f, 0.14f, 0.16f, 1.0f} : GdkRGBA{1.0f, 1.0f, 1.0f, 1.0f};
  shumate_path_layer_set_stroke(layer.get(), TRUE);
  shumate_path_layer_set_stroke_color(layer.get(), &stroke);
  shumate_path_layer_set_stroke_width(layer.get(), kLineWidth);
  shumate_path_layer_set_outline_color(layer.get(), &outline);
  shumate_path_layer_set_outline_width(layer.get(), kOutlineWidth);
  for (const auto& [latitude, longitude] : points) {
    // Coordinates start floating; own one reference so the layer's is its own either way.
    auto node =
        GObjectPtr<ShumateCoordinate>::adopt(shumate_coordinate_new_full(latitude, longitude));
    shumate_path_layer_add_node(layer.get(), SHUMATE_LOCATION(node.get()));
  }
  return layer;
}

}  // namespace qby
