// Modal questions and notices of the main application as libadwaita message dialogs: a
// heading, a body, responses in order, one of them possibly destructive, and a callback with
// the chosen response's id (the close response when the dialog is dismissed).
//
// The main thread only.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace porvane::app {

struct QBYAlertSpec {
  std::string heading;
  std::string body;
  std::vector<std::pair<std::string, std::string>> responses;  // id, localised label
  std::string defaultResponse;                                 // "" for none
  std::string closeResponse;                                   // answered on Escape
  std::string destructiveResponse;                             // "" for none
  std::string suggestedResponse;                               // "" for none
};

// Presents the dialog (transient for the parent when there is one) and answers it; the
// callback runs once. Answers the dialog, which lives until it is answered.
GtkWidget* presentAlert(GtkWindow* parent, const QBYAlertSpec& spec,
                        std::function<void(const std::string& response)> done);

}  // namespace porvane::app
