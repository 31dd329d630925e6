// One request waiting to be sent to the vendor's sync service: the command, when it was
// queued (seconds since 1970), its query text and the delivery it is about.
//
// Threads: used only on the queue of the context that holds it.
#pragma once

#include <optional>
#include <string>

#include "model/QBYModel.h"
#include "store/core/QBYManagedObject.h"

namespace qby {

class Queue : public QBYManagedObject {
 public:
  std::optional<std::string> cmd() const { return stringAt(QueueField::cmd); }
  void setCmd(std::optional<std::string> cmd) { setStringAt(QueueField::cmd, std::move(cmd)); }
  double date() const { return doubleAt(QueueField::date); }
  void setDate(double seconds) { setDoubleAt(QueueField::date, seconds); }
  std::optional<std::string> query() const { return stringAt(QueueField::query); }
  void setQuery(std::optional<std::string> query) {
    setStringAt(QueueField::query, std::move(query));
  }
  std::optional<std::string> uuid() const { return stringAt(QueueField::uuid); }
  void setUuid(std::optional<std::string> uuid) { setStringAt(QueueField::uuid, std::move(uuid)); }
};

}  // namespace qby
