#include "store/core/QBYRowTable.h"

namespace qby {

namespace {

// Row ids come in runs (a batch, a table's rows in order); a multiplicative hash spreads them
// over the whole table, where the identity would pile runs into long probe chains once the
// table wraps.
std::size_t hashed(std::int64_t rowID) {
  return static_cast<std::size_t>(static_cast<std::uint64_t>(rowID) * 0x9E3779B97F4A7C15ull);
}

}  // namespace

std::size_t QBYRowTable::slotOf(std::int64_t rowID) const {
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = (hashed(rowID) >> 20) & mask;
  while (slots_[slot].first != 0 && slots_[slot].first != rowID) slot = (slot + 1) & mask;
  return slot;
}

std::weak_ptr<QBYManagedObject>* QBYRowTable::find(std::int64_t rowID) {
  if (count_ == 0 || rowID <= 0) return nullptr;
  Entry& entry = slots_[slotOf(rowID)];
  return entry.first == rowID ? &entry.second : nullptr;
}

std::weak_ptr<QBYManagedObject>& QBYRowTable::operator[](std::int64_t rowID) {
  // At most half full: probe chains stay short.
  if ((count_ + 1) * 2 > slots_.size()) grow();
  Entry& entry = slots_[slotOf(rowID)];
  if (entry.first != rowID) {
    entry.first = rowID;
    ++count_;
  }
  return entry.second;
}

void QBYRowTable::erase(std::int64_t rowID) {
  if (count_ == 0 || rowID <= 0) return;
  const std::size_t mask = slots_.size() - 1;
  std::size_t hole = slotOf(rowID);
  if (slots_[hole].first != rowID) return;
  slots_[hole] = Entry();
  --count_;
  // Entries after the hole that probed past it move back into it, so that every entry stays
  // reachable from its home slot without tombstones.
  for (std::size_t next = (hole + 1) & mask; slots_[next].first != 0; next = (next + 1) & mask) {
    const std::size_t home = (hashed(slots_[next].first) >> 20) & mask;
    const bool between =
        hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
    if (between) continue;
    slots_[hole] = std::move(slots_[next]);
    slots_[next] = Entry();
    hole = next;
  }
}

void QBYRowTable::eraseExpired() {
  std::vector<Entry> kept;
  for (auto& entry : slots_)
    if (entry.first != 0 && !entry.second.expired()) kept.push_back(std::move(entry));
  std::size_t size = 64;
  while (size < kept.size() * 2) size *= 2;
  slots_.assign(size, Entry());
  count_ = 0;
  for (auto& entry : kept) (*this)[entry.first] = std::move(entry.second);
}

void QBYRowTable::grow() {
  std::vector<Entry> old = std::move(slots_);
  slots_.assign(old.empty() ? 64 : old.size() * 2, Entry());
  count_ = 0;
  for (auto& entry : old)
    if (entry.first != 0) (*this)[entry.first] = std::move(entry.second);
}

}  // namespace qby
