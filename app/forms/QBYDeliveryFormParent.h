// What the add and edit screens ask of the window that hosts them. The main application's add
// and edit windows save at once through the deliveries manager; porvane-add hands the delivery
// to the add queue, so that the program that keeps the list adds it.
//
// Threads: main thread only, like the screens.
#pragma once

#include "model/QBYDeliverySettings.h"

namespace porvane::forms {

class QBYDeliveryFormParent {
 public:
  virtual ~QBYDeliveryFormParent() = default;
  // A suggestion was chosen: show the edit screen with these settings.
  virtual void editDeliveryWithSettings(const qby::QBYDeliverySettings& settings) = 0;
  // The edit screen validated the settings: save them (or queue them) and close.
  virtual void saveDeliveryWithSettings(const qby::QBYDeliverySettings& settings) = 0;
  // Escape or the close button: close without saving.
  virtual void cancel() = 0;
};

}  // namespace porvane::forms
