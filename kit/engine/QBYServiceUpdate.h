// Signed updates of the services script. The vendor's sync service offers newer versions of
// "Services.js"; QBYServiceUpdate downloads an offered file (or takes it inline), checks its
// signature against the certificate "Certificate-2018" shipped with the library, and installs
// it in the shared caches, where every program of the suite finds it. It also keeps the
// installed version in the shared defaults and notices when another program installed a newer
// one.
//
// Offers are dictionaries of texts: "version", "beta" ("true" for a beta), "signature"
// (Base64), and either "text" (the file itself) or "url" (where to download it).
//
// Every failure leaves the installed file and version as they were: new text is written only
// after its signature verified, and atomically.
//
// Threads: create, use and destroy an instance on the main thread. Downloads, verification and
// writing run on the instance's own serial queue; the delegate is called from the queue that
// finished the work (that queue, or the caller's thread for an offer refused at once), and
// QBYServiceUpdateNotification is posted on the main queue with the instance as sender. The
// destructor cancels a running download and waits for the queue's work to end.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Date.h"
#include "platform/QBYOperationQueue.h"
#include "platform/Value.h"

typedef struct _GObject GObject;
typedef struct _GAsyncResult GAsyncResult;

namespace qby {

// The version of the common script files shipped with this build; a downloaded services file
// is used only from the next version on.
inline constexpr std::int64_t QBYServiceUpdateBundleVersion = 222;

inline constexpr const char* QBYServiceUpdateVersionKey = "QBYServiceUpdateVersion";
inline constexpr const char* QBYServiceUpdateBetaKey = "QBYServiceUpdateBeta";
inline constexpr const char* QBYServiceUpdateDateKey = "QBYServiceUpdateDate";
inline constexpr const char* QBYServiceUpdateNotification = "QBYServiceUpdateNotification";

// Download failures that are not transport errors: an offer whose "url" is not an http(s)
// URL (code 1), and an answer with an HTTP status other than 2xx (the code is the status).
inline constexpr const char* QBYServiceUpdateErrorDomain = "com.quillbay.serviceupdate";
inline constexpr std::int64_t QBYServiceUpdateErrorInvalidURL = 1;

class QBYServiceUpdate;

class QBYServiceUpdateDelegate {
 public:
  virtual ~QBYServiceUpdateDelegate() = default;
  virtual void serviceUpdateInstalled(QBYServiceUpdate& serviceUpdate) = 0;
  virtual void serviceUpdateFailed(QBYServiceUpdate& serviceUpdate) = 0;
};

class QBYServiceUpdate {
 public:
  // Version and beta flag from the shared defaults (nothing stored reads as the shipped
  // version, not beta); redownload off.
  QBYServiceUpdate();
  ~QBYServiceUpdate();
  QBYServiceUpdate(const QBYServiceUpdate&) = delete;
  QBYServiceUpdate& operator=(const QBYServiceUpdate&) = delete;

  // Held weakly; a delegate that is gone is not called.
  void setDelegate(std::weak_ptr<QBYServiceUpdateDelegate> delegate);

  std::int64_t version() const { return version_; }
  bool beta() const { return beta_; }
  bool redownload() const { return redownload_; }
  bool busy() const { return busy_; }
  // The installed services file: "Services.js" in the shared caches, fixed at first use.
  std::filesystem::path url();

  // The offer being installed (nothing before the first install).
  std::int64_t installVersion() const;
  bool installBeta() const;
  std::optional<std::string> installSignature() const;

  // When the sync service last answered about services, straight from the shared defaults;
  // nothing means the next sync asks again. Setting nothing removes it.
  std::optional<Date> updated() const;
  void setUpdated(const std::optional<Date>& date);

  // The version the sync request asks for: the shipped version after manualUpdate (so that
  // the server offers its current file again), else the installed one.
  std::int64_t versionForUpdateQuery() const;

  // "230" or "230 beta", from the stored values, for display.
  static std::string versionString();

  // Resets when the installed version is not newer than the shipped files or its file is
  // missing. For program start.
  void checkBundleVersion();

  // Whether the installed file carries that signature (Base64) of the certificate's key.
  bool installedUpdateMatchesSignature(std::string_view signature);

  // What the manager does with an offer from the sync service: compare it with the installed
  // version and install, register or ignore it.
  void handleUpdateOffer(const Dictionary& offer);

  // Installs the offer: takes its text or downloads its URL, then verifies and writes it on
  // the queue. Ends with a delegate call.
  void installUpdate(const Dictionary& offer);

  // Adopts the offer's version and beta flag without touching the file (it already is that
  // version).
  void registerUpdate(const Dictionary& offer);

  // The next sync asks for the current file again.
  void manualUpdate();

  // True (and the stored version adopted) when another program installed a newer version;
  // the caller then reloads what uses the services file.
  bool shouldReload();

  // Deletes the installed file and goes back to the shipped version.
  void reset();

  // Sets the version and beta flag, stores them when asked, and posts
  // QBYServiceUpdateNotification on the main queue.
  void setVersion(std::int64_t version, bool beta, bool save);

  // Verifies the text (nothing counts as a failure) with the signature of the offer being
  // installed, writes it and finishes.
  void processUpdateString(const std::optional<std::string>& text);

  // Clears busy and tells the delegate.
  void finishUpdateWithSuccess(bool success);

 private:
  struct Install {
    std::int64_t version = 0;
    bool beta = false;
    std::optional<std::string> signature;
  };
  struct Download;
  struct Request;

  void process(const std::optional<std::string>& text, const Install& install);
  void download(const std::string& location, const Install& install);
  static void downloadFinished(GObject* source, GAsyncResult* result, void* request);
  void cancelDownloadAndWait();

  std::atomic<std::int64_t> version_;
  std::atomic<bool> beta_;
  std::atomic<bool> redownload_{false};
  std::atomic<bool> busy_{false};

  mutable std::mutex mutex_;
  Install install_;
  std::weak_ptr<QBYServiceUpdateDelegate> delegate_;
  std::optional<std::filesystem::path> url_;

  // Lets blocks queued on the main queue find out that the instance is gone.
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);

  // Only on queue_'s thread.
  std::unique_ptr<Download> download_;

  // Last, so it is destroyed (and its thread joined) before anything its work uses.
  QBYOperationQueue queue_{"com.quillbay.serviceupdate"};
};

}  // namespace qby
