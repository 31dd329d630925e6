#include "model/HTML.h"

#include "model/Delivery.h"

namespace qby {

std::shared_ptr<Delivery> HTML::delivery() const {
  return toOneAs<Delivery>(HTMLField::delivery);
}

void HTML::setDelivery(const std::shared_ptr<Delivery>& delivery) {
  setToOneAt(HTMLField::delivery, delivery);
}

}  // namespace qby
