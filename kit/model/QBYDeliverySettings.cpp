#include "model/QBYDeliverySettings.h"

#include <cctype>
#include <cstdlib>
#include <unordered_map>

#include "model/QBYDeliveryKeys.h"
#include "platform/Format.h"
#include "platform/Localization.h"
#include "platform/Log.h"
#include "platform/QBYError.h"
#include "platform/StringHash.h"
#include "util/QBYRegions.h"
#include "util/StringUtilities.h"
#include "util/URLUtilities.h"

namespace qby {
namespace {

// Values arrive from links and older peers as texts as often as numbers, so they are read the
// way the platform's number accessors read a text: leading white space, then a number.
bool readBool(const Value& value) {
  if (auto number = value.asBool()) return *number;
  if (const auto* text = value.stringPtr()) {
    std::size_t i = 0;
    while (i < text->size() && std::isspace(static_cast<unsigned char>((*text)[i]))) ++i;
    if (i == text->size()) return false;
    const char c = (*text)[i];
    if (c == 'Y' || c == 'y' || c == 'T' || c == 't') return true;
    if (c == '+' || c == '-') ++i;
    while (i < text->size() && (*text)[i] == '0') ++i;
    return i < text->size() && (*text)[i] >= '1' && (*text)[i] <= '9';
  }
  return false;
}

std::int64_t readInteger(const Value& value) {
  if (auto number = value.asInteger()) return *number;
  if (const auto* text = value.stringPtr()) return std::strtoll(text->c_str(), nullptr, 10);
  return 0;
}

double readDouble(const Value& value) {
  if (auto number = value.asReal()) return *number;
  if (const auto* text = value.stringPtr()) return std::strtod(text->c_str(), nullptr);
  return 0;
}

std::optional<std::string> readString(const Dictionary& dictionary, const char* key) {
  const Value& value = dictionary[key];
  if (const auto* text = value.stringPtr()) return *text;
  if (value.isNumber()) return value.description();
  return std::nullopt;
}

const char* typeName(const Value& value) {
  switch (value.type()) {
    case Value::Type::Null:
      return "NSNull";
    case Value::Type::Bool:
    case Value::Type::Integer:
    case Value::Type::Real:
      return "NSNumber";
    case Value::Type::String:
      return "NSString";
    case Value::Type::Date:
      return "NSDate";
    case Value::Type::Data:
      return "NSData";
    case Value::Type::Array:
      return "NSArray";
    case Value::Type::Dictionary:
      return "NSDictionary";
  }
  return "NSObject";
}

void setIfPresent(Dictionary& dictionary, const char* key,
                  const std::optional<std::string>& value) {
  if (value) dictionary.set(key, Value(*value));
}

}  // namespace

QBYDeliverySettings QBYDeliverySettings::settingsWithDictionary(const Dictionary& dictionary) {
  QBYDeliverySettings settings;
  settings.setDictionary(dictionary);
  return settings;
}

QBYDeliverySettings QBYDeliverySettings::settingsWithDictionary(const Dictionary& dictionary,
                                                                bool updateFrom) {
  QBYDeliverySettings settings = settingsWithDictionary(dictionary);
  if (updateFrom) settings.from = currentServiceKey(settings.from);
  return settings;
}

void QBYDeliverySettings::setDictionary(const Dictionary& dictionary) {
  uuid = readString(dictionary, QBYDeliveryUUID);
  name = readString(dictionary, QBYDeliveryName);
  no = readString(dictionary, QBYDeliveryNo);
  from = readString(dictionary, QBYDeliveryFrom);
  extra = readString(dictionary, QBYDeliveryExtra);
  date = readString(dictionary, QBYDeliveryDate);
  archived = readBool(dictionary[QBYDeliveryArchived]);
  if (archived && readBool(dictionary[QBYDeliveryRemoved])) shouldDelete = true;
  selected = readInteger(dictionary[QBYDeliverySelected]);
  changedPassword = readBool(dictionary[QBYDeliveryChangedPassword]);
  cloudKitTag = readString(dictionary, QBYDeliveryCloudKitTag);
  if (const auto* data = dictionary[QBYDeliveryCloudKitData].dataPtr())
    cloudKitData = *data;
  else
    cloudKitData.reset();

  // Carried results travel as a group: without the JSON the rest means nothing.
  if (dictionary.contains(QBYDeliveryDetailsJSON)) {
    detailsJSON = readString(dictionary, QBYDeliveryDetailsJSON);
    if (dictionary.contains(QBYDeliveryDetailsLanguage))
      detailsLanguage = readString(dictionary, QBYDeliveryDetailsLanguage);
    if (dictionary.contains(QBYDeliveryServiceUpdateVersion))
      serviceUpdateVersion = readInteger(dictionary[QBYDeliveryServiceUpdateVersion]);
    if (dictionary.contains(QBYDeliveryUpdatedTime))
      updatedTime = readDouble(dictionary[QBYDeliveryUpdatedTime]);
    if (dictionary.contains(QBYDeliveryStatusChangedDate)) {
      const Value& changed = dictionary[QBYDeliveryStatusChangedDate];
      if (auto when = changed.asDate())
        statusChangedDate = *when;
      else if (changed.isNumber())
        statusChangedDate = Date(readDouble(changed));
    }
  }
}

Dictionary QBYDeliverySettings::dictionary() const {
  Dictionary result;
  setIfPresent(result, QBYDeliveryUUID, uuid);
  setIfPresent(result, QBYDeliveryName, name);
  setIfPresent(result, QBYDeliveryNo, no);
  setIfPresent(result, QBYDeliveryFrom, from);
  setIfPresent(result, QBYDeliveryExtra, extra);
  setIfPresent(result, QBYDeliveryDate, date);
  result.set(QBYDeliveryArchived, Value(archived));
  if (selected >= 0) result.set(QBYDeliverySelected, Value(selected));
  if (changedPassword) result.set(QBYDeliveryChangedPassword, Value(true));
  return result;
}

std::string QBYDeliverySettings::defaultTitle() const {
  if (hasTrimmedValue(name)) return *name;
  if (hasTrimmedValue(no)) return *no;
  return QBYLocalizedString("Unknown Item");
}

std::optional<std::string> QBYDeliverySettings::suggestionTitle() const {
  return serviceName ? serviceName : from;
}

std::optional<std::string> QBYDeliverySettings::suggestionDescription() const {
  if (displayName) return displayName;
  if (no) return no;
  if (extra && isURL(*extra)) {
    std::string address = stringByRemovingURLScheme(*extra);
    if (!address.empty() && address.back() == '/') address.pop_back();
    return address;
  }
  return std::nullopt;
}

std::optional<Dictionary> QBYDeliverySettings::detailsLaterThan(
    double time, std::int64_t version, const std::optional<std::string>& language) const {
  if (!detailsJSON || detailsJSON->empty()) return std::nullopt;
  if (version > 0 && serviceUpdateVersion != version) return std::nullopt;
  if (time > 1.0 && language && !stringIsEqualToString(detailsLanguage, language))
    return std::nullopt;
  if (time >= updatedTime) return std::nullopt;
  return dictionaryFromJSON(detailsJSON);
}

Dictionary QBYDeliverySettings::archivedDictionary() const {
  Dictionary archive;
  setIfPresent(archive, "uuid", uuid);
  setIfPresent(archive, "name", name);
  setIfPresent(archive, "no", no);
  setIfPresent(archive, "from", from);
  setIfPresent(archive, "extra", extra);
  setIfPresent(archive, "date", date);
  archive.set("modified", Value(modified));
  archive.set("archived", Value(archived));
  archive.set("changedPassword", Value(changedPassword));
  setIfPresent(archive, "itemCacheJSON", itemCacheJSON);
  return archive;
}

QBYDeliverySettings QBYDeliverySettings::settingsWithArchivedDictionary(const Dictionary& archive) {
  QBYDeliverySettings settings;
  auto text = [&](const char* key) -> std::optional<std::string> {
    if (const auto* value = archive[key].stringPtr()) return *value;
    return std::nullopt;
  };
  settings.uuid = text("uuid");
  settings.name = text("name");
  settings.no = text("no");
  settings.from = text("from");
  settings.extra = text("extra");
  settings.date = text("date");
  settings.modified = archive["modified"].asReal().value_or(0);
  settings.archived = archive["archived"].asBool().value_or(false);
  settings.changedPassword = archive["changedPassword"].asBool().value_or(false);
  settings.itemCacheJSON = text("itemCacheJSON");
  return settings;
}

std::uint64_t QBYDeliverySettings::hash() const {
  const std::string text = format("%@%@%@%@%@%@%@%@%d", uuid, name, no, from, extra, password, date,
                                  Value(modified), archived ? 1 : 0);
  return stringHash(text);
}

std::string QBYDeliverySettings::description() const {
  const std::optional<std::string> shownPassword =
      password ? std::optional<std::string>("••••••••") : std::nullopt;
  const std::optional<std::string> shownData =
      cloudKitData ? std::optional<std::string>("<...>") : std::nullopt;
  return format(
      "<QBYDeliverySettings %@ password=%@ modified=%@ displayName=%@ serviceName=%@ "
      "missingSetting=%@ shouldDelete=%d skipSync=%d shouldPresent=%u cloudKitTag=%@ "
      "cloudKitData=%@ serviceUpdateVersion=%ld detailsJSON=%@ detailsLanguage=%@ "
      "updatedTime=%@ statusChangedDate=%@ itemCacheJSON=%@>",
      Value(dictionary()), shownPassword, Value(modified), displayName, serviceName, missingSetting,
      shouldDelete ? 1 : 0, skipSync ? 1 : 0, shouldPresent, cloudKitTag, shownData,
      serviceUpdateVersion, detailsJSON, detailsLanguage, Value(updatedTime),
      statusChangedDate ? Value(*statusChangedDate) : Value(), itemCacheJSON);
}

const std::vector<std::pair<std::string, std::string>>& QBYDeliverySettings::retiredServiceKeys() {
  // Service keys that older versions and peers still send. Each moved to the service that
  // took over its deliveries.
  static const std::vector<std::pair<std::string, std::string>> retired = {
      {"track.dhl-usa.com", "www.dhl.com"},
      {"www.post.japanpost.jp/ems", ServiceKey::JapanPostYuPack},
      {"www.post.japanpost.jp/m10", ServiceKey::JapanPostYuPack},
      {"www.post.japanpost.jp/reg", ServiceKey::JapanPostYuPack},
      {"www.poste.it/posta1", ServiceKey::PosteItaliane},
      {"www.poste.it/pacco1", ServiceKey::PosteItaliane},
      {"www.poste.it/maxi", ServiceKey::PosteItaliane},
      {"www.poste.it/pacco", ServiceKey::PosteItaliane},
      {"www.poste.it/ems", ServiceKey::PosteItaliane},
      {"www.tntpost.nl", ServiceKey::PostNL},
  };
  return retired;
}

std::optional<std::string> QBYDeliverySettings::currentServiceKey(
    const std::optional<std::string>& key) {
  if (!key) return key;
  for (const auto& [former, successor] : retiredServiceKeys())
    if (former == *key) return successor;
  return key;
}

std::optional<Dictionary> QBYDeliverySettings::dictionaryFromJSON(
    const std::optional<std::string>& text) {
  if (!text) return std::nullopt;
  QBYError error;
  auto value = Value::fromJSON(*text, &error);
  if (!value) {
    log("Error converting from JSON data: %@, %@", error, error.userInfoDescription());
    return std::nullopt;
  }
  if (const auto* dictionary = value->dictionaryPtr()) return *dictionary;
  log("JSON data is not a dictionary: %@", std::string(typeName(*value)));
  return std::nullopt;
}

}  // namespace qby
