// A delivery's cached page text, kept only because older stores hold such records: nothing
// fills them any more, and the update cycle deletes one when it meets it.
//
// Threads: used only on the queue of the context that holds it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "model/QBYModel.h"
#include "store/core/QBYManagedObject.h"

namespace qby {

class Delivery;

class HTML : public QBYManagedObject {
 public:
  std::int64_t lastHash() const { return integerAt(HTMLField::lastHash); }
  void setLastHash(std::int64_t hash) { setIntegerAt(HTMLField::lastHash, hash); }
  std::optional<std::string> html() const { return stringAt(HTMLField::html); }
  void setHtml(std::optional<std::string> html) { setStringAt(HTMLField::html, std::move(html)); }

  std::shared_ptr<Delivery> delivery() const;
  void setDelivery(const std::shared_ptr<Delivery>& delivery);
};

}  // namespace qby
