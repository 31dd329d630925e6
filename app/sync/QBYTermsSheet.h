// The sync server's terms of use, shown before an account is registered: a modal window over
// the preferences with the server's terms page in a web view of its own (an ephemeral session:
// nothing of it is kept), our own reading style sheet (a dark one in the dark appearance), and
// "I Agree" and "Cancel". Closing the window counts as "Cancel".
//
// The answer is given once, on the main loop. Destroying the object closes the window without
// an answer.
//
// Threads: main thread only.
#pragma once

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <string>

typedef struct _WebKitWebView WebKitWebView;

namespace porvane::app {

class QBYTermsSheet {
 public:
  using Answer = std::function<void(bool agreed)>;

  QBYTermsSheet(GtkWindow* parent, const std::string& url, Answer answer);
  ~QBYTermsSheet();
  QBYTermsSheet(const QBYTermsSheet&) = delete;
  QBYTermsSheet& operator=(const QBYTermsSheet&) = delete;

  GtkWindow* window() const;
  WebKitWebView* webView() const;
  // The reason the page could not be shown, or "" while it loads or after it loaded.
  std::string loadError() const;
  // As the buttons do.
  void agree();
  void cancel();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace porvane::app
