// The clipboard as the finder reads it. GTK reads the clipboard asynchronously, while the
// finder asks for it from its search thread and expects an answer at once, so this keeps a copy
// of the clipboard's text that refresh() renews from the display's clipboard.
//
// Threads: refresh() on the main thread; content() from any thread.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "finder/QBYWebData.h"

namespace porvane::forms {

class QBYGtkPasteboard : public qby::QBYPasteboard,
                         public std::enable_shared_from_this<QBYGtkPasteboard> {
 public:
  QBYGtkPasteboard() = default;

  qby::QBYPasteboardContent content() const override;

  // Reads the text of the clipboard; `done` runs on the main loop with whether it changed.
  // A clipboard without text reads as empty. The read keeps the pasteboard alive (make it
  // with std::make_shared).
  void refresh(GdkClipboard* clipboard, std::function<void(bool changed)> done);

 private:
  void setText(std::optional<std::string> text, const std::function<void(bool)>& done);

  mutable std::mutex mutex_;
  std::optional<std::string> text_;
};

}  // namespace porvane::forms
