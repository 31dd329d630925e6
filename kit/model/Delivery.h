// One tracked shipment: the settings the user gave (service key, number, name, extra value,
// date), the state of its updates, its tracking lines (details) and the derived values the
// rest of the system reads from it: sort keys, completion and error rules, the JSON form of
// its details that sync carries, its search text, links and the e-mail text.
//
// Whoever changes `selected`, `statusChangedDate` or `modified` calls the matching sort-index
// update, so the stored sort keys always agree with the rules.
//
// Threads: used only on the queue of the context that holds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/QBYSyncObject.h"
#include "platform/URL.h"

namespace qby {

class Detail;
class DeliveryText;
class HTML;
class Service;

class Delivery : public QBYSyncObject {
 public:
  // Sort key of a delivery without a dated selected line.
  static constexpr double kNoDetailSortIndex = 99999999999.0;
  // A failure must last this long (5 hours) before it is shown.
  static constexpr double kErrorGracePeriod = 18000;
  // A delivery updated this recently is left out of soft update cycles.
  static constexpr double kSoftUpdatePause = 300;
  // Modes of updateItemCache().
  enum ItemCacheMode : int { ItemCacheKeep = 0, ItemCacheReplace = 1, ItemCacheClear = 2 };

  // --- Stored attributes ---
  std::optional<Date> siteChangedDate() const;
  void setSiteChangedDate(std::optional<Date> date);
  // The date setting, an ISO day string.
  std::optional<std::string> date() const;
  void setDate(std::optional<std::string> date);
  std::optional<std::string> extra() const;
  void setExtra(std::optional<std::string> extra);
  // The service key; "other" for a plain web page.
  std::optional<std::string> from() const;
  void setFrom(std::optional<std::string> from);
  bool removed() const;
  void setRemoved(bool removed);
  std::optional<std::string> historyTitle() const;
  void setHistoryTitle(std::optional<std::string> title);
  std::int64_t manualSortIndex() const;
  void setManualSortIndex(std::int64_t index);
  std::optional<Date> statusChangedDate() const;
  void setStatusChangedDate(std::optional<Date> date);
  std::optional<Date> statusChangedOrModifiedDate() const;
  void setStatusChangedOrModifiedDate(std::optional<Date> date);
  std::optional<Date> lastErrorDate() const;
  void setLastErrorDate(std::optional<Date> date);
  std::optional<std::string> message() const;
  void setMessage(std::optional<std::string> message);
  std::optional<std::string> name() const;
  void setName(std::optional<std::string> name);
  std::optional<std::string> no() const;
  void setNo(std::optional<std::string> no);
  // Kept for older stores; passwords live in the keychain.
  bool password() const;
  void setPassword(bool password);
  // The index of the detail shown as the current line (see setSelected()).
  std::int64_t selected() const;
  std::optional<std::string> tap() const;
  void setTap(std::optional<std::string> tap);
  // Seconds since 1970; 1.0 or less means never.
  double updatedTime() const;
  void setUpdatedTime(double seconds);
  double nextUpdate() const;
  void setNextUpdate(double seconds);
  double backgroundUpdate() const;
  void setBackgroundUpdate(double seconds);
  bool updating() const;
  void setUpdating(bool updating);
  std::optional<std::string> url() const;
  void setUrl(std::optional<std::string> url);
  std::optional<std::string> mobileURL() const;
  void setMobileURL(std::optional<std::string> url);
  double deliveryDateSortIndex() const;
  void setDeliveryDateSortIndex(double index);
  std::int64_t serviceUpdateVersion() const;
  void setServiceUpdateVersion(std::int64_t version);
  std::optional<std::string> itemCacheJSON() const;
  void setItemCacheJSON(std::optional<std::string> json);

  // --- Relationships ---
  std::vector<std::shared_ptr<Detail>> details() const;
  void addDetail(const std::shared_ptr<Detail>& detail);
  void removeDetail(const std::shared_ptr<Detail>& detail);
  std::shared_ptr<HTML> html() const;
  void setHtml(const std::shared_ptr<HTML>& html);
  std::shared_ptr<Service> service() const;
  void setService(const std::shared_ptr<Service>& service);
  std::shared_ptr<DeliveryText> searchText() const;
  void setSearchText(const std::shared_ptr<DeliveryText>& text);

  // --- Dictionary and text forms ---
  // "uuid", "archived", "modified", "date", "extra", "from", "name", "no", "selected", each
  // when set.
  Dictionary attributes() const override;
  // attributes plus "removed"; with details JSON also "detailsJSON", "detailsLanguage",
  // "serviceUpdateVersion" and "updatedTime".
  Dictionary attributesToSync() const override;
  // What a watch needs: a tombstone for archived and removed deliveries, otherwise the sync
  // attributes plus "statusChangedDate".
  Dictionary watchData() const;
  // The sync service's request form of the settings.
  std::string queryString() const override;
  // MD5 of name, from, no, extra and date ("(null)" for each absent one), as 32 lower-case
  // hexadecimal digits; identifies the same settings on every device.
  std::string settingsHash() const;

  std::string defaultTitle() const;
  std::string siriName() const;
  std::optional<std::string> serviceName() const;
  std::string titleForEmail() const;
  // The HTML body of the e-mail that shares the delivery; nothing when the template is missing.
  std::optional<std::string> messageForEmail() const;

  std::optional<Date> updatedDate() const;

  // --- Rules ---
  bool shouldSoftUpdate() const;
  bool statusChangedRecently() const;
  bool hasError() const;
  bool hasAnyError() const;
  bool shouldShowError() const;
  bool requiresSignIn() const;
  bool isUpdating() const;
  bool isOther() const;
  bool isComplete() const;
  bool isProbablyComplete() const;

  // --- Details ---
  std::vector<std::shared_ptr<Detail>> sortedDetails() const;
  std::shared_ptr<Detail> selectedDetail() const;
  std::shared_ptr<Detail> detailWithIndex(std::int64_t index) const;
  // The JSON form of the update results that sync carries: nothing while the delivery waits
  // for a user action, "" without results, else the object with the details.
  std::optional<std::string> detailsJSON() const;
  int displayTypeForDetail(const std::shared_ptr<Detail>& detail) const;

  // --- Links ---
  std::optional<URL> onlineURL() const;
  std::optional<URL> onlineURLForMobile(bool mobile) const;
  std::optional<URL> showURL() const;
  std::optional<URL> editURL() const;
  // porvane://<action>/<uuid>; nothing without uuid.
  static std::optional<URL> urlForAction(std::string_view action,
                                         const std::optional<std::string>& uuid);
  std::optional<std::string> extraDomain() const;
  std::optional<std::string> regionName() const;

  // --- Texts ---
  std::string pasteboardTitle() const;
  std::string pasteboardString() const;
  std::vector<std::string> basicSearchKeywords() const;
  std::string basicSearchText() const;
  std::string generatedSearchText() const;
  std::vector<std::string> generatedSearchKeywordsForDetail(
      const std::shared_ptr<Detail>& detail) const;
  std::string titleLimitedToLength(std::size_t n) const;

  // --- Changes ---
  // Stores the index clamped to the details (absent → 0, negative → last, past the end → 0)
  // and recomputes the delivery-date sort index.
  void setSelected(std::optional<std::int64_t> selected);
  // Steps the selected line, wrapping around; nothing with fewer than two details.
  std::int64_t incrementSelected(std::int64_t delta);
  void markForUpdate();
  void prepareForSignIn();
  void updateHistoryTitle();
  void updateSortIndexes();
  void updateDeliveryDateSortIndex();
  void updateStatusChangedOrModifiedDate();
  void updateItemCache(int mode);
};

}  // namespace qby
