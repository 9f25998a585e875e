// Checks of the fuzz targets: a broken invariant prints where and aborts, so
// that libFuzzer (or the replay driver) keeps the input.
#ifndef KESTREL_FUZZ_CHECK_H
#define KESTREL_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

// The stored input being replayed, named when a check fails (the replay driver sets it).
inline const char* fuzz_input = nullptr;

[[noreturn]] inline void FuzzCheckFailed(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "%s:%d: check failed: %s%s%s\n", file, line, condition,
               fuzz_input ? " on input " : "", fuzz_input ? fuzz_input : "");
  std::abort();
}
#define FUZZ_CHECK(condition) \
  ((condition) ? void(0) : FuzzCheckFailed(__FILE__, __LINE__, #condition))

#endif  // KESTREL_FUZZ_CHECK_H
