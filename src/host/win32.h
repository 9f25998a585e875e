// The Windows API as this project includes it: lean, without the min and max
// macros, Winsock 2 before windows.h. Every Windows source includes this
// instead of the system headers. Internal.
#ifndef KESTREL_HOST_WIN32_H
#define KESTREL_HOST_WIN32_H

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#endif

#endif  // KESTREL_HOST_WIN32_H
