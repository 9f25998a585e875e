#include "loopback_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <utility>

namespace kestrel_reliability {

namespace {

constexpr int kSendLimitMs = 5000;  // a client that stops reading does not hold the server

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Parses "%f" text (the client's number form) entirely; false otherwise.
bool Number(const std::string& text, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return end == text.c_str() + text.size();
}

}  // namespace

Reaction EchoReal(const std::string& line) {
  Reaction r;
  if (line.size() < 3 || line.front() != '<' || line.back() != '>' ||
      line.find_first_of("<>", 1) != line.size() - 1) {
    r.bytes = "<Unknown,NG,bad request>\r\n";
    r.malformed = true;
    return r;
  }
  const std::string body = line.substr(1, line.size() - 2);
  std::vector<std::string> fields;
  for (std::size_t start = 0;;) {
    const std::size_t comma = body.find(',', start);
    fields.push_back(body.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (fields[0] != "GetReal") {
    r.bytes = "<" + fields[0] + ",OK,>\r\n";
    return r;
  }
  double x = 0, y = 0;
  if (fields.size() != 4 || fields[1].empty() || !Number(fields[2], x) || !Number(fields[3], y)) {
    r.bytes = "<GetReal,NG,bad request>\r\n";
    r.malformed = true;
    return r;
  }
  char reply[128];
  std::snprintf(reply, sizeof reply, "<GetReal,OK,%f&%f>\r\n", EchoX(x), EchoY(y));
  r.bytes = reply;
  return r;
}

LoopbackServer::LoopbackServer(Handler handler, int port)
    : LoopbackServer(std::move(handler), Options{}, port) {}

LoopbackServer::LoopbackServer(Handler handler, Options options, int port)
    : handler_(std::move(handler)), options_(std::move(options)), port_(port) {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe failed");
  Start();
}

LoopbackServer::~LoopbackServer() {
  Stop();
  CloseFd(wake_[0]);
  CloseFd(wake_[1]);
}

void LoopbackServer::Listen() {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("socket failed");
  const int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (options_.receive_buffer > 0) {
    ::setsockopt(listen_fd_, SOL_SOCKET, SO_RCVBUF, &options_.receive_buffer,
                 sizeof options_.receive_buffer);
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port_));
  socklen_t size = sizeof addr;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 16) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
    CloseFd(listen_fd_);
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port_));
  }
  port_ = ntohs(addr.sin_port);
}

void LoopbackServer::Start() {
  if (thread_.joinable()) return;
  Listen();
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

void LoopbackServer::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
  thread_.join();
  CloseFd(listen_fd_);
}

bool LoopbackServer::SendAll(int fd, const std::string& bytes) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendLimitMs);
  std::size_t done = 0;
  while (done < bytes.size()) {
    if (stop_.load() || std::chrono::steady_clock::now() > deadline) return false;
    const ssize_t n =
        ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 20);
    } else {
      return false;
    }
  }
  return true;
}

bool LoopbackServer::Serve(int fd, std::string& pending) {
  char chunk[16384];
  const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
  if (n <= 0) return false;
  pending.append(chunk, static_cast<std::size_t>(n));
  for (std::size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
    const std::string line = pending.substr(0, end);
    pending.erase(0, end + 2);
    ++requests_;
    Reaction r = handler_(line);
    if (r.malformed) ++malformed_;
    // The client sends its next request only once it has this reply: any
    // byte already here came before it.
    if (!pending.empty()) ++overlaps_;
    if (!SendAll(fd, r.bytes)) return false;
    switch (r.then) {
      case Reaction::Then::kKeep:
        break;
      case Reaction::Then::kClose:
        return false;
      case Reaction::Then::kReset: {
        linger abort{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        return false;
      }
      case Reaction::Then::kFlood:
        while (!stop_.load() && SendAll(fd, r.bytes)) {
        }
        return false;
    }
  }
  return true;
}

void LoopbackServer::Run() {
  std::map<int, std::string> conns;  // descriptor -> start of a request not complete yet
  auto last_tick = std::chrono::steady_clock::now();
  while (!stop_.load()) {
    std::vector<pollfd> fds;
    fds.push_back({wake_[0], POLLIN, 0});
    fds.push_back({listen_fd_, POLLIN, 0});
    for (const auto& c : conns) {
      fds.push_back({c.first, static_cast<short>(options_.read ? POLLIN : 0), 0});
    }
    int wait_ms = -1;
    if (!options_.unsolicited.empty() && options_.every_ms > 0) {
      const auto next = last_tick + std::chrono::milliseconds(options_.every_ms);
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(next - std::chrono::steady_clock::now())
              .count();
      wait_ms = left > 0 ? static_cast<int>(left) : 0;
    }
    if (::poll(fds.data(), fds.size(), wait_ms) < 0 && errno != EINTR) break;
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (::read(wake_[0], drain, sizeof drain) > 0) {
      }
    }
    if (stop_.load()) break;
    if (fds[1].revents & POLLIN) {
      int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        conns.emplace(fd, std::string());
        ++connections_;
      }
    }
    for (std::size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      auto it = conns.find(fds[i].fd);
      const bool alive = options_.read ? Serve(it->first, it->second)
                                       : (fds[i].revents & (POLLERR | POLLHUP)) == 0;
      if (!alive) {
        int fd = it->first;
        conns.erase(it);
        CloseFd(fd);
      }
    }
    if (wait_ms >= 0 && std::chrono::steady_clock::now() >=
                            last_tick + std::chrono::milliseconds(options_.every_ms)) {
      last_tick = std::chrono::steady_clock::now();
      for (const auto& c : conns) SendAll(c.first, options_.unsolicited);
    }
  }
  for (auto& c : conns) {
    int fd = c.first;
    CloseFd(fd);
  }
}

}  // namespace kestrel_reliability
