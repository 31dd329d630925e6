// porvane-app: the main application. One instance per session: a second launch hands its
// addresses, files or --today to the running one through GApplication on the session bus
// and ends.
#include <adwaita.h>
#include <glib-unix.h>

#include <clocale>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "PorvaneKit.h"
#include "QBYAppDelegate.h"
#include "QBYWebSession.h"
#include "engine/QBYPasswordManager.h"
#include "manager/QBYLog.h"
#include "platform/GLibPtr.h"
#include "platform/Log.h"

namespace {

using porvane::app::QBYAppDelegate;

// Exit statuses: 0 done, 1 the store could not be opened or the bus not reached.
constexpr int kExitFailure = 1;

struct Program {
  GtkApplication* application = nullptr;
  std::shared_ptr<QBYAppDelegate> delegate;
  gboolean today = FALSE;
  int status = 0;
};

// Runs in the launching process: --today goes to the running instance as its action.
gint handleLocalOptions(GApplication* application, GVariantDict*, gpointer data) {
  auto* program = static_cast<Program*>(data);
  if (!program->today) return -1;
  GError* raw = nullptr;
  if (!g_application_register(application, nullptr, &raw)) {
    qby::GErrorPtr error(raw);
    qby::log("Cannot register on the session bus: %@", error ? error->message : "unknown error");
    return kExitFailure;
  }
  g_action_group_activate_action(G_ACTION_GROUP(application), "today", nullptr);
  if (g_application_get_is_remote(application)) return 0;
  // This process is the instance: it stays for the Today window.
  return -1;
}

void startup(GApplication* application, gpointer data) {
  auto* program = static_cast<Program*>(data);
  // The user-agent probe and the website-data remover need WebKit, which only a program with
  // a display has; the library asks for them through its interfaces.
  porvane::app::installWebKitServices();
  QBYAppDelegate::Environment environment;
  environment.application = GTK_APPLICATION(application);
  program->delegate = std::make_shared<QBYAppDelegate>(std::move(environment));
  if (!program->delegate->applicationWillFinishLaunching()) {
    // The store's alert is up; it quits the application when answered.
    program->status = kExitFailure;
    return;
  }
  program->delegate->applicationDidFinishLaunching();
}

void activate(GApplication*, gpointer data) {
  auto* program = static_cast<Program*>(data);
  if (program->delegate && !program->today) program->delegate->activate();
  program->today = FALSE;
}

void openFiles(GApplication*, GFile** files, gint count, const gchar*, gpointer data) {
  auto* program = static_cast<Program*>(data);
  if (!program->delegate) return;
  std::vector<std::string> uris;
  for (gint i = 0; i < count; ++i) {
    qby::GCharPtr uri(g_file_get_uri(files[i]));
    if (!uri) continue;
    // Addresses from another program become valid UTF-8 here.
    qby::GCharPtr valid(g_utf8_make_valid(uri.get(), -1));
    uris.emplace_back(valid.get());
  }
  program->delegate->open(uris);
}

void shutdown(GApplication*, gpointer data) {
  auto* program = static_cast<Program*>(data);
  if (program->delegate) program->delegate->applicationWillTerminate();
}

gboolean quitOnSignal(gpointer data) {
  // A log-out ends the program the orderly way: the sync settles and the store is saved.
  auto* program = static_cast<Program*>(data);
  if (program->delegate)
    program->delegate->requestQuit();
  else
    g_application_quit(G_APPLICATION(program->application));
  return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  qby::QBYLog::startForGroup(std::string(qby::QBYAppGroupID));

  Program program;
  auto application = qby::GObjectPtr<AdwApplication>::adopt(
      adw_application_new(qby::QBYParentAppID, G_APPLICATION_HANDLES_OPEN));
  program.application = GTK_APPLICATION(application.get());

  const GOptionEntry options[] = {
      {"today", 0, 0, G_OPTION_ARG_NONE, &program.today, "Show the Today window", nullptr},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
  g_application_add_main_option_entries(G_APPLICATION(application.get()), options);
  g_signal_connect(application.get(), "handle-local-options", G_CALLBACK(handleLocalOptions),
                   &program);
  g_signal_connect(application.get(), "startup", G_CALLBACK(startup), &program);
  g_signal_connect(application.get(), "activate", G_CALLBACK(activate), &program);
  g_signal_connect(application.get(), "open", G_CALLBACK(openFiles), &program);
  g_signal_connect(application.get(), "shutdown", G_CALLBACK(shutdown), &program);
  g_unix_signal_add(SIGTERM, quitOnSignal, &program);
  g_unix_signal_add(SIGINT, quitOnSignal, &program);

  const int status = g_application_run(G_APPLICATION(application.get()), argc, argv);
  program.delegate.reset();
  return status != 0 ? status : program.status;
}
