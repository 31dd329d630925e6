// The records of one entity that a context holds in memory, by row id: an open-addressing
// table (linear probing, deletion by shifting back) of weak references. A list walk registers
// every row it reads; a node per row in a std::unordered_map cost an allocation and a free for
// each, which showed in long lists.
//
// Row ids are positive; 0 marks a free slot. Not thread-safe: used on its context's queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace qby {

class QBYManagedObject;

class QBYRowTable {
 public:
  using Entry = std::pair<std::int64_t, std::weak_ptr<QBYManagedObject>>;

  // The slot of the row, or nullptr.
  std::weak_ptr<QBYManagedObject>* find(std::int64_t rowID);
  // The slot of the row, made empty-handed when it was not there. rowID must be positive.
  std::weak_ptr<QBYManagedObject>& operator[](std::int64_t rowID);
  void erase(std::int64_t rowID);
  // Drops the entries whose records are gone.
  void eraseExpired();
  std::size_t size() const { return count_; }

  // Every entry, in no particular order. The table must not change while it runs.
  template <typename F>
  void forEach(F&& function) {
    for (auto& entry : slots_)
      if (entry.first != 0) function(entry.first, entry.second);
  }

 private:
  std::size_t slotOf(std::int64_t rowID) const;
  void grow();

  std::vector<Entry> slots_;  // a power of two in size, or empty
  std::size_t count_ = 0;
};

}  // namespace qby
