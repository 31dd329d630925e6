// The web views' side of the suite's cookies and user agent, in the main application.
//
// Every web view of the program uses one WebKitNetworkSession whose persistent cookies are
// the group's SoupCookieJarDB file (the same file the updater's jars read), so what a user
// signs in to in a window is what background updates send. Session cookies never reach
// that file; transferSharedCookiesFromGroup() hands them to a web view explicitly.
//
// installWebKitServices() gives the library what only a program with a display can do: the
// user-agent probe and the website-data remover.
//
// Threads: the main thread only; completions run on the main loop.
#pragma once

#include <webkit/webkit.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "PorvaneKit.h"
#include "engine/QBYCookieStorage.h"
#include "engine/QBYUserAgentChecker.h"

namespace porvane::app {

// The program's network session for web views (created on first use). Nothing when the
// shared container cannot be created.
WebKitNetworkSession* webNetworkSession();

// A new web view in that session with the user content manager given (may be null).
GtkWidget* newSessionWebView(WebKitUserContentManager* contentManager);

// Sets every cookie of the group's storage and the group's saved session cookies in the web
// view's cookie store, then calls done on the main loop (also when there is nothing to set
// or a cookie could not be set: the page then simply asks the user to sign in).
void transferSharedCookiesFromGroup(WebKitWebView* webView, std::string_view group,
                                    std::function<void()> done);

// The probe and the remover installWebKitServices() installs.
std::shared_ptr<qby::QBYUserAgentProbe> makeWebKitUserAgentProbe();
std::shared_ptr<qby::QBYWebsiteDataRemover> makeWebKitWebsiteDataRemover();

// Installs the WebKit user-agent probe and website-data remover into the library.
void installWebKitServices();

}  // namespace porvane::app
