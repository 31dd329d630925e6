// A delivery as it is stated: by the user in the editor, by an opened link, by a browser
// extension or by a peer device through sync. Every way into the system that creates,
// changes, removes or shows a delivery builds one of these and hands it to the deliveries
// manager, which validates it and writes it into a Delivery record.
//
// A value type: copy it freely; use one copy on one thread at a time.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Date.h"
#include "platform/Value.h"

namespace qby {

class QBYDeliverySettings {
 public:
  // What the manager is asked to do after saving (shouldPresent).
  enum Present : unsigned { PresentNothing = 0, PresentFromEditor = 1, PresentFromLink = 2 };

  std::optional<std::string> uuid;
  std::optional<std::string> name;
  std::optional<std::string> no;
  std::optional<std::string> from;
  std::optional<std::string> extra;
  // Kept in memory and in the keychain only: never in the dictionary or archived forms.
  std::optional<std::string> password;
  std::optional<std::string> date;
  std::optional<std::string> displayName;
  std::optional<std::string> serviceName;
  double modified = 0;
  std::optional<std::string> missingSetting;
  bool archived = false;
  std::int64_t selected = -1;
  bool changedPassword = false;
  bool shouldDelete = false;
  bool skipSync = false;
  unsigned shouldPresent = PresentNothing;
  std::optional<std::string> cloudKitTag;
  std::optional<Data> cloudKitData;
  std::optional<std::string> detailsJSON;
  std::optional<std::string> detailsLanguage;
  std::int64_t serviceUpdateVersion = 0;
  double updatedTime = 0;
  std::optional<Date> statusChangedDate;
  std::optional<std::string> itemCacheJSON;

  static QBYDeliverySettings settingsWithDictionary(const Dictionary& dictionary);
  // With updateFrom set, a retired service key is moved to the service that replaced it.
  static QBYDeliverySettings settingsWithDictionary(const Dictionary& dictionary, bool updateFrom);

  // Reads the dictionary form plus the sync fields (tags, carried results).
  void setDictionary(const Dictionary& dictionary);
  // "uuid", "name", "no", "from", "extra", "date" when set; "archived" always; "selected"
  // when 0 or more; "changedPassword" only when true.
  Dictionary dictionary() const;

  std::string defaultTitle() const;
  bool isOther() const { return from && *from == "other"; }
  std::optional<std::string> suggestionTitle() const;
  std::optional<std::string> suggestionDescription() const;

  // The results carried in detailsJSON when they may replace results of the given time,
  // script version and language; otherwise nothing.
  std::optional<Dictionary> detailsLaterThan(double time, std::int64_t version,
                                             const std::optional<std::string>& language) const;

  // The archived form: a plist dictionary of the fields that survive archiving.
  Dictionary archivedDictionary() const;
  static QBYDeliverySettings settingsWithArchivedDictionary(const Dictionary& archive);

  std::uint64_t hash() const;
  bool operator==(const QBYDeliverySettings& other) const { return hash() == other.hash(); }

  // Debugging text; a set password shows as bullets, cloud data as "<...>".
  std::string description() const;

  // The service key that replaces a retired one, or the key itself.
  static std::optional<std::string> currentServiceKey(const std::optional<std::string>& key);
  // The retired service keys, each with the key that replaced it (the one table both settings
  // and the service catalogue's import use).
  static const std::vector<std::pair<std::string, std::string>>& retiredServiceKeys();

  // The JSON object the text holds, or nothing (with a console line) when it holds something
  // else or cannot be read. Absent text gives nothing silently.
  static std::optional<Dictionary> dictionaryFromJSON(const std::optional<std::string>& text);
};

}  // namespace qby
