// Counting malloc and operator new for the benchmark program. The malloc
// family defined here interposes on glibc's for every library of the process
// (libstdc++'s operator new included) and forwards to glibc's own entry
// points; the counters are per thread, plain TLS that needs no allocation.
#include "alloc_count.h"

#include <cstddef>
#include <cstdlib>
#include <new>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void __libc_free(void* pointer);
}

namespace {
__thread std::uint64_t t_mallocs = 0;
__thread std::uint64_t t_news = 0;
__thread std::uint64_t t_bytes = 0;
}  // namespace

extern "C" {

void* malloc(std::size_t size) {
  ++t_mallocs;
  t_bytes += size;
  return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size) {
  ++t_mallocs;
  t_bytes += count * size;
  return __libc_calloc(count, size);
}

void* realloc(void* pointer, std::size_t size) {
  ++t_mallocs;
  t_bytes += size;
  return __libc_realloc(pointer, size);
}

void free(void* pointer) { __libc_free(pointer); }

}  // extern "C"

namespace {
void* counted_new(std::size_t size) {
  ++t_news;
  if (size == 0) size = 1;
  void* p = std::malloc(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* counted_new_nothrow(std::size_t size) noexcept {
  ++t_news;
  if (size == 0) size = 1;
  return std::malloc(size);
}
}  // namespace

void* operator new(std::size_t size) { return counted_new(size); }
void* operator new[](std::size_t size) { return counted_new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return counted_new_nothrow(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return counted_new_nothrow(size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace kbench {

Allocations thread_allocations() { return {t_mallocs, t_news, t_bytes}; }

bool allocation_counting_works() {
  const Allocations before = thread_allocations();
  int* volatile probe = new int(7);
  const Allocations after = thread_allocations();
  delete probe;
  return after.news == before.news + 1 && after.mallocs == before.mallocs + 1;
}

}  // namespace kbench
