// The tools' sockets, over POSIX sockets or Winsock through the link's own
// socket calls (host/sockets.h); the few lines in which the two APIs differ
// are marked where they stand.
#include "platform/socket.h"

#include <cstring>
#include <stdexcept>
#include <vector>

#include "host/socket_api.h"

#if !defined(_WIN32)
#include <cerrno>
#endif

namespace kestrel::platform {

namespace net = Corvus::net;

namespace {

sockaddr_in Ipv4(std::uint32_t host_order_address, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(host_order_address);
  return addr;
}

std::string ErrorText(int code) {
#if defined(_WIN32)
  char text[256] = "";
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(code), 0, text, sizeof text,
                                   nullptr);
  std::string message(text, n);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.'))
    message.pop_back();
  return (message.empty() ? "socket error" : message) + " (" + std::to_string(code) + ")";
#else
  return std::strerror(code);
#endif
}

// The error code of a connect of `s` that failed at once with `err`: when
// that means that it is under way, waits for it to end, or for `watch` to
// end first. 0: connected.
int AwaitConnect(Socket s, Socket watch, int err) {
#if defined(_WIN32)
  if (err != WSAEWOULDBLOCK) return err;
  // No events asked of `watch`: only its end (POLLHUP, POLLERR) is reported.
  WSAPOLLFD p[2] = {{s, POLLWRNORM, 0}, {watch, 0, 0}};
  if (net::Poll(p, 2, -1) < 0) return net::LastErrorCode();
  if (p[0].revents & (POLLERR | POLLHUP)) {
    return net::PendingError(s, &err) && err != 0 ? err : WSAECONNREFUSED;
  }
  return p[0].revents != 0 ? 0 : WSAECONNABORTED;  // aborted: the watched socket ended
#else
  if (err != EINPROGRESS) return err;
#ifdef POLLRDHUP
  constexpr short kPeerClosed = POLLRDHUP;
#else
  constexpr short kPeerClosed = 0;  // a hang-up is reported all the same
#endif
  pollfd p[2] = {{s, POLLOUT, 0}, {watch, kPeerClosed, 0}};
  while (net::Poll(p, 2, -1) < 0 && net::Interrupted()) {
  }
  if (p[0].revents == 0) return ECONNABORTED;  // the watched socket ended first
  net::PendingError(s, &err);  // err stays EINPROGRESS if it cannot be read
  return err;
#endif
}

}  // namespace

std::string LastError() { return ErrorText(net::LastErrorCode()); }

Socket Listen(const std::string& address, int port, int backlog, int* bound) {
  const std::string where = address + ":" + std::to_string(port);
  sockaddr_in addr = Ipv4(0, port);
  if (!net::StartSockets()) throw std::runtime_error("Winsock: " + LastError());
  if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1)
    throw std::runtime_error("'" + address + "' is not an IPv4 address");
  Socket s = net::OpenSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == kNoSocket) throw std::runtime_error("socket: " + LastError());
#if defined(_WIN32)
  // Windows lets SO_REUSEADDR take a port that another socket listens on;
  // exclusive use is what a server wants.
  const BOOL one = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
               sizeof one);
#else
  const int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
  net::SockLen len = sizeof addr;
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
#if defined(_WIN32)
  Socket s = ::accept(listener, nullptr, nullptr);
#elif defined(SOCK_CLOEXEC)
  Socket s = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#else
  Socket s = ::accept(listener, nullptr, nullptr);
  if (s != kNoSocket) ::fcntl(s, F_SETFD, FD_CLOEXEC);
#endif
  if (s == kNoSocket) return kNoSocket;
  net::SetNoDelay(s);
#if defined(_WIN32)
  // An accepted socket takes the listener's non-blocking mode: it is made
  // blocking here.
  if (!net::SetBlocking(s, true)) Close(s);
#endif
  return s;
}

Socket ConnectLoopback(int port) {
  if (!net::StartSockets()) return kNoSocket;
  Socket s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  const sockaddr_in addr = Ipv4(INADDR_LOOPBACK, port);
  if (s != kNoSocket && ::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
    Close(s);
  return s;
}

Socket Connect(const std::string& host, int port, Socket watch, std::string* error) {
  if (!net::StartSockets()) {
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
#if defined(_WIN32)
    *error = "cannot resolve " + host + ": " + ErrorText(rc);
#else
    *error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
#endif
    return kNoSocket;
  }
  Socket s = kNoSocket;
  *error = "no address";
  for (const addrinfo* a = found; a != nullptr && s == kNoSocket; a = a->ai_next) {
    s = net::OpenSocket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s == kNoSocket) continue;
    int err = ::connect(s, a->ai_addr, static_cast<net::SockLen>(a->ai_addrlen)) == 0
                  ? 0
                  : net::LastErrorCode();
    if (err != 0) err = AwaitConnect(s, watch, err);
    if (err == 0 && net::SetBlocking(s, true)) {
      net::SetNoDelay(s);
    } else {
      *error = ErrorText(err != 0 ? err : net::LastErrorCode());
      Close(s);
    }
  }
  ::freeaddrinfo(found);
  return s;
}

void ShutdownSend(Socket s) {
#if defined(_WIN32)
  ::shutdown(s, SD_SEND);
#else
  ::shutdown(s, SHUT_WR);
#endif
}

long Receive(Socket s, char* data, std::size_t size) {
  for (;;) {
    const long n = net::RecvCall(s, data, size);
    if (n >= 0 || !net::Interrupted()) return n;
  }
}

bool SendAll(Socket s, const char* data, std::size_t size) {
  while (size > 0) {
    const long n = net::SendCall(s, data, size);
    if (n < 0 && net::Interrupted()) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

int WaitReadable(const Socket* sockets, bool* ready, int count, int timeout_ms) {
  std::vector<net::PollFd> fds(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) fds[static_cast<std::size_t>(i)] = {sockets[i], net::kPollIn, 0};
  int n;
  do {
    n = net::Poll(fds.data(), fds.size(), timeout_ms);
  } while (n < 0 && net::Interrupted());
  for (int i = 0; i < count; ++i) ready[i] = n > 0 && fds[static_cast<std::size_t>(i)].revents != 0;
  return n;
}

std::string PeerName(Socket s) {
  sockaddr_in addr{};
  net::SockLen len = sizeof addr;
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return "?";
  char text[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

#if defined(_WIN32)
// Winsock waits on sockets only: the wake-up is a loopback connection to
// itself, both ends non-blocking (a full one already holds a wake-up).
Waker::Waker() {
  int port = 0;
  Socket listener = Listen("127.0.0.1", 0, 1, &port);
  write_ = ConnectLoopback(port);
  read_ = write_ == kNoSocket ? kNoSocket : ::accept(listener, nullptr, nullptr);
  Close(listener);
  if (read_ == kNoSocket || !net::SetBlocking(read_, false) || !net::SetBlocking(write_, false)) {
    const std::string why = LastError();
    Close(read_);
    Close(write_);
    throw std::runtime_error("wake-up socket: " + why);
  }
}
#else
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
#endif

Waker::~Waker() {
  Close(read_);
  Close(write_);
}

// Both ends are sockets on Windows, pipe ends elsewhere.
void Waker::Wake() {
  const char byte = 1;
#if defined(_WIN32)
  ::send(write_, &byte, 1, 0);
#else
  [[maybe_unused]] const ssize_t n = ::write(write_, &byte, 1);
#endif
}

void Waker::Drain() {
  char drain[64];
#if defined(_WIN32)
  while (::recv(read_, drain, sizeof drain, 0) > 0) {
  }
#else
  while (::read(read_, drain, sizeof drain) > 0) {
  }
#endif
}

}  // namespace kestrel::platform
