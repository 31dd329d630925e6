#include "engine/QBYCookieStorage.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <utility>

#include "engine/QBYPasswordManager.h"
#include "platform/Log.h"
#include "platform/Paths.h"

namespace qby {

void SoupCookieDeleter::operator()(SoupCookie* cookie) const {
  soup_cookie_free(cookie);
}
namespace {

constexpr const char* kCookieFileName = "Cookies.sqlite";
// The latest moment GDateTime can hold (9999-12-31 23:59:59 UTC).
constexpr gint64 kLatestExpiry = 253402300799;

struct GDateTimeDeleter {
  void operator()(GDateTime* time) const { g_date_time_unref(time); }
};
using GDateTimePtr = std::unique_ptr<GDateTime, GDateTimeDeleter>;

// Cookies are the same cookie when name, domain and path agree; the value may differ.
bool sameCookie(const SoupCookie* a, const SoupCookie* b) {
  auto* first = const_cast<SoupCookie*>(a);
  auto* second = const_cast<SoupCookie*>(b);
  return g_strcmp0(soup_cookie_get_name(first), soup_cookie_get_name(second)) == 0 &&
         g_ascii_strcasecmp(soup_cookie_get_domain(first), soup_cookie_get_domain(second)) == 0 &&
         g_strcmp0(soup_cookie_get_path(first), soup_cookie_get_path(second)) == 0;
}

// The group storage's session cookies of this process, per cookie file. SoupCookieJarDB
// writes only cookies with an expiry date to its file, so without this list a session cookie
// would vanish with the jar that received it.
class SessionCookieRegistry {
 public:
  static SessionCookieRegistry& shared() {
    static SessionCookieRegistry registry;
    return registry;
  }

  CookieList cookies(const std::string& file) {
    std::lock_guard lock(mutex_);
    const auto found = byFile_.find(file);
    return found == byFile_.end() ? CookieList() : copyCookies(found->second);
  }

  void change(const std::string& file, const SoupCookie* oldCookie, const SoupCookie* newCookie) {
    std::lock_guard lock(mutex_);
    auto& list = byFile_[file];
    const auto forget = [&list](const SoupCookie* cookie) {
      std::erase_if(list,
                    [cookie](const SoupCookiePtr& kept) { return sameCookie(kept.get(), cookie); });
    };
    if (oldCookie) forget(oldCookie);
    if (newCookie && isSessionCookie(newCookie)) {
      forget(newCookie);
      list.push_back(copyCookie(newCookie));
    }
  }

 private:
  std::mutex mutex_;
  std::map<std::string, CookieList> byFile_;
};

void onGroupJarChanged(SoupCookieJar*, SoupCookie* oldCookie, SoupCookie* newCookie,
                       gpointer file) {
  SessionCookieRegistry::shared().change(static_cast<const char*>(file), oldCookie, newCookie);
}

class SharedCookieJar {
 public:
  static SharedCookieJar& shared() {
    static SharedCookieJar instance;
    return instance;
  }
  void use(const std::function<void(SoupCookieJar*)>& body) {
    // Recursive, so that a body which calls an operation on the shared storage does not lock
    // itself out.
    std::lock_guard lock(mutex_);
    if (!jar_) jar_ = GObjectPtr<SoupCookieJar>::adopt(soup_cookie_jar_new());
    body(jar_.get());
  }

 private:
  std::recursive_mutex mutex_;
  GObjectPtr<SoupCookieJar> jar_;
};

class NoWebsiteData : public QBYWebsiteDataRemover {
 public:
  void removeAllWebsiteData(std::function<void()> done) override { done(); }
};

std::mutex& removerMutex() {
  static std::mutex mutex;
  return mutex;
}
std::shared_ptr<QBYWebsiteDataRemover>& installedRemover() {
  static std::shared_ptr<QBYWebsiteDataRemover> remover = std::make_shared<NoWebsiteData>();
  return remover;
}

// Cookie texts come from servers as raw bytes; a property list can only hold UTF-8.
bool hasTextProperties(const SoupCookie* cookie) {
  auto* c = const_cast<SoupCookie*>(cookie);
  for (const char* text : {soup_cookie_get_name(c), soup_cookie_get_value(c),
                           soup_cookie_get_domain(c), soup_cookie_get_path(c)}) {
    if (text && !g_utf8_validate(text, -1, nullptr)) return false;
  }
  return true;
}

}  // namespace

// --- Cookies as values ---

SoupCookiePtr copyCookie(const SoupCookie* cookie) {
  if (!cookie) return {};
  return SoupCookiePtr(soup_cookie_copy(const_cast<SoupCookie*>(cookie)));
}

CookieList copyCookies(const CookieList& cookies) {
  CookieList copies;
  copies.reserve(cookies.size());
  for (const auto& cookie : cookies)
    if (cookie) copies.push_back(copyCookie(cookie.get()));
  return copies;
}

bool isSessionCookie(const SoupCookie* cookie) {
  return cookie && soup_cookie_get_expires(const_cast<SoupCookie*>(cookie)) == nullptr;
}

Dictionary cookieProperties(const SoupCookie* cookie) {
  Dictionary properties;
  if (!cookie) return properties;
  auto* c = const_cast<SoupCookie*>(cookie);
  const auto text = [](const char* value) { return std::string(value ? value : ""); };
  properties.set("name", text(soup_cookie_get_name(c)));
  properties.set("value", text(soup_cookie_get_value(c)));
  properties.set("domain", text(soup_cookie_get_domain(c)));
  const char* path = soup_cookie_get_path(c);
  properties.set("path", std::string(path && *path ? path : "/"));
  properties.set("secure", static_cast<bool>(soup_cookie_get_secure(c)));
  properties.set("httpOnly", static_cast<bool>(soup_cookie_get_http_only(c)));
  switch (soup_cookie_get_same_site_policy(c)) {
    case SOUP_SAME_SITE_POLICY_NONE:
      properties.set("sameSite", "None");
      break;
    case SOUP_SAME_SITE_POLICY_LAX:
      properties.set("sameSite", "Lax");
      break;
    case SOUP_SAME_SITE_POLICY_STRICT:
      properties.set("sameSite", "Strict");
      break;
  }
  if (GDateTime* expires = soup_cookie_get_expires(c))
    properties.set("expires", Date(static_cast<double>(g_date_time_to_unix(expires))));
  return properties;
}

SoupCookiePtr cookieWithProperties(const Dictionary& properties) {
  const std::string* name = properties["name"].stringPtr();
  const std::string* domain = properties["domain"].stringPtr();
  if (!name || !domain || domain->empty()) return {};
  const std::string value = properties["value"].asString().value_or("");
  const auto givenPath = properties["path"].asString();
  const std::string path = givenPath && !givenPath->empty() ? *givenPath : std::string("/");

  SoupCookiePtr cookie(
      soup_cookie_new(name->c_str(), value.c_str(), domain->c_str(), path.c_str(), -1));
  if (!cookie) return {};
  soup_cookie_set_secure(cookie.get(), properties["secure"].asBool().value_or(false));
  soup_cookie_set_http_only(cookie.get(), properties["httpOnly"].asBool().value_or(false));
  if (const auto sameSite = properties["sameSite"].asString()) {
    if (g_ascii_strcasecmp(sameSite->c_str(), "None") == 0)
      soup_cookie_set_same_site_policy(cookie.get(), SOUP_SAME_SITE_POLICY_NONE);
    else if (g_ascii_strcasecmp(sameSite->c_str(), "Lax") == 0)
      soup_cookie_set_same_site_policy(cookie.get(), SOUP_SAME_SITE_POLICY_LAX);
    else if (g_ascii_strcasecmp(sameSite->c_str(), "Strict") == 0)
      soup_cookie_set_same_site_policy(cookie.get(), SOUP_SAME_SITE_POLICY_STRICT);
  }
  const Value& expires = properties["expires"];
  std::optional<double> seconds;
  if (const auto date = expires.asDate()) {
    seconds = date->timeIntervalSince1970();
  } else if (expires.isInteger() || expires.isReal()) {
    seconds = expires.asReal();
  }
  if (seconds && std::isfinite(*seconds)) {
    const auto clamped = static_cast<gint64>(std::clamp(*seconds, 0.0, double(kLatestExpiry)));
    GDateTimePtr time(g_date_time_new_from_unix_utc(clamped));
    if (time) soup_cookie_set_expires(cookie.get(), time.get());
  }
  return cookie;
}

// --- Storages ---

std::filesystem::path cookieFileForGroup(std::string_view group) {
  if (group == QBYAppGroupID) return Paths::sharedContainer() / kCookieFileName;
  // Other groups get files of their own beside the suite's, named so that no group text can
  // reach outside the container.
  std::string name = "Cookies-";
  for (const char c : group) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    name += plain ? c : '_';
  }
  return Paths::sharedContainer() / (name + ".sqlite");
}

GObjectPtr<SoupCookieJar> groupCookieJar(std::string_view group) {
  const auto file = cookieFileForGroup(group);
  if (!Paths::ensureDirectory(file.parent_path())) {
    log("Error opening cookie storage: %@", file.string());
    return {};
  }
  auto jar = GObjectPtr<SoupCookieJar>::adopt(soup_cookie_jar_db_new(file.c_str(), FALSE));
  if (!jar) {
    log("Error opening cookie storage: %@", file.string());
    return {};
  }
  // A lasting cookie in the file is newer than a session cookie of the same name kept here:
  // had this process replaced it, the file would no longer hold it.
  const CookieList lasting = allCookies(jar.get());
  for (auto& cookie : SessionCookieRegistry::shared().cookies(file.string())) {
    const bool shadowed = std::any_of(lasting.begin(), lasting.end(), [&](const auto& kept) {
      return sameCookie(kept.get(), cookie.get());
    });
    if (!shadowed) soup_cookie_jar_add_cookie(jar.get(), cookie.release());
  }
  g_signal_connect_data(
      jar.get(), "changed", G_CALLBACK(onGroupJarChanged), g_strdup(file.c_str()),
      [](gpointer data, GClosure*) { g_free(data); }, GConnectFlags(0));
  return jar;
}

void withSharedCookieJar(const std::function<void(SoupCookieJar* jar)>& body) {
  SharedCookieJar::shared().use(body);
}

CookieList allCookies(SoupCookieJar* storage) {
  CookieList cookies;
  if (!storage) return cookies;
  GSList* list = soup_cookie_jar_all_cookies(storage);
  for (GSList* item = list; item; item = item->next)
    cookies.emplace_back(static_cast<SoupCookie*>(item->data));
  g_slist_free(list);
  return cookies;
}

CookieList groupCookies(std::string_view group) {
  const auto jar = groupCookieJar(group);
  return jar ? allCookies(jar.get()) : CookieList();
}

CookieList sharedCookies() {
  CookieList cookies;
  withSharedCookieJar([&cookies](SoupCookieJar* jar) { cookies = allCookies(jar); });
  return cookies;
}

// --- Operations on cookie storages ---

void transferCookies(const CookieList& cookies, SoupCookieJar* storage, bool reset) {
  if (!storage) return;
  if (reset) deleteAllCookies(storage);
  for (const auto& cookie : cookies) {
    // The jar takes the copy over.
    if (cookie) soup_cookie_jar_add_cookie(storage, copyCookie(cookie.get()).release());
  }
}

void transferCookies(const CookieList& cookies, std::string_view group, bool reset) {
  if (const auto jar = groupCookieJar(group)) transferCookies(cookies, jar.get(), reset);
}

void transferSharedCookiesToGroup(std::string_view group) {
  transferCookies(sharedCookies(), group, false);
}

void transferSharedCookiesFromGroup(std::string_view group) {
  const CookieList cookies = groupCookies(group);
  withSharedCookieJar([&cookies](SoupCookieJar* jar) { transferCookies(cookies, jar, false); });
}

std::string sessionIdentifierForGroup(std::string_view group) {
  return std::string(group) + ".session";
}

std::optional<CookieList> sessionCookiesForGroup(std::string_view group) {
  const auto data =
      QBYPasswordManager::applicationDataWithIdentifier(sessionIdentifierForGroup(group));
  if (!data) return std::nullopt;
  const auto archive =
      Value::fromPlist(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
  if (!archive || !archive->isArray()) {
    log("Session data is the wrong class: %@", group);
    return std::nullopt;
  }
  CookieList cookies;
  for (const Value& element : *archive->arrayPtr()) {
    if (const Dictionary* properties = element.dictionaryPtr()) {
      if (auto cookie = cookieWithProperties(*properties)) cookies.push_back(std::move(cookie));
    }
  }
  return cookies;
}

void loadSessionCookiesForGroup(std::string_view group) {
  if (const auto cookies = sessionCookiesForGroup(group)) transferCookies(*cookies, group, false);
}

bool saveSessionCookiesForGroup(std::string_view group, const std::optional<std::string>& label) {
  return saveSessionCookies(groupCookies(group), group, label);
}

bool saveSessionCookies(const CookieList& cookies, std::string_view group,
                        const std::optional<std::string>& label) {
  Array archive;
  int skipped = 0;
  for (const auto& cookie : cookies) {
    if (!isSessionCookie(cookie.get())) continue;
    if (!hasTextProperties(cookie.get())) {
      ++skipped;
      continue;
    }
    archive.emplace_back(cookieProperties(cookie.get()));
  }
  if (skipped > 0) log("Skipping %d session cookies that are not UTF-8 text", skipped);
  QBYError error;
  const auto bytes = Value(std::move(archive)).toPlist(Value::PlistFormat::Binary, &error);
  if (!bytes) {
    log("Error archiving session cookies: %@", error);
    return false;
  }
  return QBYPasswordManager::saveApplicationData(Data(bytes->begin(), bytes->end()),
                                                 sessionIdentifierForGroup(group), label);
}

bool deleteSessionCookiesForGroup(std::string_view group) {
  return QBYPasswordManager::deleteApplicationDataWithIdentifier(sessionIdentifierForGroup(group));
}

void deleteAllCookies(SoupCookieJar* storage) {
  if (!storage) return;
  for (const auto& cookie : allCookies(storage))
    soup_cookie_jar_delete_cookie(storage, cookie.get());
}

// --- Website data of web views ---

void setWebsiteDataRemover(std::shared_ptr<QBYWebsiteDataRemover> remover) {
  std::lock_guard lock(removerMutex());
  installedRemover() = remover ? std::move(remover) : std::make_shared<NoWebsiteData>();
}

void clearCookies(std::string_view group) {
  deleteSessionCookiesForGroup(group);
  withSharedCookieJar([](SoupCookieJar* jar) { deleteAllCookies(jar); });
  if (const auto jar = groupCookieJar(group)) deleteAllCookies(jar.get());
  std::shared_ptr<QBYWebsiteDataRemover> remover;
  {
    std::lock_guard lock(removerMutex());
    remover = installedRemover();
  }
  remover->removeAllWebsiteData([] { log("Web site data removed"); });
}

}  // namespace qby
