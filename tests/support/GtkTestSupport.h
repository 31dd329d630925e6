// Helpers for the GUI tests. Every GUI test program runs under tests/support/run-gui-test.sh
// (a virtual display of its own, cairo rendering, the test session's private bus), one process
// per test case. Main thread only, like GTK itself.
#pragma once

#include <gtk/gtk.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>

namespace qby::test {

// Initialises GTK and libadwaita once for this process. Answers false when there is no
// display, so a test can fail with a clear message instead of crashing inside GTK.
bool initGtk();

// Runs the default main context until `done` answers true or `timeout` passes; answers the
// last value of `done`. GUI work in the tests waits through this, never through sleeps.
bool iterateUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Lets layout, redraws and idle callbacks run for a while.
void iterateFor(std::chrono::milliseconds duration);

// Where this test program's screenshots go: <test binary folder>/screenshots.
std::filesystem::path screenshotFolder();

// Renders a realised widget (usually a window) as it is on screen into
// screenshotFolder()/<name>.png with the widget's own renderer. Answers the file, or an empty
// path when the widget has no size or the PNG could not be written.
std::filesystem::path saveScreenshot(GtkWidget* widget, const std::string& name);

// The first descendant of `root` (depth first, `root` included) whose GtkButton
// or GtkLabel text, tooltip or widget name equals `text`; nullptr when none.
GtkWidget* findWidget(GtkWidget* root, const std::string& text);

// The first descendant of `root` (root included) of the GType, e.g. GTK_TYPE_SEARCH_ENTRY.
GtkWidget* findWidgetOfType(GtkWidget* root, GType type);

}  // namespace qby::test
