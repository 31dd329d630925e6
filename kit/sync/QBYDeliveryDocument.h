// A delivery document: one delivery as a small file ("*.porvane", MIME type
// application/x-porvane-delivery) that the user exports, drags out or shares, and that the
// application opens to add the delivery it describes.
//
// The file is a binary property list whose root is a dictionary with "uuid", "archived",
// "modified", "date", "extra", "from", "name" (always, empty when the delivery has none), "no"
// and, when the delivery has results, "detailsJSON", "detailsLanguage",
// "serviceUpdateVersion" and "updatedTime". A reader also takes a JSON text whose top level
// is an array of such dictionaries (the first is used). Files come from anywhere: what is not
// a dictionary of that shape is rejected whole (code 100, "The file is not the right
// format."), never half-read, and every text read is valid UTF-8.
//
// Threads: as QBYSyncDocument.
//
// Export:   QBYDeliveryDocument::saveObject(*delivery, path, &error)   (waits, new file only)
// Import:   QBYDeliveryDocument document(path);
//           if (document.openAndWait(&error)) manager.saveDeliveryWithSettings(
//               document.deliverySettings(), …);
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "model/QBYDeliverySettings.h"
#include "sync/QBYSyncDocument.h"

namespace qby {

class Delivery;

inline constexpr const char* QBYDeliveryDocumentType = "com.quillbay.porvane";
inline constexpr const char* QBYDeliveryDocumentExtension = "porvane";
inline constexpr const char* QBYDeliveryDocumentClass = "QBYDeliveryDocument";
// The file's MIME type on a Linux desktop (shared-mime-info).
inline constexpr const char* QBYDeliveryDocumentMIMEType = "application/x-porvane-delivery";
// Larger files are not delivery documents; refusing them keeps a stray file from filling
// the memory of every program that looks at it.
inline constexpr std::size_t QBYDeliveryDocumentMaximumSize = 8 * 1024 * 1024;

class QBYDeliveryDocument : public QBYSyncDocument {
 public:
  using QBYSyncDocument::QBYSyncDocument;

  // Writes a new document for the delivery to the file and waits for at most 120 s. The
  // document on success; otherwise nothing with the reason in *error (an existing file is
  // never replaced). Call on the delivery's context queue.
  static std::unique_ptr<QBYDeliveryDocument> saveObject(const Delivery& delivery,
                                                         const std::filesystem::path& url,
                                                         QBYError* error = nullptr);

  // The base fields, then date, extra, from, name, no; with the delivery's results also
  // detailsJSON, the current locale's language code, updatedTime and serviceUpdateVersion.
  void updateWithObject(const QBYSyncObject& record) override;

  bool loadFromContents(std::string_view data, std::string_view type, QBYError* error) override;
  std::optional<std::string> contentsForType(std::string_view type, QBYError* error) override;

  // The dictionary written to the file (keys as above; "modified" from the modification date).
  Dictionary mutableAttributes() const;
  Dictionary attributes() const override;
  std::string documentType() const override { return QBYDeliveryDocumentType; }

  // The delivery the document describes, as settings for saveDeliveryWithSettings (the
  // results it carries included).
  QBYDeliverySettings deliverySettings() const;

  const std::optional<std::string>& date() const { return date_; }
  void setDate(std::optional<std::string> value) { date_ = std::move(value); }
  const std::optional<std::string>& extra() const { return extra_; }
  void setExtra(std::optional<std::string> value) { extra_ = std::move(value); }
  const std::optional<std::string>& from() const { return from_; }
  void setFrom(std::optional<std::string> value) { from_ = std::move(value); }
  const std::optional<std::string>& name() const { return name_; }
  void setName(std::optional<std::string> value) { name_ = std::move(value); }
  const std::optional<std::string>& no() const { return no_; }
  void setNo(std::optional<std::string> value) { no_ = std::move(value); }
  const std::optional<std::string>& detailsJSON() const { return detailsJSON_; }
  const std::optional<std::string>& detailsLanguage() const { return detailsLanguage_; }
  const std::optional<std::int64_t>& serviceUpdateVersion() const { return serviceUpdateVersion_; }
  const std::optional<double>& updatedTime() const { return updatedTime_; }

 private:
  void resetContent();

  std::optional<std::string> date_;
  std::optional<std::string> extra_;
  std::optional<std::string> from_;
  std::optional<std::string> name_;
  std::optional<std::string> no_;
  std::optional<std::string> detailsJSON_;
  std::optional<std::string> detailsLanguage_;
  std::optional<std::int64_t> serviceUpdateVersion_;
  std::optional<double> updatedTime_;
};

}  // namespace qby
