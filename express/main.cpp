// porvane-express: the suite's companion without a window. It keeps deliveries updated while
// the main application is closed, presents every notification of the suite, shows the panel
// icon with the active deliveries, and serves the global shortcuts. It runs as a login item
// (background updates, panel icon or shortcuts on), or is started on demand, by D-Bus
// activation of its name, to deliver a notification; such a temporary launch quits soon after.
#include <gio/gio.h>
#include <glib-unix.h>

#include <clocale>
#include <csignal>
#include <memory>
#include <string>

#include "PorvaneKit.h"
#include "QBYBackgroundAppDelegate.h"
#include "manager/QBYBackgroundUpdater.h"
#include "manager/QBYLog.h"
#include "platform/GLibPtr.h"
#include "platform/Log.h"

namespace {

using porvane::express::QBYBackgroundAppDelegate;

// Exit statuses: 0 done, 1 the store or the login item could not be set up, 64 usage error.
constexpr int kExitFailure = 1;

struct Program {
  GApplication* application = nullptr;
  std::shared_ptr<QBYBackgroundAppDelegate> delegate;
  bool temporaryLaunch = false;
  int status = 0;
  gboolean enableLoginItem = FALSE;
  gboolean disableLoginItem = FALSE;
};

bool openURI(const std::string& uri) {
  GError* error = nullptr;
  if (g_app_info_launch_default_for_uri(uri.c_str(), nullptr, &error)) return true;
  qby::log("Cannot open %@: %@", uri, error ? error->message : "unknown error");
  g_clear_error(&error);
  return false;
}

void actionWithUUID(GSimpleAction* action, GVariant* parameter, gpointer data) {
  auto* program = static_cast<Program*>(data);
  if (!program->delegate || !parameter) return;
  const std::string uuid = g_variant_get_string(parameter, nullptr);
  if (std::string(g_action_get_name(G_ACTION(action))) == porvane::express::kArchiveActionName)
    program->delegate->archiveDeliveryWithUUID(uuid);
  else
    program->delegate->showDeliveryWithUUID(uuid);
}

void addActions(Program& program) {
  for (const char* name :
       {porvane::express::kArchiveActionName, porvane::express::kShowActionName}) {
    GSimpleAction* action = g_simple_action_new(name, G_VARIANT_TYPE_STRING);
    g_signal_connect(action, "activate", G_CALLBACK(actionWithUUID), &program);
    g_action_map_add_action(G_ACTION_MAP(program.application), G_ACTION(action));
    g_object_unref(action);
  }
}

// Runs before the instance registers: the login-item options act and end the program without
// touching the store, and a second copy on a temporary launch ends without side effects.
gint handleLocalOptions(GApplication* application, GVariantDict*, gpointer data) {
  auto* program = static_cast<Program*>(data);
  if (program->enableLoginItem && program->disableLoginItem) {
    g_printerr(
        "porvane-express: --enable-login-item and --disable-login-item exclude each other\n");
    return 64;
  }
  if (program->enableLoginItem || program->disableLoginItem) {
    // The failure itself is in the log; the exit status tells a script.
    const bool enable = program->enableLoginItem;
    if (qby::QBYBackgroundUpdater::enableBackgroundUpdater(enable)) return 0;
    g_printerr("porvane-express: the login item could not be %s\n", enable ? "set" : "removed");
    return kExitFailure;
  }

  program->temporaryLaunch = !qby::QBYBackgroundUpdater::usingBackgroundUpdater();
  GError* error = nullptr;
  if (!g_application_register(application, nullptr, &error)) {
    qby::log("Cannot register on the session bus: %@", error ? error->message : "unknown error");
    g_clear_error(&error);
    return kExitFailure;
  }
  if (g_application_get_is_remote(application)) {
    // The running copy serves; this one only hands over its activation, if at all.
    if (program->temporaryLaunch) qby::log("Terminating because another copy is running");
    return 0;
  }
  return -1;
}

void startup(GApplication* application, gpointer data) {
  auto* program = static_cast<Program*>(data);
  QBYBackgroundAppDelegate::Environment environment;
  environment.application = application;
  environment.terminate = [application] { g_application_quit(application); };
  environment.openURI = openURI;
  program->delegate =
      std::make_shared<QBYBackgroundAppDelegate>(std::move(environment), program->temporaryLaunch);
  if (!program->delegate->applicationWillFinishLaunching()) {
    program->status = kExitFailure;
    program->delegate.reset();
    // Quit from the loop: the application is still starting up here.
    g_idle_add(
        [](gpointer app) -> gboolean {
          g_application_quit(G_APPLICATION(app));
          return G_SOURCE_REMOVE;
        },
        application);
    return;
  }
  addActions(*program);
  // No window keeps the program alive: it lives until told to quit.
  g_application_hold(application);
  program->delegate->applicationDidFinishLaunching();
}

void activate(GApplication*, gpointer) {
  // Started again while running (or by activation of its name): nothing to show.
}

void shutdown(GApplication*, gpointer data) {
  auto* program = static_cast<Program*>(data);
  if (program->delegate) program->delegate->applicationWillTerminate();
}

gboolean terminateOnSignal(gpointer application) {
  g_application_quit(G_APPLICATION(application));
  return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  qby::QBYLog::startForGroup(std::string(qby::QBYAppGroupID));

  Program program;
  auto application = qby::GObjectPtr<GApplication>::adopt(
      g_application_new(qby::QBYBackgroundUpdaterIdentifier, G_APPLICATION_DEFAULT_FLAGS));
  program.application = application.get();

  const GOptionEntry options[] = {
      {"enable-login-item", 0, 0, G_OPTION_ARG_NONE, &program.enableLoginItem,
       "Start the companion at login", nullptr},
      {"disable-login-item", 0, 0, G_OPTION_ARG_NONE, &program.disableLoginItem,
       "Do not start the companion at login", nullptr},
      {nullptr, 0, 0, G_OPTION_ARG_NONE, nullptr, nullptr, nullptr}};
  g_application_add_main_option_entries(application.get(), options);
  g_signal_connect(application.get(), "handle-local-options", G_CALLBACK(handleLocalOptions),
                   &program);
  g_signal_connect(application.get(), "startup", G_CALLBACK(startup), &program);
  g_signal_connect(application.get(), "activate", G_CALLBACK(activate), &program);
  g_signal_connect(application.get(), "shutdown", G_CALLBACK(shutdown), &program);
  // Ending by a signal runs the same orderly stop as a quit: the store is saved and the
  // manager stopped, so a log-out loses nothing.
  g_unix_signal_add(SIGTERM, terminateOnSignal, application.get());
  g_unix_signal_add(SIGINT, terminateOnSignal, application.get());

  const int status = g_application_run(application.get(), argc, argv);
  program.delegate.reset();
  return status != 0 ? status : program.status;
}
