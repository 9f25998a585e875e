// The socket calls that the network link and the tools' own sockets share:
// the handle calls (starting the socket API, opening, blocking mode, waking
// and closing) and the few primitives in which POSIX sockets and Winsock
// differ (errors, options, waiting, recv and send). Everything above them is
// written once, for both. Internal: not part of the library's interface.
#ifndef KESTREL_HOST_SOCKETS_H
#define KESTREL_HOST_SOCKETS_H

#include <cstddef>
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

// Error code of the last failed socket call of this thread (errno, or
// WSAGetLastError).
int LastErrorCode();
// True when the last failed call was interrupted by a signal: worth another
// try. Never on Windows, whose WSAEINTR is a call that closing cancelled.
bool Interrupted();
// True when `code`, from a connect of a non-blocking socket, means that the
// connection is under way.
bool ConnectPending(int code);
// The pending error of `h` (SO_ERROR) in `*error`; false when it cannot be read.
bool PendingError(Handle h, int* error);

bool SetNoDelay(Handle h);
// Where the platform has SO_NOSIGPIPE, sets it; sends never raise SIGPIPE
// anyway (SendCall).
bool SetNoSigPipe(Handle h);
// Bounds of a blocking recv and send (SO_RCVTIMEO, SO_SNDTIMEO) in
// milliseconds; 0: none.
bool SetReceiveTimeout(Handle h, int ms);
bool SetSendTimeout(Handle h, int ms);

// Waits at most `ms` (0: not at all) until `h` has bytes or an end to read
// (`for_write` false) or room to write (true). 1 ready, 0 not, -1 failure;
// a connect that failed counts as ready, and PendingError then tells.
int WaitReady(Handle h, bool for_write, int ms);

// One recv or send, with its result as the system call gives it: the bytes
// moved, 0 at the end of the stream, < 0 on failure (LastErrorCode). A send
// never raises SIGPIPE.
long RecvCall(Handle h, char* data, std::size_t size);
long SendCall(Handle h, const char* data, std::size_t size);
// A recv that does not wait: it fails as one that would block when nothing
// is there. With `peek` the bytes stay in the socket.
long RecvNoWait(Handle h, char* data, std::size_t size, bool peek);

// Outcome of one recv or send call.
enum class Io {
  kData,     // bytes moved (count in the out parameter)
  kTimeout,  // nothing moved: would block, timed out or interrupted
  kClosed,   // the peer has closed its end (recv gave 0)
  kError,    // the socket failed (reset, shut down, cancelled, ...)
};
// The outcome of a call that returned `n`; `*moved` the bytes it moved.
Io Classify(long n, std::size_t* moved);

}  // namespace Corvus::net

#endif  // KESTREL_HOST_SOCKETS_H
