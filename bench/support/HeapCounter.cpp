#include "support/HeapCounter.h"

#include <malloc.h>

#include <cstdlib>
#include <new>

namespace qby::bench::heap {

std::atomic<bool> counting{false};
std::atomic<long> inUse{0};
std::atomic<long> peak{0};
std::atomic<long> allocations{0};

namespace {

void added(void* block) {
  if (!block || !counting.load(std::memory_order_relaxed)) return;
  allocations.fetch_add(1, std::memory_order_relaxed);
  const long size = static_cast<long>(malloc_usable_size(block));
  const long now = inUse.fetch_add(size, std::memory_order_relaxed) + size;
  long seen = peak.load(std::memory_order_relaxed);
  while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
  }
}

void removed(void* block) {
  if (block && counting.load(std::memory_order_relaxed))
    inUse.fetch_sub(static_cast<long>(malloc_usable_size(block)), std::memory_order_relaxed);
}

}  // namespace

void* allocate(std::size_t size) {
  void* block = std::malloc(size ? size : 1);
  if (!block) throw std::bad_alloc();
  added(block);
  return block;
}

void release(void* block) noexcept {
  removed(block);
  std::free(block);
}

}  // namespace qby::bench::heap

void* operator new(std::size_t size) {
  return qby::bench::heap::allocate(size);
}
void* operator new[](std::size_t size) {
  return qby::bench::heap::allocate(size);
}
void operator delete(void* block) noexcept {
  qby::bench::heap::release(block);
}
void operator delete[](void* block) noexcept {
  qby::bench::heap::release(block);
}
void operator delete(void* block, std::size_t) noexcept {
  qby::bench::heap::release(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  qby::bench::heap::release(block);
}
