#include "sync/QBYDeliveryDocument.h"

#include <cmath>
#include <cstdio>
#include <random>

#include "model/Delivery.h"
#include "model/QBYDeliveryKeys.h"
#include "platform/Localization.h"
#include "platform/Log.h"

namespace qby {
namespace {

// "E621E1F8-C36C-495A-93FC-0C247A3E6E5F", as every other uuid of the store is spelled.
std::string newUUIDString() {
  thread_local std::mt19937_64 generator{std::random_device{}()};
  std::uint64_t high = generator();
  std::uint64_t low = generator();
  high = (high & 0xFFFFFFFFFFFF0FFFULL) | 0x0000000000004000ULL;  // version 4
  low = (low & 0x3FFFFFFFFFFFFFFFULL) | 0x8000000000000000ULL;    // RFC 4122 variant
  char text[37];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(high >> 32),
                static_cast<unsigned>((high >> 16) & 0xFFFF), static_cast<unsigned>(high & 0xFFFF),
                static_cast<unsigned>(low >> 48),
                static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
  return text;
}

QBYError formatError(Dictionary userInfo = {}) {
  return QBYError::make(QBYSyncErrorDomain, QBYSyncFileFormatError,
                        QBYLocalizedString("The file is not the right format."),
                        std::move(userInfo));
}

// What the file's dictionary holds for the key, checked: a key of the wrong kind makes the
// whole file unreadable rather than leaving a field half-set.
class FieldReader {
 public:
  explicit FieldReader(const Dictionary& dictionary) : dictionary_(dictionary) {}

  bool ok() const { return ok_; }
  const std::string& badKey() const { return badKey_; }

  std::optional<std::string> text(const char* key) {
    const Value* value = dictionary_.find(key);
    if (!value || value->isNull()) return std::nullopt;
    const std::string* text = value->stringPtr();
    // Every text of the suite is a C string somewhere (the bus, the terminal, the store).
    if (!text || text->find('\0') != std::string::npos) return fail(key), std::nullopt;
    return *text;
  }
  std::optional<bool> flag(const char* key) {
    const Value* value = dictionary_.find(key);
    if (!value || value->isNull()) return std::nullopt;
    if (!value->isNumber()) return fail(key), std::nullopt;
    return value->asBool();
  }
  std::optional<double> real(const char* key) {
    const Value* value = dictionary_.find(key);
    if (!value || value->isNull()) return std::nullopt;
    const auto number = value->isNumber() ? value->asReal() : std::nullopt;
    if (!number || !std::isfinite(*number)) return fail(key), std::nullopt;
    return number;
  }
  std::optional<std::int64_t> integer(const char* key) {
    const Value* value = dictionary_.find(key);
    if (!value || value->isNull()) return std::nullopt;
    const auto number = value->isNumber() ? value->asInteger() : std::nullopt;
    if (!number) return fail(key), std::nullopt;
    return number;
  }

 private:
  void fail(const char* key) {
    if (ok_) badKey_ = key;
    ok_ = false;
  }

  const Dictionary& dictionary_;
  bool ok_ = true;
  std::string badKey_;
};

}  // namespace

std::unique_ptr<QBYDeliveryDocument> QBYDeliveryDocument::saveObject(
    const Delivery& delivery, const std::filesystem::path& url, QBYError* error) {
  auto document = std::make_unique<QBYDeliveryDocument>();
  document->updateWithObject(delivery);
  if (!document->saveNewFileAndWait(url, error)) return nullptr;
  return document;
}

void QBYDeliveryDocument::updateWithObject(const QBYSyncObject& record) {
  QBYSyncDocument::updateWithObject(record);
  const auto* delivery = dynamic_cast<const Delivery*>(&record);
  if (!delivery) return;
  date_ = delivery->date();
  extra_ = delivery->extra();
  from_ = delivery->from();
  name_ = delivery->name();
  no_ = delivery->no();
  // The sync form decides when a delivery has results to carry, and in which language.
  const Dictionary synced = delivery->attributesToSync();
  // An empty JSON is the sync form of "no results yet": nothing to carry.
  const auto json = synced[QBYDeliveryDetailsJSON].asString();
  if (json && !json->empty()) {
    detailsJSON_ = json;
    detailsLanguage_ = synced[QBYDeliveryDetailsLanguage].asString();
    updatedTime_ = synced.contains(QBYDeliveryUpdatedTime) ? synced[QBYDeliveryUpdatedTime].asReal()
                                                           : std::nullopt;
    serviceUpdateVersion_ = synced.contains(QBYDeliveryServiceUpdateVersion)
                                ? synced[QBYDeliveryServiceUpdateVersion].asInteger()
                                : std::nullopt;
  } else {
    detailsJSON_.reset();
    detailsLanguage_.reset();
    updatedTime_.reset();
    serviceUpdateVersion_.reset();
  }
}

void QBYDeliveryDocument::resetContent() {
  setArchived(false);
  setUuid(std::nullopt);
  from_ = "other";
  date_.reset();
  extra_.reset();
  name_.reset();
  no_.reset();
  detailsJSON_.reset();
  detailsLanguage_.reset();
  serviceUpdateVersion_.reset();
  updatedTime_.reset();
}

bool QBYDeliveryDocument::loadFromContents(std::string_view data, std::string_view,
                                           QBYError* error) {
  resetContent();
  if (data.empty()) {
    log("Error opening document: The file is empty.");
    setError(error, QBYError::make(QBYSyncErrorDomain, QBYSyncFileEmptyError,
                                   QBYLocalizedString("The file is empty.")));
    return false;
  }
  if (data.size() > QBYDeliveryDocumentMaximumSize) {
    log("Error opening document: The file is not the right format.");
    setError(error, formatError());
    return false;
  }

  std::optional<Dictionary> dictionary;
  QBYError plistError;
  QBYError jsonError;
  bool plistFailed = false;
  if (auto plist = Value::fromPlist(data, &plistError)) {
    if (const Dictionary* root = plist->dictionaryPtr()) dictionary = *root;
  } else {
    plistFailed = true;
  }
  bool jsonFailed = false;
  if (!dictionary) {
    if (auto json = Value::fromJSON(data, &jsonError)) {
      const Array* array = json->arrayPtr();
      if (array && !array->empty() && array->front().dictionaryPtr()) {
        dictionary = *array->front().dictionaryPtr();
      }
    } else {
      jsonFailed = true;
    }
  }
  if (!dictionary) {
    log("Error opening document: %@ %@", plistFailed ? Value(plistError.description()) : Value(),
        jsonFailed ? Value(jsonError.description()) : Value());
    // A file that parsed but held the wrong thing (a JSON object, an empty array) has no parser
    // error to tell; it is simply not a delivery document.
    if (plistFailed && !jsonFailed) {
      setError(error, formatError());
    } else if (plistFailed) {
      setError(error, plistError);
    } else {
      setError(error, formatError());
    }
    return false;
  }

  FieldReader read(*dictionary);
  auto uuid = read.text(QBYDeliveryUUID);
  const bool archived = read.flag(QBYDeliveryArchived).value_or(false);
  auto date = read.text(QBYDeliveryDate);
  auto extra = read.text(QBYDeliveryExtra);
  auto from = read.text(QBYDeliveryFrom);
  auto name = read.text(QBYDeliveryName);
  auto no = read.text(QBYDeliveryNo);
  std::optional<std::string> detailsJSON, detailsLanguage;
  std::optional<std::int64_t> version;
  std::optional<double> updated;
  if (dictionary->contains(QBYDeliveryDetailsJSON)) {
    detailsJSON = read.text(QBYDeliveryDetailsJSON);
    detailsLanguage = read.text(QBYDeliveryDetailsLanguage);
    version = read.integer(QBYDeliveryServiceUpdateVersion);
    updated = read.real(QBYDeliveryUpdatedTime);
  }
  if (!read.ok()) {
    log("Error opening document: The file is not the right format.");
    setError(error, formatError(Dictionary{{"key", Value(read.badKey())}}));
    return false;
  }

  setUuid(uuid && !uuid->empty() ? std::move(uuid) : std::optional<std::string>(newUUIDString()));
  setArchived(archived);
  date_ = std::move(date);
  extra_ = std::move(extra);
  from_ = std::move(from);
  name_ = std::move(name);
  no_ = std::move(no);
  detailsJSON_ = std::move(detailsJSON);
  detailsLanguage_ = std::move(detailsLanguage);
  serviceUpdateVersion_ = version;
  updatedTime_ = updated;
  return true;
}

Dictionary QBYDeliveryDocument::mutableAttributes() const {
  Dictionary result;
  if (uuid()) result.set(QBYDeliveryUUID, *uuid());
  result.set(QBYDeliveryArchived, archived());
  if (fileModificationDate()) {
    result.set(QBYDeliveryModified, fileModificationDate()->timeIntervalSince1970());
  }
  if (date_) result.set(QBYDeliveryDate, *date_);
  if (extra_) result.set(QBYDeliveryExtra, *extra_);
  if (from_) result.set(QBYDeliveryFrom, *from_);
  result.set(QBYDeliveryName, name_.value_or(""));
  if (no_) result.set(QBYDeliveryNo, *no_);
  if (detailsJSON_) {
    result.set(QBYDeliveryDetailsJSON, *detailsJSON_);
    if (detailsLanguage_) result.set(QBYDeliveryDetailsLanguage, *detailsLanguage_);
    if (serviceUpdateVersion_) result.set(QBYDeliveryServiceUpdateVersion, *serviceUpdateVersion_);
    if (updatedTime_) result.set(QBYDeliveryUpdatedTime, *updatedTime_);
  }
  return result;
}

Dictionary QBYDeliveryDocument::attributes() const {
  return mutableAttributes();
}

std::optional<std::string> QBYDeliveryDocument::contentsForType(std::string_view, QBYError* error) {
  if (!name_) name_ = "";
  QBYError failure;
  auto bytes = Value(mutableAttributes()).toPlist(Value::PlistFormat::Binary, &failure);
  if (!bytes) {
    log("Error writing document: %@ %@", failure, failure.userInfoDescription());
    setError(error, failure);
  }
  return bytes;
}

QBYDeliverySettings QBYDeliveryDocument::deliverySettings() const {
  // A document written before a service was renamed still names the old key.
  return QBYDeliverySettings::settingsWithDictionary(attributes(), true);
}

}  // namespace qby
