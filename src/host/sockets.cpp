#include "host/sockets.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
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

#endif

}  // namespace Corvus::net
