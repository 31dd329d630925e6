// The stored search text of a delivery, so that lists can be searched by the database without
// loading any details. Beside the text it keeps a case- and diacritic-folded copy, which is
// what word search matches against; setting the text keeps the copy in step.
//
// Threads: used only on the queue of the context that holds it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "model/QBYModel.h"
#include "store/core/QBYManagedObject.h"

namespace qby {

class Delivery;

class DeliveryText : public QBYManagedObject {
 public:
  std::optional<std::string> text() const { return stringAt(DeliveryTextField::text); }
  // Also writes foldedText.
  void setText(std::optional<std::string> text);
  std::optional<std::string> foldedText() const { return stringAt(DeliveryTextField::foldedText); }

  std::shared_ptr<Delivery> delivery() const;
  void setDelivery(const std::shared_ptr<Delivery>& delivery);
};

}  // namespace qby
