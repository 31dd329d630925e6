#include "store/core/QBYStoredColumns.h"

#include <algorithm>
#include <cstring>

namespace qby {

namespace {

// The block: the entry count, padded to the entries' alignment, the entries sorted by
// attribute, then the bytes.
constexpr std::size_t kHeader = 8;

}  // namespace

void QBYStoredColumns::Builder::clear() {
  entries_.clear();
  bytes_.clear();
}

void QBYStoredColumns::Builder::addText(int attribute, std::string_view text) {
  entries_.push_back({static_cast<std::uint16_t>(attribute), 0,
                      static_cast<std::uint32_t>(bytes_.size()),
                      static_cast<std::uint32_t>(text.size())});
  bytes_.append(text);
}

void QBYStoredColumns::Builder::addData(int attribute, const void* bytes, std::size_t length) {
  entries_.push_back({static_cast<std::uint16_t>(attribute), 1,
                      static_cast<std::uint32_t>(bytes_.size()),
                      static_cast<std::uint32_t>(length)});
  if (length > 0) bytes_.append(static_cast<const char*>(bytes), length);
}

QBYStoredColumns QBYStoredColumns::Builder::finish() const {
  QBYStoredColumns columns;
  if (entries_.empty()) return columns;
  const std::size_t table = entries_.size() * sizeof(Entry);
  columns.block_ = std::make_unique_for_overwrite<std::byte[]>(kHeader + table + bytes_.size());
  const auto count = static_cast<std::uint32_t>(entries_.size());
  std::memcpy(columns.block_.get(), &count, sizeof count);
  std::memcpy(columns.block_.get() + kHeader, entries_.data(), table);
  if (!bytes_.empty())
    std::memcpy(columns.block_.get() + kHeader + table, bytes_.data(), bytes_.size());
  // The lookups rely on attribute order, which a row's reader adds them in.
  const auto byAttribute = [](const Entry& a, const Entry& b) { return a.attribute < b.attribute; };
  if (!std::is_sorted(columns.entries(), columns.entries() + count, byAttribute))
    std::sort(columns.entries(), columns.entries() + count, byAttribute);
  return columns;
}

std::uint32_t QBYStoredColumns::count() const {
  std::uint32_t count = 0;
  if (block_) std::memcpy(&count, block_.get(), sizeof count);
  return count;
}

// The block comes from operator new[], aligned for any fundamental type, and the table starts
// at an offset that keeps that alignment for its entries.
QBYStoredColumns::Entry* QBYStoredColumns::entries() const {
  return reinterpret_cast<Entry*>(block_.get() + kHeader);
}

const char* QBYStoredColumns::bytes() const {
  return reinterpret_cast<const char*>(block_.get() + kHeader + count() * sizeof(Entry));
}

QBYStoredColumns::Entry* QBYStoredColumns::find(int attribute) const {
  if (!block_ || attribute < 0 || attribute >= kTaken) return nullptr;
  Entry* first = entries();
  Entry* last = first + count();
  Entry* found = std::lower_bound(first, last, attribute, [](const Entry& entry, int wanted) {
    return entry.attribute < wanted;
  });
  if (found == last || found->attribute != attribute || found->binary == kTaken) return nullptr;
  return found;
}

Value QBYStoredColumns::valueOf(const Entry& entry, const char* bytes) {
  const char* start = bytes + entry.offset;
  if (entry.binary) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(start);
    return Value(Data(data, data + entry.length));
  }
  return Value(std::string(start, entry.length));
}

std::optional<Value> QBYStoredColumns::take(int attribute) {
  Entry* entry = find(attribute);
  if (!entry) return std::nullopt;
  Value value = valueOf(*entry, bytes());
  // Marked rather than removed, so the table stays as it is for the others.
  entry->binary = kTaken;
  return value;
}

void QBYStoredColumns::discard(int attribute) {
  if (Entry* entry = find(attribute)) entry->binary = kTaken;
}

std::vector<std::pair<int, Value>> QBYStoredColumns::takeAll() {
  std::vector<std::pair<int, Value>> values;
  const char* data = block_ ? bytes() : nullptr;
  for (std::uint32_t i = 0; i < count(); ++i) {
    const Entry& entry = entries()[i];
    if (entry.binary == kTaken) continue;
    values.emplace_back(entry.attribute, valueOf(entry, data));
  }
  block_.reset();
  return values;
}

}  // namespace qby
