// The tools' sockets over Winsock.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <algorithm>
#include <climits>
#include <stdexcept>
#include <vector>

#include "platform/socket.h"

namespace kestrel::platform {

namespace {

int CallSize(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, INT_MAX)); }

sockaddr_in Ipv4(std::uint32_t host_order_address, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<u_short>(port));
  addr.sin_addr.s_addr = htonl(host_order_address);
  return addr;
}

std::string ErrorText(int code) {
  char text[256] = "";
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(code), 0, text, sizeof text,
                                   nullptr);
  std::string message(text, n);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  return (message.empty() ? "socket error" : message) + " (" + std::to_string(code) + ")";
}

}  // namespace

std::string LastError() { return ErrorText(::WSAGetLastError()); }

Socket Listen(const std::string& address, int port, int backlog, int* bound) {
  const std::string where = address + ":" + std::to_string(port);
  sockaddr_in addr = Ipv4(0, port);
  if (!Corvus::net::StartSockets()) throw std::runtime_error("Winsock: " + LastError());
  if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1)
    throw std::runtime_error("'" + address + "' is not an IPv4 address");
  Socket s = Corvus::net::OpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == kNoSocket) throw std::runtime_error("socket: " + LastError());
  // Windows lets SO_REUSEADDR take a port that another socket listens on;
  // exclusive use is what a server wants.
  const BOOL one = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
               sizeof one);
  int len = sizeof addr;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, backlog) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const std::string why = LastError();
    Close(s);
    throw std::runtime_error("cannot listen on " + where + ": " + why);
  }
  *bound = ntohs(addr.sin_port);
  return s;
}

// An accepted socket takes the listener's non-blocking mode: it is made
// blocking here.
Socket Accept(Socket listener) {
  Socket s = ::accept(listener, nullptr, nullptr);
  if (s == kNoSocket) return kNoSocket;
  const BOOL one = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  if (!Corvus::net::SetBlocking(s, true)) Close(s);
  return s;
}

Socket ConnectLoopback(int port) {
  if (!Corvus::net::StartSockets()) return kNoSocket;
  Socket s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  const sockaddr_in addr = Ipv4(INADDR_LOOPBACK, port);
  if (s != kNoSocket && ::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    Close(s);
  return s;
}

Socket Connect(const std::string& host, int port, Socket watch, std::string* error) {
  if (!Corvus::net::StartSockets()) {
    *error = "Winsock: " + LastError();
    return kNoSocket;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    *error = "cannot resolve " + host + ": " + ErrorText(rc);
    return kNoSocket;
  }
  Socket s = kNoSocket;
  *error = "no address";
  for (const addrinfo* a = found; a != nullptr && s == kNoSocket; a = a->ai_next) {
    s = Corvus::net::OpenSocket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == kNoSocket) continue;
    int err = ::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) == 0 ? 0
                                                                             : ::WSAGetLastError();
    if (err == WSAEWOULDBLOCK) {
      // No events asked of `watch`: only its end (POLLHUP, POLLERR) is reported.
      WSAPOLLFD p[2] = {{s, POLLWRNORM, 0}, {watch, 0, 0}};
      if (::WSAPoll(p, 2, -1) == SOCKET_ERROR) {
        err = ::WSAGetLastError();
      } else if (p[0].revents & (POLLERR | POLLHUP)) {
        int size = sizeof err;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &size) != 0 ||
            err == 0)
          err = WSAECONNREFUSED;
      } else {
        err = p[0].revents != 0 ? 0 : WSAECONNABORTED;  // aborted: the watched socket ended
      }
    }
    const BOOL one = TRUE;
    if (err == 0 && Corvus::net::SetBlocking(s, true)) {
      ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    } else {
      *error = ErrorText(err != 0 ? err : ::WSAGetLastError());
      Close(s);
    }
  }
  ::freeaddrinfo(found);
  return s;
}

void ShutdownSend(Socket s) { ::shutdown(s, SD_SEND); }

long Receive(Socket s, char* data, std::size_t size) {
  return ::recv(s, data, CallSize(size), 0);
}

bool SendAll(Socket s, const char* data, std::size_t size) {
  while (size > 0) {
    const int n = ::send(s, data, CallSize(size), 0);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int WaitReadable(const Socket* sockets, bool* ready, int count, int timeout_ms) {
  std::vector<WSAPOLLFD> fds(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) fds[static_cast<std::size_t>(i)] = {sockets[i], POLLRDNORM, 0};
  const int n = ::WSAPoll(fds.data(), static_cast<ULONG>(count), timeout_ms);
  for (int i = 0; i < count; ++i) ready[i] = n > 0 && fds[static_cast<std::size_t>(i)].revents != 0;
  return n == SOCKET_ERROR ? -1 : n;
}

std::string PeerName(Socket s) {
  sockaddr_in addr{};
  int len = sizeof addr;
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return "?";
  char text[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

// Winsock waits on sockets only: the wake-up is a loopback connection to
// itself, both ends non-blocking (a full one already holds a wake-up).
Waker::Waker() {
  int port = 0;
  Socket listener = Listen("127.0.0.1", 0, 1, &port);
  write_ = ConnectLoopback(port);
  read_ = write_ == kNoSocket ? kNoSocket : ::accept(listener, nullptr, nullptr);
  Close(listener);
  if (read_ == kNoSocket || !Corvus::net::SetBlocking(read_, false) ||
      !Corvus::net::SetBlocking(write_, false)) {
    const std::string why = LastError();
    Close(read_);
    Close(write_);
    throw std::runtime_error("wake-up socket: " + why);
  }
}

Waker::~Waker() {
  Close(read_);
  Close(write_);
}

void Waker::Wake() {
  const char byte = 1;
  ::send(write_, &byte, 1, 0);
}

void Waker::Drain() {
  char drain[64];
  while (::recv(read_, drain, sizeof drain, 0) > 0) {
  }
}

}  // namespace kestrel::platform
