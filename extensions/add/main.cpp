// porvane-add: adds the delivery found in a web address, some text or a file that the desktop
// hands over ("Open With", "Send To"), without opening the main window.
//
//   porvane-add [ADDRESS | FILE | TEXT]…
//
// Exit status: 0 saved (handed to the add queue), 1 closed without saving, 2 the deliveries
// could not be opened.
#include <adwaita.h>
#include <gtkmm/init.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QBYAddExtension.h"
#include "manager/QBYDeliveriesManager.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "store/QBYDataStore.h"
#include "store/QBYDeliveriesQueries.h"

namespace {

constexpr const char* kApplicationID = "com.quillbay.mac.Porvane.Add";

struct Program {
  std::vector<std::string> arguments;
  std::shared_ptr<qby::QBYDataStore> dataStore;
  std::shared_ptr<qby::QBYDeliveriesManager> manager;
  std::unique_ptr<porvane::add::QBYAddExtension> extension;
  int status = 1;
  bool started = false;
};

void showStoreError(GApplication* application, Program& program) {
  GtkWidget* dialog = adw_message_dialog_new(
      nullptr, qby::QBYLocalizedString("Your deliveries could not be opened.").c_str(),
      qby::QBYLocalizedString("Open Porvane to repair them, then try again.").c_str());
  adw_message_dialog_add_response(ADW_MESSAGE_DIALOG(dialog), "close",
                                  qby::QBYLocalizedString("Close").c_str());
  gtk_window_set_application(GTK_WINDOW(dialog), GTK_APPLICATION(application));
  program.status = 2;
  g_signal_connect_swapped(dialog, "response", G_CALLBACK(g_application_quit), application);
  gtk_window_present(GTK_WINDOW(dialog));
}

void activate(GApplication* application, gpointer data) {
  auto& program = *static_cast<Program*>(data);
  if (program.started) return;
  program.started = true;

  program.dataStore = std::make_shared<qby::QBYDataStore>();
  if (!program.dataStore->available()) {
    std::fprintf(stderr, "porvane-add: the deliveries could not be opened\n");
    showStoreError(application, program);
    return;
  }
  qby::QBYDeliveriesManager::Options options;
  // It only sends: the add queue's message is for the programs that keep the list.
  options.listenForActions = false;
  program.manager = qby::QBYDeliveriesManager::create(std::move(options));
  program.manager->setProcessType(qby::QBYProcessTypeWidget);
  program.manager->setDataStore(program.dataStore);
  program.manager->start();

  g_application_hold(application);
  program.extension = std::make_unique<porvane::add::QBYAddExtension>(
      *program.manager, program.arguments,
      [application, &program](porvane::add::QBYAddExtension::Outcome outcome) {
        program.status = outcome == porvane::add::QBYAddExtension::Outcome::Saved ? 0 : 1;
        g_application_release(application);
        g_application_quit(application);
      });
  program.extension->start();
}

}  // namespace

int main(int argc, char** argv) {
  Program program;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::printf(
          "Usage: porvane-add [ADDRESS | FILE | TEXT]...\n"
          "Finds the delivery in a web address, a text file or some text and adds it to "
          "Porvane.\n");
      return 0;
    }
    program.arguments.emplace_back(argv[i]);
  }
  AdwApplication* application = adw_application_new(kApplicationID, G_APPLICATION_NON_UNIQUE);
  // The windows are gtkmm objects inside a plain libadwaita application.
  Gtk::init_gtkmm_internals();
  g_signal_connect(application, "activate", G_CALLBACK(activate), &program);
  // The arguments are ours: GApplication would take them for files to open.
  char* programName[] = {argv[0], nullptr};
  g_application_run(G_APPLICATION(application), 1, programName);
  program.extension.reset();
  if (program.manager) {
    program.manager->prepareToStop();
    program.manager->stop();
  }
  g_object_unref(application);
  return program.status;
}
