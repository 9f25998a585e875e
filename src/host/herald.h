// Console printer of the host base layer: one call prints one line, with the
// title of the client that prints it and a colour.
#ifndef KESTREL_HOST_HERALD_H
#define KESTREL_HOST_HERALD_H

#include "kestrel/host.h"

#if defined(__GNUC__) || defined(__clang__)
#define KESTREL_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define KESTREL_PRINTF_LIKE(f, a)
#endif

namespace Corvus {

// Each formats `format` printf-style and prints the line under `title`: plain,
// red (failures), yellow (disconnects, waits, aborts) or green (connects). The
// line goes to the installed sink, or else to standard output, converted from
// GBK to UTF-8 and coloured when standard output is a terminal. On Windows a
// console shows the GBK text as Chinese whatever its code page, coloured by
// the console's text attribute; any other standard output (a file, a pipe)
// gets the GBK bytes unchanged. Always returns; safe to call from several
// threads (lines never interleave).
void Herald(const char* title, const char* format, ...) KESTREL_PRINTF_LIKE(2, 3);
void Herald_Red(const char* title, const char* format, ...) KESTREL_PRINTF_LIKE(2, 3);
void Herald_Yellow(const char* title, const char* format, ...) KESTREL_PRINTF_LIKE(2, 3);
void Herald_Green(const char* title, const char* format, ...) KESTREL_PRINTF_LIKE(2, 3);

}  // namespace Corvus

#endif  // KESTREL_HOST_HERALD_H
