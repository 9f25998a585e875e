// Checks of the fuzz targets: a broken invariant prints where and aborts, so
// that libFuzzer (or the replay driver) keeps the input.
#ifndef KESTREL_FUZZ_CHECK_H
#define KESTREL_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void FuzzCheckFailed(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  std::abort();
}
#define FUZZ_CHECK(condition) \
  ((condition) ? void(0) : FuzzCheckFailed(__FILE__, __LINE__, #condition))

#endif  // KESTREL_FUZZ_CHECK_H
