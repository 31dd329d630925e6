// The cookie storages the suite shares, and the session cookies it keeps across process ends.
//
// Group cookie storage: what every program of the suite sends to carrier sites. Its lasting
// cookies live in one SoupCookieJarDB file, <shared container>/Cookies.sqlite (the format
// WebKitGTK writes, so a sign-in web view can use the same file); session cookies never reach
// that file, so within one process they are kept beside it, per group, and every jar this
// module opens for the group carries them. A jar reads the file when it is opened and sees
// later changes only when they are made through it: take a new jar for each update run
// rather than keeping one for the life of the program. Session cookies that the requests of
// a jar receive are kept for the process as soon as the jar gets them.
//
// Shared cookie storage: one in-memory jar per process (the storage a web view of the program
// fills when its cookies cannot be read directly). It is only reached through
// withSharedCookieJar(), which lets one thread at a time use it.
//
// Saved session cookies: the group's session cookies as one application-data item of the
// password store ("<group>.session"), a property list array of cookie dictionaries.
//
// Threads: a SoupCookieJar may be used by one thread at a time. groupCookieJar() answers a
// new jar that belongs to the calling thread (a SoupSession made on that thread may use it);
// the operations below open and drop jars of their own, so any thread may call them. The
// operations on saved session cookies block on D-Bus: keep them off the main thread where a
// user is waiting.
#pragma once

#include <libsoup/soup.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "PorvaneKit.h"
#include "engine/QBYCookieList.h"
#include "platform/GLibPtr.h"
#include "platform/Value.h"

namespace qby {

// The label of the saved session cookies item.
inline constexpr const char* QBYSessionDataLabel = "Porvane Session Data";

// --- Cookies as values ---

SoupCookiePtr copyCookie(const SoupCookie* cookie);
CookieList copyCookies(const CookieList& cookies);
// A cookie without expiry date lives only as long as the program that holds it.
bool isSessionCookie(const SoupCookie* cookie);

// The cookie's properties: "name", "value", "domain", "path", "secure", "httpOnly",
// "sameSite" ("None", "Lax" or "Strict") and, for cookies that are not session cookies,
// "expires" (a date).
Dictionary cookieProperties(const SoupCookie* cookie);
// The cookie those properties describe; nothing when "name" or "domain" is missing or not a
// text. "expires" may be a date or seconds since 1970; a missing "path" is "/".
SoupCookiePtr cookieWithProperties(const Dictionary& properties);

// --- Storages ---

// The file of the group's lasting cookies.
std::filesystem::path cookieFileForGroup(std::string_view group = QBYAppGroupID);

// A new jar on the group's file holding the process's session cookies of the group; owned by
// the calling thread. Nothing when the shared container cannot be created.
GObjectPtr<SoupCookieJar> groupCookieJar(std::string_view group = QBYAppGroupID);

// Runs the function with the process's shared jar, while no other thread uses it.
void withSharedCookieJar(const std::function<void(SoupCookieJar* jar)>& body);

// Copies of every cookie the storage holds.
CookieList allCookies(SoupCookieJar* storage);
CookieList groupCookies(std::string_view group = QBYAppGroupID);
CookieList sharedCookies();

// --- Operations on cookie storages ---

// With reset, deletes every cookie of the storage first; then sets each given cookie in it.
void transferCookies(const CookieList& cookies, SoupCookieJar* storage, bool reset);
// The same with the group's storage.
void transferCookies(const CookieList& cookies, std::string_view group, bool reset);
// Copies every cookie of the process's shared storage into the group's, without reset.
void transferSharedCookiesToGroup(std::string_view group);
// Copies every cookie of the group's storage into the process's shared storage, without reset.
void transferSharedCookiesFromGroup(std::string_view group);

// "<group>.session".
std::string sessionIdentifierForGroup(std::string_view group);
// The saved session cookies, in the saved order; nothing when none are saved or the saved
// data is not an array ("Session data is the wrong class: %@"). Elements that are not
// cookie dictionaries are skipped.
std::optional<CookieList> sessionCookiesForGroup(std::string_view group);
// Puts the saved session cookies into the group's storage, without reset.
void loadSessionCookiesForGroup(std::string_view group);
// Saves the session cookies of the group's storage.
bool saveSessionCookiesForGroup(std::string_view group, const std::optional<std::string>& label);
// Keeps only the session cookies among those given and stores them as the group's saved
// session cookies under the label, replacing what was there. False when storing failed.
bool saveSessionCookies(const CookieList& cookies, std::string_view group,
                        const std::optional<std::string>& label);
// Deletes the saved session cookies item (none saved counts as success).
bool deleteSessionCookiesForGroup(std::string_view group);
// Deletes every cookie the storage holds.
void deleteAllCookies(SoupCookieJar* storage);

// --- Website data of web views ---

// Web views keep cookies and other website data of their own, which only the program that
// shows them can reach (WebKit needs a display). The application installs a remover; the
// library's default has nothing to remove.
class QBYWebsiteDataRemover {
 public:
  virtual ~QBYWebsiteDataRemover() = default;
  // Removes all website data of all types modified since 1970 from the default web-view data
  // store and calls done once when that has finished (on any thread).
  virtual void removeAllWebsiteData(std::function<void()> done) = 0;
};

// Installs the remover clearCookies() uses (nullptr restores the default). Any thread.
void setWebsiteDataRemover(std::shared_ptr<QBYWebsiteDataRemover> remover);

// Forgets every stored cookie: the group's saved session cookies, every cookie of the shared
// and of the group's storage, then all website data; logs "Web site data removed" when that
// is done.
void clearCookies(std::string_view group = QBYAppGroupID);

}  // namespace qby
