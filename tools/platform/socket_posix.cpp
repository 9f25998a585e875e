// The tools' sockets over POSIX sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/socket.h"

namespace kestrel::platform {

namespace {

#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

}  // namespace

std::string LastError() { return std::strerror(errno); }

Socket Listen(const std::string& address, int port, int backlog, int* bound) {
  const std::string where = address + ":" + std::to_string(port);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1)
    throw std::runtime_error("'" + address + "' is not an IPv4 address");
  Socket s = Corvus::net::OpenSocket(AF_INET, SOCK_STREAM, 0);
  if (s == kNoSocket) throw std::runtime_error("socket: " + LastError());
  const int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  socklen_t len = sizeof addr;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(s, backlog) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    const std::string why = LastError();
    Close(s);
    throw std::runtime_error("cannot listen on " + where + ": " + why);
  }
  *bound = ntohs(addr.sin_port);
  return s;
}

Socket Accept(Socket listener) {
#ifdef SOCK_CLOEXEC
  const Socket s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#else
  const Socket s = ::accept(listener, nullptr, nullptr);
  if (s >= 0) ::fcntl(s, F_SETFD, FD_CLOEXEC);
#endif
  if (s < 0) return kNoSocket;
  const int one = 1;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return s;
}

Socket ConnectLoopback(int port) {
  Socket s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (s >= 0 && ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Close(s);
  return s < 0 ? kNoSocket : s;
}

Socket Connect(const std::string& host, int port, Socket watch, std::string* error) {
#ifdef POLLRDHUP
  constexpr short kPeerClosed = POLLRDHUP;
#else
  constexpr short kPeerClosed = 0;  // a hang-up is reported all the same
#endif
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    *error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
    return kNoSocket;
  }
  Socket s = kNoSocket;
  *error = "no address";
  for (const addrinfo* a = found; a != nullptr && s == kNoSocket; a = a->ai_next) {
    s = Corvus::net::OpenSocket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == kNoSocket) continue;
    int err = ::connect(s, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
      pollfd p[2] = {{s, POLLOUT, 0}, {watch, kPeerClosed, 0}};
      while (::poll(p, 2, -1) < 0 && errno == EINTR) {
      }
      socklen_t len = sizeof err;
      if (p[0].revents != 0) {
        ::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
      } else {
        err = ECONNABORTED;  // the watched socket ended first
      }
    }
    const int one = 1;
    if (err == 0 && Corvus::net::SetBlocking(s, true)) {
      ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    } else {
      *error = std::strerror(err != 0 ? err : errno);
      Close(s);
    }
  }
  ::freeaddrinfo(found);
  return s;
}

void ShutdownSend(Socket s) { ::shutdown(s, SHUT_WR); }

long Receive(Socket s, char* data, std::size_t size) {
  for (;;) {
    const ssize_t n = ::recv(s, data, size, 0);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

bool SendAll(Socket s, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(s, data, size, kSendFlags);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int WaitReadable(const Socket* sockets, bool* ready, int count, int timeout_ms) {
  std::vector<pollfd> fds(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) fds[static_cast<std::size_t>(i)] = {sockets[i], POLLIN, 0};
  int n;
  do {
    n = ::poll(fds.data(), fds.size(), timeout_ms);
  } while (n < 0 && errno == EINTR);
  for (int i = 0; i < count; ++i) ready[i] = n > 0 && fds[static_cast<std::size_t>(i)].revents != 0;
  return n;
}

std::string PeerName(Socket s) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return "?";
  char text[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

// A non-blocking pipe: a full one already holds a wake-up.
Waker::Waker() {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe: " + LastError());
  for (int fd : fds) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  read_ = fds[0];
  write_ = fds[1];
}

Waker::~Waker() {
  Close(read_);
  Close(write_);
}

void Waker::Wake() {
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(write_, &byte, 1);
}

void Waker::Drain() {
  char drain[64];
  while (::read(read_, drain, sizeof drain) > 0) {
  }
}

}  // namespace kestrel::platform
