#include "host/socket_api.h"

#include <algorithm>
#include <climits>

#if !defined(_WIN32)
#include <sys/time.h>

#include <cerrno>
#endif

namespace Corvus::net {

#if defined(_WIN32)
// Winsock is started once per process, at the first use (not while a DLL
// loads), and never cleaned up: the process's exit does that.
bool StartSockets() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

void CloseHandle(Handle h) { ::closesocket(h); }

// Unlike on POSIX, shutting a socket down does not end a recv or send that is
// already blocked in it; cancelling the I/O pending on the socket does (the
// call fails with WSA_OPERATION_ABORTED). A blocked accept ends with the
// cancel as well.
void ShutdownHandle(Handle h) {
  ::shutdown(h, SD_BOTH);
  ::CancelIoEx(reinterpret_cast<HANDLE>(h), nullptr);
}

bool SetBlocking(Handle h, bool blocking) {
  u_long nonblocking = blocking ? 0 : 1;
  return ::ioctlsocket(h, FIONBIO, &nonblocking) == 0;
}

// Overlapped, as SO_RCVTIMEO and SO_SNDTIMEO need on a socket made by
// WSASocket.
Handle OpenSocket(int family, int type, int protocol) {
  if (!StartSockets()) return kNoHandle;
  Handle h = ::WSASocketW(family, type, protocol, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (h == kNoHandle) {  // a Windows without the flag
    h = ::WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (h == kNoHandle) return h;
    ::SetHandleInformation(reinterpret_cast<HANDLE>(h), HANDLE_FLAG_INHERIT, 0);
  }
  if (!SetBlocking(h, false)) {
    CloseHandle(h);
    return kNoHandle;
  }
  return h;
}

#else  // POSIX

bool StartSockets() { return true; }

void CloseHandle(Handle h) { ::close(h); }

void ShutdownHandle(Handle h) { ::shutdown(h, SHUT_RDWR); }

bool SetBlocking(Handle h, bool blocking) {
  const int flags = ::fcntl(h, F_GETFL, 0);
  if (flags < 0) return false;
  const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return wanted == flags || ::fcntl(h, F_SETFL, wanted) == 0;
}

Handle OpenSocket(int family, int type, int protocol) {
#if defined(SOCK_NONBLOCK) && defined(SOCK_CLOEXEC)
  return ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
#else
  const Handle h = ::socket(family, type, protocol);
  if (h == kNoHandle) return h;
  ::fcntl(h, F_SETFD, FD_CLOEXEC);
  if (!SetBlocking(h, false)) {
    CloseHandle(h);
    return kNoHandle;
  }
  return h;
#endif
}

#endif  // POSIX

// ---------------------------------------------------------------------------
// The primitives of host/sockets.h: each differs between the two APIs in a
// line or two, and nothing above them does.
// ---------------------------------------------------------------------------

namespace {

#if defined(_WIN32)
// Bytes for one recv or send call, whose length is an int on Winsock.
int CallSize(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, INT_MAX)); }
constexpr int kSendFlags = 0;  // Winsock raises no signal on a broken pipe
#else
std::size_t CallSize(std::size_t size) { return size; }
#if defined(MSG_NOSIGNAL)
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;  // SO_NOSIGPIPE is set on the socket instead
#endif
#endif

bool SetTimeoutOption(Handle h, int option, int ms) {
#if defined(_WIN32)
  const DWORD value = static_cast<DWORD>(ms);  // milliseconds as a DWORD
#else
  timeval value{};
  value.tv_sec = ms / 1000;
  value.tv_usec = static_cast<decltype(value.tv_usec)>((ms % 1000) * 1000);
#endif
  return ::setsockopt(h, SOL_SOCKET, option, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0;
}

}  // namespace

int LastErrorCode() {
#if defined(_WIN32)
  return ::WSAGetLastError();
#else
  return errno;
#endif
}

bool Interrupted() {
#if defined(_WIN32)
  return false;
#else
  return errno == EINTR;
#endif
}

bool ConnectPending(int code) {
#if defined(_WIN32)
  return code == WSAEWOULDBLOCK;
#else
  return code == EINPROGRESS || code == EINTR;
#endif
}

bool PendingError(Handle h, int* error) {
  SockLen size = sizeof *error;
  return ::getsockopt(h, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(error), &size) == 0;
}

bool SetNoDelay(Handle h) {
#if defined(_WIN32)
  const BOOL one = TRUE;
#else
  const int one = 1;
#endif
  return ::setsockopt(h, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                      sizeof one) == 0;
}

bool SetNoSigPipe([[maybe_unused]] Handle h) {
#if defined(SO_NOSIGPIPE)
  const int one = 1;
  return ::setsockopt(h, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one) == 0;
#else
  return true;
#endif
}

bool SetReceiveTimeout(Handle h, int ms) { return SetTimeoutOption(h, SO_RCVTIMEO, ms); }
bool SetSendTimeout(Handle h, int ms) { return SetTimeoutOption(h, SO_SNDTIMEO, ms); }

int Poll(PollFd* fds, std::size_t count, int timeout_ms) {
#if defined(_WIN32)
  const int n = ::WSAPoll(fds, static_cast<ULONG>(count), timeout_ms);
  return n == SOCKET_ERROR ? -1 : n;
#else
  return ::poll(fds, static_cast<nfds_t>(count), timeout_ms);
#endif
}

int WaitReady(Handle h, bool for_write, int ms) {
#if defined(_WIN32)
  // select, which reports a failed connect in its error set.
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(h, &ready);
  FD_SET(h, &failed);
  timeval tv{};
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  const int n = ::select(0, for_write ? nullptr : &ready, for_write ? &ready : nullptr, &failed,
                         &tv);
  if (n == SOCKET_ERROR) return -1;
  return n > 0 ? 1 : 0;
#else
  pollfd p{h, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
  return ::poll(&p, 1, ms);
#endif
}

long RecvCall(Handle h, char* data, std::size_t size) {
  return static_cast<long>(::recv(h, data, CallSize(size), 0));
}

long SendCall(Handle h, const char* data, std::size_t size) {
  return static_cast<long>(::send(h, data, CallSize(size), kSendFlags));
}

long RecvNoWait(Handle h, char* data, std::size_t size, bool peek) {
#if defined(_WIN32)
  // No MSG_DONTWAIT: a zero-timeout select looks first.
  const int ready = WaitReady(h, false, 0);
  if (ready < 0) return -1;
  if (ready == 0) {
    ::WSASetLastError(WSAEWOULDBLOCK);
    return -1;
  }
  return static_cast<long>(::recv(h, data, CallSize(size), peek ? MSG_PEEK : 0));
#else
  return static_cast<long>(::recv(h, data, size, MSG_DONTWAIT | (peek ? MSG_PEEK : 0)));
#endif
}

// WSAETIMEDOUT is what a Winsock recv or send that ran out of its SO_RCVTIMEO
// or SO_SNDTIMEO reports.
Io Classify(long n, std::size_t* moved) {
  if (n > 0) {
    *moved = static_cast<std::size_t>(n);
    return Io::kData;
  }
  *moved = 0;
  if (n == 0) return Io::kClosed;
  const int error = LastErrorCode();
#if defined(_WIN32)
  if (error == WSAEWOULDBLOCK || error == WSAETIMEDOUT) return Io::kTimeout;
#else
  if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) return Io::kTimeout;
#endif
  return Io::kError;
}

}  // namespace Corvus::net
