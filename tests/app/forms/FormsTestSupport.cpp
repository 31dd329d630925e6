#include "FormsTestSupport.h"

#include "engine/QBYDeliveriesUpdater.h"
#include "model/Delivery.h"
#include "platform/MainQueue.h"
#include "store/core/QBYManagedObjectContext.h"
#include "support/GtkTestSupport.h"

namespace qby::test {

void RecordingUpdater::setDelegate(std::weak_ptr<QBYDeliveriesUpdaterDelegate> delegate) {
  delegate_ = std::move(delegate);
}

void RecordingUpdater::updateDeliveriesWithSettings(const Array& settings) {
  runs.push_back(settings);
  auto weak = delegate_;
  MainQueue::async([weak] {
    if (auto delegate = weak.lock()) delegate->completeUpdateWithSuccess(true);
  });
}

FormsManager::FormsManager(unsigned processType) {
  store = std::make_shared<QBYDataStore>();
  QBYDeliveriesManager::Options options;
  options.updaterFactory = [this](std::optional<std::filesystem::path>, bool) {
    updater = std::make_shared<RecordingUpdater>();
    return updater;
  };
  options.parentAppOpen = [] { return false; };
  options.actionSender = [this](const std::string& action) { actions.push_back(action); };
  options.listenForActions = false;
  manager = QBYDeliveriesManager::create(std::move(options));
  manager->setProcessType(processType);
  manager->setDataStore(store);
  manager->start();
}

FormsManager::~FormsManager() {
  if (manager && manager->started()) manager->stop();
  MainQueue::drain();
  manager.reset();
  store.reset();
}

std::vector<std::string> FormsManager::namesOfDeliveriesWithNumber(const std::string& number) {
  std::vector<std::string> names;
  auto& context = *store->viewContext();
  QBYFetchRequest request;
  request.entityName = "Delivery";
  auto results = context.executeFetchRequest(request);
  if (!results) return names;
  for (const auto& delivery : results->allAs<Delivery>()) {
    context.refreshObject(delivery, false);
    if (delivery->no() == std::optional<std::string>(number))
      names.push_back(delivery->name().value_or("(no name)"));
  }
  return names;
}

GtkWidget* rowWithTitle(GtkWidget* root, const std::string& text, GType rowType) {
  GtkWidget* label = findWidget(root, text);
  return label ? gtk_widget_get_ancestor(label, rowType) : nullptr;
}

std::vector<GtkWindow*> visibleWindowsOfType(GType type) {
  std::vector<GtkWindow*> windows;
  GList* toplevels = gtk_window_list_toplevels();
  for (GList* item = toplevels; item; item = item->next) {
    auto* window = GTK_WINDOW(item->data);
    if (G_TYPE_CHECK_INSTANCE_TYPE(window, type) && gtk_widget_get_visible(GTK_WIDGET(window)))
      windows.push_back(window);
  }
  g_list_free(toplevels);
  return windows;
}

bool hasFocusWithin(GtkWidget* widget) {
  GtkRoot* root = gtk_widget_get_root(widget);
  if (!root) return false;
  GtkWidget* focus = gtk_root_get_focus(root);
  return focus && (focus == widget || gtk_widget_is_ancestor(focus, widget));
}

}  // namespace qby::test
