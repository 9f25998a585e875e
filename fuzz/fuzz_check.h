// Checks of the fuzz targets: a broken invariant prints where and aborts, so
// that libFuzzer (or the replay driver) keeps the input.
#ifndef KESTREL_FUZZ_CHECK_H
#define KESTREL_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

#endif  // KESTREL_FUZZ_CHECK_H
