#include "AppHarness.h"

#include <adwaita.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "model/Delivery.h"
#include "model/QBYDeliverySettings.h"
#include "platform/Value.h"
#include "store/QBYDataStore.h"
#include "support/GtkTestSupport.h"

namespace porvane::test {

namespace fs = std::filesystem;

namespace {

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

}  // namespace

AppHarness::AppHarness() : AppHarness(Options{}) {}

AppHarness::AppHarness(Options options) : options_(std::move(options)) {
  EXPECT_TRUE(qby::test::initGtk()) << "no display";
  EXPECT_TRUE(server_.listening()) << server_.error();
  // Carrier addresses go to the fixture server; unknown paths get 503, never the internet.
  server_.setFallback({503, "text/plain", ""});
  setenv("PORVANE_FIXTURE_SERVER", server_.url().c_str(), 1);
  // Not the real instance's name: several test processes run beside each other.
  static int instances = 0;
  const std::string id = "com.quillbay.mac.Porvane.Test" + std::to_string(getpid()) + "_" +
                         std::to_string(++instances);
  application_ = qby::GObjectPtr<GtkApplication>::adopt(
      GTK_APPLICATION(adw_application_new(id.c_str(), G_APPLICATION_NON_UNIQUE)));
}

AppHarness::~AppHarness() {
  if (delegate_) delegate_->applicationWillTerminate();
  delegate_.reset();
  qby::test::iterateFor(std::chrono::milliseconds(50));
}

bool AppHarness::launch() {
  GError* raw = nullptr;
  EXPECT_TRUE(g_application_register(G_APPLICATION(application_.get()), nullptr, &raw));
  if (raw) g_error_free(raw);
  app::QBYAppDelegate::Environment environment;
  environment.application = application_.get();
  environment.terminate = [this] { terminated_ = true; };
  environment.openURI = [this](const std::string& uri) {
    openedPages_.push_back(uri);
    return true;
  };
  environment.syncBusy = options_.syncBusy;
  environment.controlCompanion = false;
  environment.schedule = false;
  environment.storeFile = options_.storeFile;
  delegate_ = std::make_shared<app::QBYAppDelegate>(std::move(environment));
  if (!delegate_->applicationWillFinishLaunching()) return false;
  delegate_->applicationDidFinishLaunching();
  return true;
}

std::string AppHarness::addDelivery(const std::string& from, const std::string& number,
                                    const std::string& name) {
  qby::QBYDeliverySettings settings;
  settings.from = from;
  settings.no = number;
  settings.name = name;
  auto delivery = manager().saveDeliveryWithSettings(settings);
  EXPECT_TRUE(delivery);
  EXPECT_TRUE(app().dataStore()->saveData());
  return delivery ? delivery->uuid().value_or("") : std::string();
}

void AppHarness::serveCarrierCase(const std::string& name) {
  const fs::path folder = fs::path(PORVANE_TEST_DATA_DIR) / "carriers" / name;
  qby::QBYError error;
  const auto json = qby::Value::fromJSON(readText(folder / "case.json"), &error);
  ASSERT_TRUE(json) << error.description();
  const qby::Value& parsed = *json;
  const qby::Array* responses = parsed["responses"].arrayPtr();
  ASSERT_TRUE(responses);
  for (const qby::Value& response : *responses) {
    const std::string url = response["url"].asString().value_or("");
    GUri* uri = g_uri_parse(url.c_str(), G_URI_FLAGS_ENCODED, nullptr);
    ASSERT_TRUE(uri) << url;
    const std::string path = "/" + std::string(g_uri_get_host(uri)) + g_uri_get_path(uri);
    g_uri_unref(uri);
    qby::test::FixtureServer::Response answer;
    answer.status = static_cast<unsigned>(response["status"].asInteger().value_or(200));
    answer.contentType = "application/json";
    answer.body = readText(folder / response["file"].asString().value_or(""));
    server_.route(path, std::move(answer));
  }
}

GtkWidget* AppHarness::rowWidget(std::size_t row) {
  // Rows are the list view's children in order of their items; each row box carries its
  // list item, whose position says which row it shows.
  GtkWidget* view = GTK_WIDGET(window().list().listView());
  for (GtkWidget* child = gtk_widget_get_first_child(view); child;
       child = gtk_widget_get_next_sibling(child)) {
    GtkWidget* box = gtk_widget_get_first_child(child);
    if (!box) continue;
    auto* item = static_cast<GtkListItem*>(g_object_get_data(G_OBJECT(box), "qby-list-item"));
    if (item && gtk_list_item_get_position(item) == row) return box;
  }
  return nullptr;
}

GtkEventController* AppHarness::controllerOfType(GtkWidget* widget, GType type) {
  qby::GObjectPtr<GListModel> controllers =
      qby::GObjectPtr<GListModel>::adopt(gtk_widget_observe_controllers(widget));
  const guint count = g_list_model_get_n_items(controllers.get());
  for (guint i = 0; i < count; ++i) {
    qby::GObjectPtr<GObject> controller =
        qby::GObjectPtr<GObject>::adopt(G_OBJECT(g_list_model_get_item(controllers.get(), i)));
    if (G_TYPE_CHECK_INSTANCE_TYPE(controller.get(), type))
      return GTK_EVENT_CONTROLLER(controller.get());
  }
  return nullptr;
}

void AppHarness::showWindow(int width, int height) {
  gtk_window_set_default_size(window().window(), width, height);
  window().present();
  EXPECT_TRUE(qby::test::iterateUntil(
      [this] { return gtk_widget_get_mapped(GTK_WIDGET(window().window())); }));
  qby::test::iterateFor(std::chrono::milliseconds(300));
}

}  // namespace porvane::test
