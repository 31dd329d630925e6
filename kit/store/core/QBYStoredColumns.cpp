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

std::size_t QBYStoredColumns::Builder::blockSize() const {
  if (entries_.empty()) return 0;
  return kHeader + entries_.size() * sizeof(Entry) + bytes_.size();
}

void QBYStoredColumns::write(const Builder& builder, std::byte* memory) {
  const std::size_t table = builder.entries_.size() * sizeof(Entry);
  const auto count = static_cast<std::uint32_t>(builder.entries_.size());
  std::memcpy(memory, &count, sizeof count);
  std::memcpy(memory + kHeader, builder.entries_.data(), table);
  if (!builder.bytes_.empty())
    std::memcpy(memory + kHeader + table, builder.bytes_.data(), builder.bytes_.size());
  // The lookups rely on attribute order, which a row's reader adds them in.
  auto* entries = reinterpret_cast<Entry*>(memory + kHeader);
  const auto byAttribute = [](const Entry& a, const Entry& b) { return a.attribute < b.attribute; };
  if (!std::is_sorted(entries, entries + count, byAttribute))
    std::sort(entries, entries + count, byAttribute);
}

QBYStoredColumns QBYStoredColumns::Builder::finish() const {
  QBYStoredColumns columns;
  if (entries_.empty()) return columns;
  // new[] of bytes is aligned for any fundamental type, which the entries need.
  columns.block_ = new std::byte[blockSize()];
  columns.owned_ = true;
  write(*this, columns.block_);
  return columns;
}

QBYStoredColumns QBYStoredColumns::Builder::finishInto(std::byte* memory) const {
  QBYStoredColumns columns;
  if (entries_.empty() || !memory) return columns;
  columns.block_ = memory;
  write(*this, memory);
  return columns;
}

std::uint32_t QBYStoredColumns::count() const {
  std::uint32_t count = 0;
  if (block_) std::memcpy(&count, block_, sizeof count);
  return count;
}

// The block is 8-byte aligned (new[] or a record's trailing bytes), and the table starts at an
// offset that keeps that alignment for its entries.
QBYStoredColumns::Entry* QBYStoredColumns::entries() const {
  return reinterpret_cast<Entry*>(block_ + kHeader);
}

const char* QBYStoredColumns::bytes() const {
  return reinterpret_cast<const char*>(block_ + kHeader + count() * sizeof(Entry));
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
  clear();
  return values;
}

}  // namespace qby
