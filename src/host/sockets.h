// The socket handle calls that the network link and the tools' own servers
// share: starting the socket API, opening, blocking mode, waking and closing.
// Internal: not part of the library's interface.
#ifndef KESTREL_HOST_SOCKETS_H
#define KESTREL_HOST_SOCKETS_H

#include <cstdint>

namespace Corvus::net {

#if defined(_WIN32)
using Handle = std::uintptr_t;  // a Winsock SOCKET
#else
using Handle = int;  // a file descriptor
#endif
constexpr Handle kNoHandle = static_cast<Handle>(-1);  // INVALID_SOCKET, or -1

// Starts the socket API once per process (Winsock; nothing elsewhere); true
// when it is usable.
bool StartSockets();
// A non-blocking socket that child processes do not inherit; kNoHandle on
// failure.
Handle OpenSocket(int family, int type, int protocol);
bool SetBlocking(Handle h, bool blocking);
// Wakes every call blocked on `h` (a recv, send or accept fails); the handle
// stays valid until closed.
void ShutdownHandle(Handle h);
void CloseHandle(Handle h);

}  // namespace Corvus::net

#endif  // KESTREL_HOST_SOCKETS_H
