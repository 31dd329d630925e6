#include "model/Setting.h"

#include "model/Service.h"

namespace qby {

std::shared_ptr<Service> Setting::service() const {
  return toOneAs<Service>(SettingField::service);
}

void Setting::setService(const std::shared_ptr<Service>& service) {
  setToOneAt(SettingField::service, service);
}

}  // namespace qby
