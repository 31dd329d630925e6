// The GUI test helpers themselves: a screenshot that silently came out empty or a widget search
// that matched the wrong control would let every GUI test pass without looking at anything.
#include <gtest/gtest.h>

#include <fstream>

#include "support/GtkTestSupport.h"

namespace qby::test {
namespace {

class GtkTestSupportTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(initGtk()); }
};

TEST_F(GtkTestSupportTest, FindsWidgetsByTextAndTypeAndSavesAScreenshotOfTheWindow) {
  GtkWidget* window = gtk_window_new();
  gtk_window_set_default_size(GTK_WINDOW(window), 320, 200);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
  GtkWidget* label = gtk_label_new("Deliveries");
  GtkWidget* button = gtk_button_new_with_label("Refresh");
  GtkWidget* entry = gtk_search_entry_new();
  gtk_widget_set_tooltip_text(entry, "Search deliveries");
  gtk_box_append(GTK_BOX(box), label);
  gtk_box_append(GTK_BOX(box), button);
  gtk_box_append(GTK_BOX(box), entry);
  gtk_window_set_child(GTK_WINDOW(window), box);
  gtk_window_present(GTK_WINDOW(window));
  ASSERT_TRUE(iterateUntil(
      [&] { return gtk_widget_get_mapped(entry) && gtk_widget_get_width(window) > 0; }));

  EXPECT_EQ(findWidget(window, "Deliveries"), label);
  EXPECT_EQ(findWidget(window, "Refresh"), button);
  EXPECT_EQ(findWidget(window, "Search deliveries"), entry);
  EXPECT_EQ(findWidget(window, "Nothing like this"), nullptr);
  EXPECT_EQ(findWidgetOfType(window, GTK_TYPE_SEARCH_ENTRY), entry);

  iterateFor(std::chrono::milliseconds(100));
  const auto path = saveScreenshot(window, "support-window");
  ASSERT_FALSE(path.empty());
  std::ifstream file(path, std::ios::binary);
  char header[24] = {};
  ASSERT_TRUE(file.read(header, sizeof header));
  EXPECT_EQ(std::string(header + 1, 3), "PNG");
  // Width and height sit big-endian in the IHDR chunk; the picture has the window's size.
  const auto be32 = [&](int at) {
    return (unsigned(uint8_t(header[at])) << 24) | (unsigned(uint8_t(header[at + 1])) << 16) |
           (unsigned(uint8_t(header[at + 2])) << 8) | unsigned(uint8_t(header[at + 3]));
  };
  EXPECT_EQ(be32(16), unsigned(gtk_widget_get_width(window)));
  EXPECT_EQ(be32(20), unsigned(gtk_widget_get_height(window)));
  gtk_window_destroy(GTK_WINDOW(window));
}

TEST_F(GtkTestSupportTest, AnUnrealisedWidgetGivesNoScreenshot) {
  GtkWidget* label = g_object_ref_sink(gtk_label_new("never shown"));
  EXPECT_TRUE(saveScreenshot(label, "never-shown").empty());
  g_object_unref(label);
}

}  // namespace
}  // namespace qby::test
