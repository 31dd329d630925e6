// The text and data columns of a row as it was read, kept as bytes and turned into values on
// first use. A list reads a handful of a record's many fields; copying every text into a value
// of its own cost one allocation per field and row, most of them never looked at.
//
// One block holds the whole row: a small table (attribute, kind, offset, length) followed by
// the bytes. The block is either owned or lives in memory the record owns (the trailing bytes
// of its own allocation). Owned by one record and used on its context's queue only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Value.h"

namespace qby {

class QBYStoredColumns {
 public:
  // Collects a row's columns; reused from row to row, so it allocates only while it grows.
  class Builder {
   public:
    void clear();
    void addText(int attribute, std::string_view text);
    void addData(int attribute, const void* bytes, std::size_t length);
    bool empty() const { return entries_.empty(); }
    // The bytes the block of the collected columns takes (0 when none were added); memory for
    // finishInto must be 8-byte aligned and this large.
    std::size_t blockSize() const;
    // The collected columns in one block of their own (nothing when none were added).
    QBYStoredColumns finish() const;
    // The collected columns in the given memory, which must outlive the result.
    QBYStoredColumns finishInto(std::byte* memory) const;

   private:
    friend class QBYStoredColumns;
    struct Entry {
      std::uint16_t attribute;
      std::uint16_t binary;
      std::uint32_t offset;
      std::uint32_t length;
    };
    std::vector<Entry> entries_;
    std::string bytes_;
  };

  QBYStoredColumns() = default;
  ~QBYStoredColumns() { clear(); }
  QBYStoredColumns(QBYStoredColumns&& other) noexcept
      : block_(std::exchange(other.block_, nullptr)), owned_(std::exchange(other.owned_, false)) {}
  QBYStoredColumns& operator=(QBYStoredColumns&& other) noexcept {
    if (this != &other) {
      clear();
      block_ = std::exchange(other.block_, nullptr);
      owned_ = std::exchange(other.owned_, false);
    }
    return *this;
  }
  bool empty() const { return !block_; }

  // The attribute's value, taken out of the block (a second call answers nothing); nothing
  // when the row held no text or data for it.
  std::optional<Value> take(int attribute);
  // Forgets the attribute's stored column: it was set, and the stored bytes are stale.
  void discard(int attribute);
  // Every column not taken yet, in attribute order, as (attribute, value); the block is gone
  // afterwards.
  std::vector<std::pair<int, Value>> takeAll();
  void clear() {
    if (owned_) delete[] block_;
    block_ = nullptr;
    owned_ = false;
  }

 private:
  using Entry = Builder::Entry;
  static constexpr std::uint16_t kTaken = 0xFFFF;
  std::uint32_t count() const;
  Entry* entries() const;
  Entry* find(int attribute) const;
  static Value valueOf(const Entry& entry, const char* bytes);
  const char* bytes() const;
  // Lays the builder's columns out in memory (blockSize() bytes).
  static void write(const Builder& builder, std::byte* memory);

  std::byte* block_ = nullptr;
  bool owned_ = false;
};

}  // namespace qby
