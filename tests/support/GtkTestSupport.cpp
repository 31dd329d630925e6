#include "support/GtkTestSupport.h"

#include <adwaita.h>

#include <cstring>
#include <iostream>

#include "platform/GLibPtr.h"

namespace qby::test {

bool initGtk() {
  static const bool ready = [] {
    if (!gtk_init_check()) {
      std::cerr << "GUI test: no display (run the program through run-gui-test.sh)\n";
      return false;
    }
    adw_init();
    return true;
  }();
  return ready;
}

bool iterateUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return done();
    // Blocking would sleep past the deadline when nothing is pending; poll in small steps.
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(2000);
  }
  return true;
}

void iterateFor(std::chrono::milliseconds duration) {
  iterateUntil([] { return false; }, duration);
}

std::filesystem::path screenshotFolder() {
  // Beside the test program, so each program's pictures stay with its own results.
  std::error_code error;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
  return (error ? std::filesystem::current_path() : program.parent_path()) / "screenshots";
}

namespace {

std::filesystem::path screenshotNow(GtkWidget* widget, const std::string& name) {
  const int width = gtk_widget_get_width(widget);
  const int height = gtk_widget_get_height(widget);
  GtkNative* native = gtk_widget_get_native(widget);
  if (width <= 0 || height <= 0 || !native) return {};
  GskRenderer* renderer = gtk_native_get_renderer(native);
  if (!renderer) return {};

  const auto paintable = GObjectPtr<GdkPaintable>::adopt(gtk_widget_paintable_new(widget));
  GtkSnapshot* snapshot = gtk_snapshot_new();
  gdk_paintable_snapshot(paintable.get(), GDK_SNAPSHOT(snapshot), width, height);
  GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
  if (!node) return {};
  const graphene_rect_t bounds = GRAPHENE_RECT_INIT(0, 0, float(width), float(height));
  const auto texture =
      GObjectPtr<GdkTexture>::adopt(gsk_renderer_render_texture(renderer, node, &bounds));
  gsk_render_node_unref(node);
  if (!texture) return {};

  std::error_code error;
  std::filesystem::create_directories(screenshotFolder(), error);
  const auto path = screenshotFolder() / (name + ".png");
  if (!gdk_texture_save_to_png(texture.get(), path.c_str())) return {};
  return path;
}

}  // namespace

std::filesystem::path saveScreenshot(GtkWidget* widget, const std::string& name) {
  auto path = screenshotNow(widget, name);
  // A window just presented is mapped and laid out on later frames, which a busy machine can
  // delay well past the few hundred milliseconds a test waits for what it checks.
  GtkRoot* root = gtk_widget_get_root(widget);
  if (path.empty() && root && gtk_widget_get_visible(GTK_WIDGET(root)))
    iterateUntil([&] { return !(path = screenshotNow(widget, name)).empty(); });
  return path;
}

namespace {

bool widgetShows(GtkWidget* widget, const std::string& text) {
  const char* candidates[4] = {nullptr, nullptr, nullptr, nullptr};
  if (GTK_IS_BUTTON(widget)) candidates[0] = gtk_button_get_label(GTK_BUTTON(widget));
  if (GTK_IS_LABEL(widget)) candidates[1] = gtk_label_get_text(GTK_LABEL(widget));
  candidates[2] = gtk_widget_get_tooltip_text(widget);
  candidates[3] = gtk_widget_get_name(widget);
  for (const char* candidate : candidates)
    if (candidate && text == candidate) return true;
  return false;
}

GtkWidget* findFirst(GtkWidget* root, const std::function<bool(GtkWidget*)>& matches) {
  if (!root) return nullptr;
  if (matches(root)) return root;
  for (GtkWidget* child = gtk_widget_get_first_child(root); child;
       child = gtk_widget_get_next_sibling(child)) {
    if (GtkWidget* found = findFirst(child, matches)) return found;
  }
  return nullptr;
}

}  // namespace

GtkWidget* findWidget(GtkWidget* root, const std::string& text) {
  return findFirst(root, [&](GtkWidget* widget) { return widgetShows(widget, text); });
}

GtkWidget* findWidgetOfType(GtkWidget* root, GType type) {
  return findFirst(root,
                   [&](GtkWidget* widget) { return G_TYPE_CHECK_INSTANCE_TYPE(widget, type); });
}

}  // namespace qby::test
