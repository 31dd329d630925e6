#include "QBYMapRouteRenderer.h"

namespace qby {
namespace {

GObjectPtr<ShumatePathLayer> pathLayer(ShumateViewport* viewport,
                                       const std::vector<std::pair<double, double>>& points,
                                       const GdkRGBA& colour, double width) {
  auto layer = GObjectPtr<ShumatePathLayer>::adopt(shumate_path_layer_new(viewport));
  shumate_path_layer_set_stroke(layer.get(), TRUE);
  shumate_path_layer_set_stroke_color(layer.get(), &colour);
  shumate_path_layer_set_stroke_width(layer.get(), width);
  shumate_path_layer_set_outline_width(layer.get(), 0);
  for (const auto& [latitude, longitude] : points) {
    // Coordinates start floating; own one reference so the layer's is its own either way.
    auto node =
        GObjectPtr<ShumateCoordinate>::adopt(shumate_coordinate_new_full(latitude, longitude));
    shumate_path_layer_add_node(layer.get(), SHUMATE_LOCATION(node.get()));
  }
  return layer;
}

}  // namespace

std::vector<GObjectPtr<ShumatePathLayer>> QBYMapRouteRenderer::layersForRoute(
    ShumateViewport* viewport, const std::vector<std::pair<double, double>>& points, bool dark) {
  // Brand blue; on a dark map a lighter blue over the dark background.
  const GdkRGBA line =
      dark ? GdkRGBA{0.38f, 0.63f, 0.97f, 1.0f} : GdkRGBA{0.0f, 0.40f, 0.85f, 1.0f};
  const GdkRGBA outline =
      dark ? GdkRGBA{0.14f, 0.14f, 0.16f, 1.0f} : GdkRGBA{1.0f, 1.0f, 1.0f, 1.0f};
  std::vector<GObjectPtr<ShumatePathLayer>> layers;
  layers.push_back(pathLayer(viewport, points, outline, kOutlineWidth));
  layers.push_back(pathLayer(viewport, points, line, kLineWidth));
  return layers;
}

}  // namespace qby
