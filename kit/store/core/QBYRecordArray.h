// A record's fixed-size array (its value slots, its relationship caches): the elements live in
// memory the array does not own, the trailing bytes of the record's own allocation, so that a
// row read into a record costs one allocation instead of one per part. A record made without
// such bytes keeps its arrays on the heap instead. The size is set when the record is set up
// and stays; elements are built in place and destroyed with the array.
//
// Used on the owning record's context queue only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace qby {

template <typename T>
class QBYRecordArray {
 public:
  QBYRecordArray() = default;
  ~QBYRecordArray() { release(); }
  QBYRecordArray(const QBYRecordArray&) = delete;
  QBYRecordArray& operator=(const QBYRecordArray&) = delete;

  // Builds count default elements at memory, which must hold count suitably aligned Ts; with
  // no memory, on the heap.
  void place(std::size_t count, void* memory) {
    release();
    if (count == 0) return;
    if (memory) {
      data_ = static_cast<T*>(memory);
    } else {
      data_ = std::allocator<T>().allocate(count);
      owned_ = true;
    }
    for (std::size_t i = 0; i < count; ++i) new (data_ + i) T();
    size_ = count;
  }

  // Every element set to value. The size stays what it was placed with; an array placed with
  // another size (or none) moves to the heap with the new one.
  void assign(std::size_t count, const T& value) {
    if (count != size_) place(count, nullptr);
    for (std::size_t i = 0; i < size_; ++i) data_[i] = value;
  }
  void resize(std::size_t count) {
    if (count != size_) assign(count, T());
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t index) const { return data_[index]; }
  T* begin() const { return data_; }
  T* end() const { return data_ + size_; }

 private:
  void release() {
    for (std::size_t i = 0; i < size_; ++i) data_[i].~T();
    if (owned_) std::allocator<T>().deallocate(data_, size_);
    data_ = nullptr;
    size_ = 0;
    owned_ = false;
  }

  T* data_ = nullptr;
  std::uint32_t size_ = 0;
  bool owned_ = false;
};

}  // namespace qby
