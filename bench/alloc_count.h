// Heap allocations of the calling thread, counted by the benchmark program's
// own malloc and operator new (alloc_count.cpp replaces both for the whole
// process, shared libraries included).
#ifndef KESTREL_BENCH_ALLOC_COUNT_H
#define KESTREL_BENCH_ALLOC_COUNT_H

#include <cstdint>

namespace kbench {

struct Allocations {
  std::uint64_t mallocs = 0;  // malloc, calloc, realloc (every C and C++ allocation)
  std::uint64_t news = 0;     // operator new and new[] (a subset of the above)
  std::uint64_t bytes = 0;    // bytes asked for by the calls counted in mallocs
};

// What the calling thread has allocated since it started.
Allocations thread_allocations();

// True when the replacement is in effect (a self-check at start-up: one
// counted `new` must show in both counters).
bool allocation_counting_works();

}  // namespace kbench

#endif  // KESTREL_BENCH_ALLOC_COUNT_H
