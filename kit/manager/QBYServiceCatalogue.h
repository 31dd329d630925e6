// The service catalogue: the Service records (with their Setting records) that deliveries are
// tracked with, filled from the services and styles lists that ship with the library. It
// imports them when a new build first runs and on a repair, keeps every delivery linked to the
// service its `from` key names, moves deliveries of retired keys to their successors, and keeps
// the use counts that pick the favourites, which travel between devices through the sync
// manager's key-value store under "QBYFavoriteServices".
//
// The deliveries manager owns one catalogue and is its host: the catalogue reaches the data
// store, the sync key-value store and the update cycle only through QBYServiceCatalogueHost.
//
// Threads: make it and call it on the main thread. Every record it reads or writes belongs to
// the data store's view context.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Value.h"

namespace qby {

class Delivery;
class QBYDataStore;
class Service;

// The sync key-value-store key of the use counts ({service key: use count}).
inline constexpr const char* QBYFavoriteServicesKey = "QBYFavoriteServices";
// Use counts: hidden services have -1; favourites have more than 0.
inline constexpr std::int64_t QBYServiceUseCountHidden = -1;

// What the catalogue needs of the deliveries manager.
class QBYServiceCatalogueHost {
 public:
  virtual ~QBYServiceCatalogueHost() = default;

  // The program's data store; nullptr before one was set (the catalogue then does nothing).
  virtual QBYDataStore* catalogueDataStore() = 0;
  // The sync manager's updateUbiquitousKey:withObject:.
  virtual void catalogueUpdateUbiquitousKey(const std::string& key, const Value& object) = 0;
  // The manager's forceUpdate (1: the next run updates every delivery that may be updated).
  virtual void catalogueSetForceUpdate(unsigned forceUpdate) = 0;
  // Repair: the manager's `cancel` (ends a running update), its `reloadDeliveries`, and telling
  // its delegate `shouldReloadDeliveries` (the catalogue calls the last one asynchronously on
  // the main queue).
  virtual void catalogueCancelUpdate() = 0;
  virtual void catalogueReloadDeliveries() = 0;
  virtual void catalogueShouldReloadDeliveries() = 0;
};

// One pair of the retired-keys table: deliveries of `former` move to `successor`.
using QBYServiceKeyRemap = std::pair<std::string, std::string>;

class QBYServiceCatalogue {
 public:
  // The host must outlive the catalogue.
  explicit QBYServiceCatalogue(QBYServiceCatalogueHost& host);
  ~QBYServiceCatalogue();
  QBYServiceCatalogue(const QBYServiceCatalogue&) = delete;
  QBYServiceCatalogue& operator=(const QBYServiceCatalogue&) = delete;

  // --- Import ---------------------------------------------------------------------------------

  // Imports the shipped lists (resources "Services.plist" and "Styles.plist" in "lists"). With
  // defaults, favourites and hidden services are set for the locale's country; with repair,
  // every delivery of every listed service is linked again, not only those without a service.
  // A missing or unreadable list counts as empty: nothing changes but the retired keys are
  // still remapped, the store saved and a forced update asked for.
  void importServicesWithDefaults(bool defaults, bool repair);
  // The same over lists given by the caller (the parsed services array and styles dictionary)
  // and an explicit country code (absent: no favourites by country).
  void importServices(const Array& services, const Dictionary& styles, bool defaults, bool repair,
                      const std::optional<std::string>& countryCode);

  // The lists as shipped; empty (logged) when missing or not of the expected kind.
  static Array servicesList();
  static Dictionary stylesList();
  // Whether the services list tracks the service automatically: its entry's "supported" is not
  // NO. A service not in the list is supported (its script decides). Others only open the
  // carrier's page. Read from the shipped list once per process.
  static bool isSupportedService(const std::optional<std::string>& key);
  // The current locale's country in upper case ("DE"); absent when the locale names none.
  static std::optional<std::string> currentCountryCode();
  // Former service keys and their successors, applied after every import. The same table
  // moves retired keys that arrive in settings (QBYDeliverySettings::currentServiceKey).
  static const std::vector<QBYServiceKeyRemap>& retiredServiceKeys();
  // A colour text of the styles list ("#RRGGBBAA", "RRGGBB", "#RGB", …) in the form the
  // Service record stores: "#rrggbbaa", lower case, alpha ff when none was given. Absent for
  // anything that is not a hexadecimal colour.
  static std::optional<std::string> colorWithHexByAlpha(const std::optional<std::string>& text);

  // --- Services -------------------------------------------------------------------------------

  // The service with that key, or nullptr. With create, a missing one is inserted (view context)
  // with only its key set.
  std::shared_ptr<Service> serviceForDomain(const std::optional<std::string>& key,
                                            bool create = false);
  // Every service in list order, and the favourites (use count above 0), fetched on first use
  // and kept until cleared.
  const std::vector<std::shared_ptr<Service>>& services();
  const std::vector<std::shared_ptr<Service>>& favoriteServices();
  // Drops both cached lists (memory pressure, or to force a refetch).
  void clearServices();
  void clearFavoriteServices();

  // --- Use counts -----------------------------------------------------------------------------

  void increaseCountForService(const std::shared_ptr<Service>& service);
  // Hides the service (use count -1) and saves.
  void hideService(const std::shared_ptr<Service>& service);
  // Hands {from: useCount} of every service to the sync key-value store.
  void syncServiceCounts();
  // A value that arrived through the sync key-value store. Only "QBYFavoriteServices" with a
  // dictionary is taken: every service named in it gets the integer stored for it; the others
  // keep theirs.
  void ubiquitousKey(const std::string& key, const Value& object);

  // --- Linking deliveries ---------------------------------------------------------------------

  // Deliveries whose `from` is the key; with onlyBroken only those without a service.
  std::vector<std::shared_ptr<Delivery>> deliveriesFrom(const std::optional<std::string>& key,
                                                        bool onlyBroken);
  // Links the key's deliveries (only the broken ones, or all) to the key's service.
  void remapDeliveriesFrom(const std::optional<std::string>& key, bool onlyBroken);
  // Moves every delivery of the former key to the successor and its service, then deletes the
  // former key's service record when there is one.
  void remapDeliveriesFrom(const std::string& former, const std::string& successor);

  // --- Repair ---------------------------------------------------------------------------------

  // Cancels the running update, imports with repair, saves, reloads the list and (on the main
  // queue, later) asks the interface to reload.
  void repairDatabase();

 private:
  std::shared_ptr<Service> serviceForDomainInStore(QBYDataStore& store,
                                                   const std::optional<std::string>& key,
                                                   bool create);
  bool saveDataStore();

  QBYServiceCatalogueHost& host_;
  std::optional<std::vector<std::shared_ptr<Service>>> services_;
  std::optional<std::vector<std::shared_ptr<Service>>> favoriteServices_;
  // Lets a call queued on the main queue notice that the catalogue is gone.
  std::shared_ptr<bool> alive_;
};

}  // namespace qby
