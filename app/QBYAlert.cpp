#include "QBYAlert.h"

#include <adwaita.h>

#include <memory>

namespace porvane::app {

namespace {

struct AlertState {
  std::function<void(const std::string&)> done;
};

void responded(AdwMessageDialog*, const char* response, gpointer data) {
  auto* state = static_cast<AlertState*>(data);
  if (!state->done) return;
  // Taken first: the callback may present the next alert, which must not find this one's.
  auto done = std::move(state->done);
  state->done = nullptr;
  done(response ? response : "");
}

}  // namespace

GtkWidget* presentAlert(GtkWindow* parent, const QBYAlertSpec& spec,
                        std::function<void(const std::string& response)> done) {
  GtkWidget* dialog = adw_message_dialog_new(parent, spec.heading.c_str(),
                                             spec.body.empty() ? nullptr : spec.body.c_str());
  auto* messageDialog = ADW_MESSAGE_DIALOG(dialog);
  for (const auto& [id, label] : spec.responses)
    adw_message_dialog_add_response(messageDialog, id.c_str(), label.c_str());
  if (!spec.defaultResponse.empty())
    adw_message_dialog_set_default_response(messageDialog, spec.defaultResponse.c_str());
  if (!spec.closeResponse.empty())
    adw_message_dialog_set_close_response(messageDialog, spec.closeResponse.c_str());
  if (!spec.destructiveResponse.empty())
    adw_message_dialog_set_response_appearance(messageDialog, spec.destructiveResponse.c_str(),
                                               ADW_RESPONSE_DESTRUCTIVE);
  if (!spec.suggestedResponse.empty())
    adw_message_dialog_set_response_appearance(messageDialog, spec.suggestedResponse.c_str(),
                                               ADW_RESPONSE_SUGGESTED);
  gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
  gtk_accessible_update_property(GTK_ACCESSIBLE(dialog), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                 spec.heading.c_str(), -1);
  // The dialog's signal owns the state and frees it with the dialog.
  auto state = std::make_unique<AlertState>(AlertState{std::move(done)});
  g_signal_connect_data(
      dialog, "response", G_CALLBACK(responded), state.release(),
      [](gpointer data, GClosure*) { std::unique_ptr<AlertState>(static_cast<AlertState*>(data)); },
      GConnectFlags(0));
  gtk_window_present(GTK_WINDOW(dialog));
  return dialog;
}

}  // namespace porvane::app
