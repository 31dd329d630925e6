// One help topic as help search finds it: the page's address, title and plain text.
//
// Threads: used only on the queue of the context that holds it.
#pragma once

#include <optional>
#include <string>

#include "model/QBYModel.h"
#include "store/core/QBYManagedObject.h"

namespace qby {

class QBYHelpSearchItem : public QBYManagedObject {
 public:
  std::optional<std::string> url() const { return stringAt(HelpSearchItemField::url); }
  void setUrl(std::optional<std::string> url) {
    setStringAt(HelpSearchItemField::url, std::move(url));
  }
  std::optional<std::string> title() const { return stringAt(HelpSearchItemField::title); }
  void setTitle(std::optional<std::string> title) {
    setStringAt(HelpSearchItemField::title, std::move(title));
  }
  std::optional<std::string> text() const { return stringAt(HelpSearchItemField::text); }
  void setText(std::optional<std::string> text) {
    setStringAt(HelpSearchItemField::text, std::move(text));
  }
};

}  // namespace qby
