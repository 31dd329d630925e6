#include "QBYGtkPasteboard.h"

#include <memory>
#include <utility>

namespace porvane::forms {

namespace {

// What a URL on the clipboard looks like to the finder: one line with a web scheme and no
// blanks. (Not through GLib's scheme reader, which interns every scheme it is shown: the
// clipboard would grow that table for the life of the program.)
bool looksLikeURL(const std::string& text) {
  if (text.find_first_of(" \t\r\n") != std::string::npos) return false;
  return g_ascii_strncasecmp(text.c_str(), "http://", 7) == 0 ||
         g_ascii_strncasecmp(text.c_str(), "https://", 8) == 0;
}

}  // namespace

qby::QBYPasteboardContent QBYGtkPasteboard::content() const {
  std::lock_guard lock(mutex_);
  qby::QBYPasteboardContent content;
  if (!text_ || text_->empty()) return content;
  if (looksLikeURL(*text_)) {
    content.url = text_;
  } else {
    content.plainText = text_;
  }
  return content;
}

void QBYGtkPasteboard::refresh(GdkClipboard* clipboard, std::function<void(bool)> done) {
  struct Request {
    std::shared_ptr<QBYGtkPasteboard> pasteboard;
    std::function<void(bool)> done;
  };
  if (!clipboard) {
    setText(std::nullopt, done);
    return;
  }
  // The read may answer after the screen that asked is gone: the request keeps the pasteboard.
  auto request = std::make_unique<Request>(Request{shared_from_this(), std::move(done)});
  gdk_clipboard_read_text_async(
      clipboard, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Request> request(static_cast<Request*>(data));
        GError* error = nullptr;
        char* text = gdk_clipboard_read_text_finish(GDK_CLIPBOARD(source), result, &error);
        std::optional<std::string> value;
        if (text) {
          // Whatever another program put there becomes valid UTF-8 here.
          char* valid = g_utf8_make_valid(text, -1);
          value = valid;
          g_free(valid);
          g_free(text);
        }
        if (error) g_error_free(error);
        request->pasteboard->setText(std::move(value), request->done);
      },
      request.release());
}

void QBYGtkPasteboard::setText(std::optional<std::string> text,
                               const std::function<void(bool)>& done) {
  bool changed = false;
  {
    std::lock_guard lock(mutex_);
    changed = text != text_;
    text_ = std::move(text);
  }
  if (done) done(changed);
}

}  // namespace porvane::forms
