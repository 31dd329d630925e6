// A results dictionary as a tracking script reports it, built from JSON, applied to a stored
// delivery that already has tracking lines. Whatever the script put in it, applying must
// leave a delivery the store can save, with finite update times, one line per dictionary item
// (or the old lines when nothing was found), and a search text.
//
// The dictionary's "uuid" and "hash" are set to the delivery's, since results for other
// deliveries are dropped before anything is read; an odd-sized input is applied as a result
// that sync carried in (with an update date), an even-sized one as a live result.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "manager/QBYNotification.h"
#include "manager/QBYResultsApplier.h"
#include "model/Delivery.h"
#include "model/Detail.h"
#include "platform/Paths.h"
#include "platform/QBYError.h"
#include "platform/QBYUserDefaults.h"
#include "store/QBYDataStore.h"
#include "store/core/QBYManagedObjectContext.h"

namespace {

using namespace qby;

// The manager's side, doing nothing but keep the store and defaults at hand.
class Host : public QBYResultsApplierHost {
 public:
  Host(QBYDataStore& store, QBYUserDefaults& defaults) : store_(store), defaults_(defaults) {}
  QBYDataStore& dataStore() override { return store_; }
  std::shared_ptr<Delivery> deliveryWithUUID(const std::string&) override { return nullptr; }
  void updateStatus(const std::optional<std::string>&) override {}
  int applicationState() override { return 1; }
  void presentDeliveryNotification(const QBYNotification& notification) override {
    FUZZ_CHECK(notification.uuid, "a notification without its delivery");
  }
  void updatedDelivery(const std::shared_ptr<Delivery>&) override {}
  bool iCloudEnabled() override { return true; }
  void syncObject(const std::shared_ptr<Delivery>&, bool) override {}
  void setUpdateResultNewData() override {}
  void setPreviousEventDates(const std::string&, std::vector<Date>) override {}
  QBYUserDefaults& sharedDefaults() override { return defaults_; }

 private:
  QBYDataStore& store_;
  QBYUserDefaults& defaults_;
};

struct Fixture {
  Fixture()
      : store(Paths::sharedContainer() / "Fuzz.sqlite"),
        defaults(Paths::sharedContainer() / "fuzz-defaults.plist"),
        host(store, defaults),
        applier(host) {
    if (!store.available()) fuzz::fail("the store did not open");
  }
  QBYDataStore store;
  QBYUserDefaults defaults;
  Host host;
  QBYResultsApplier applier;
};

Fixture& fixture() {
  static Fixture instance;
  return instance;
}

std::shared_ptr<Delivery> storedDelivery(QBYManagedObjectContext& context) {
  auto delivery = context.insert<Delivery>("Delivery");
  delivery->setUuid(std::string("FUZZ"));
  delivery->setFrom(std::string("parcel.example"));
  delivery->setNo(std::string("PX123"));
  delivery->setName(std::string("Shoes"));
  delivery->setModified(Date::now().timeIntervalSince1970() - 7200);
  delivery->setUpdatedTime(Date::now().timeIntervalSince1970() - 3600);
  delivery->setStatusChangedDate(Date::now().addingTimeInterval(-3600));
  const Dictionary lines[] = {{{"itemName", "Shoes"},
                               {"shippedText", "In transit %@"},
                               {"shippedDateString", "2024-03-11"}},
                              {{"itemName", "Socks"},
                               {"deliveredText", "Delivered %@"},
                               {"deliveredDateString", "2024-03-12"},
                               {"icon", "checkmark"}}};
  for (std::int64_t i = 0; i < 2; ++i) {
    auto line = context.insert<Detail>("Detail");
    line->setAttributes(lines[i]);
    line->setIndex(i);
    delivery->addDetail(line);
  }
  delivery->updateHistoryTitle();
  return delivery;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::useTemporaryHome();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto value = Value::fromJSON(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!value || !value->isDictionary()) return 0;

  Fixture& f = fixture();
  auto& context = *f.store.viewContext();
  const auto delivery = storedDelivery(context);
  Dictionary results = *value->dictionaryPtr();
  results.set(QBYResultsUUID, *delivery->uuid());
  results.set(QBYResultsHash, delivery->settingsHash());

  const std::optional<Date> synced =
      size % 2 ? std::optional<Date>(Date::now().addingTimeInterval(-600)) : std::nullopt;
  f.applier.updateDelivery(delivery, results, synced, 3);

  FUZZ_CHECK(std::isfinite(delivery->nextUpdate()), Value(results).description());
  FUZZ_CHECK(std::isfinite(delivery->backgroundUpdate()), Value(results).description());
  const bool updating = results[QBYResultsUpdating].asBool().value_or(false);
  if (!updating) FUZZ_CHECK(delivery->searchText() != nullptr, Value(results).description());
  std::size_t items = 0;
  if (const auto* list = results[QBYResultsItems].arrayPtr()) {
    for (const Value& item : *list) items += item.isDictionary() ? 1 : 0;
  }
  const bool found = results[QBYResultsStatus].asInteger().value_or(0) >= 2;
  if (!updating) {
    const std::size_t expected = found && items > 0 ? items : 2;
    FUZZ_CHECK(delivery->details().size() == expected, Value(results).description());
  }

  QBYError error;
  FUZZ_CHECK(context.save(&error), error.description() + "\n" + Value(results).description());
  context.deleteObject(delivery);
  FUZZ_CHECK(context.save(&error), error.description());
  context.reset();
  return 0;
}
