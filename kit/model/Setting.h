// One input field that a service asks for: which settings field it fills ("no", "extra",
// "date", "password"), the localisation key of its label, its input type and whether it is
// required.
//
// Threads: used only on the queue of the context that holds it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "model/QBYModel.h"
#include "store/core/QBYManagedObject.h"

namespace qby {

class Service;

class Setting : public QBYManagedObject {
 public:
  std::optional<std::string> inputType() const { return stringAt(SettingField::inputType); }
  void setInputType(std::optional<std::string> inputType) {
    setStringAt(SettingField::inputType, std::move(inputType));
  }
  std::optional<std::string> type() const { return stringAt(SettingField::type); }
  void setType(std::optional<std::string> type) {
    setStringAt(SettingField::type, std::move(type));
  }
  std::optional<std::string> name() const { return stringAt(SettingField::name); }
  void setName(std::optional<std::string> name) {
    setStringAt(SettingField::name, std::move(name));
  }
  bool required() const { return boolAt(SettingField::required); }
  void setRequired(bool required) { setBoolAt(SettingField::required, required); }

  std::shared_ptr<Service> service() const;
  void setService(const std::shared_ptr<Service>& service);
};

}  // namespace qby
