#include "model/DeliveryText.h"

#include "model/Delivery.h"
#include "store/core/QBYTextFolding.h"

namespace qby {

void DeliveryText::setText(std::optional<std::string> text) {
  std::optional<std::string> folded;
  if (text) folded = foldForSearch(*text);
  setStringAt(DeliveryTextField::text, std::move(text));
  setStringAt(DeliveryTextField::foldedText, std::move(folded));
}

std::shared_ptr<Delivery> DeliveryText::delivery() const {
  return toOneAs<Delivery>(DeliveryTextField::delivery);
}

void DeliveryText::setDelivery(const std::shared_ptr<Delivery>& delivery) {
  setToOneAt(DeliveryTextField::delivery, delivery);
}

}  // namespace qby
