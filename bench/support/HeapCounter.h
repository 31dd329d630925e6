// The C++ heap a piece of work has in use, counted by the program's own allocation operators.
// A benchmark that links HeapCounter.cpp replaces operator new and delete for the whole
// program; counting costs nothing while it is off. Resident memory says little for a fetch or
// a run measured in a process that built its data first: the high-water mark was set then and
// cannot always be reset.
//
// Threads: any; the counters are atomics, so work on several threads is counted together.
#pragma once

#include <atomic>
#include <utility>

namespace qby::bench::heap {

extern std::atomic<bool> counting;
extern std::atomic<long> inUse;
extern std::atomic<long> peak;
extern std::atomic<long> allocations;

struct Usage {
  // The most C++ heap the function had in use beyond what was in use when it began, in kB
  // (blocks freed during the function that were allocated before it count as negative).
  long peakKB = 0;
  // Blocks the function asked operator new for, whether or not it freed them again: what a
  // reader pays per row in the allocator, beyond the memory it ends up holding.
  long allocations = 0;
};

template <typename F>
Usage usageDuring(F&& function) {
  inUse = 0;
  peak = 0;
  allocations = 0;
  counting = true;
  std::forward<F>(function)();
  counting = false;
  return Usage{peak / 1024, allocations};
}

template <typename F>
long peakDuring(F&& function) {
  return usageDuring(std::forward<F>(function)).peakKB;
}

}  // namespace qby::bench::heap
