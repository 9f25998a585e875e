#include "support/fake_server.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <utility>

namespace kestrel_test {
namespace {

constexpr int kActionWaitMs = 5000;  // how long Send and Drop wait for a connection

#ifdef _WIN32
// Winsock: started once for the test program, sockets are SOCKETs, the
// wake-up pipe is a pair of loopback UDP sockets, every connection is
// non-blocking (no MSG_DONTWAIT) and waits are select() calls (no poll).
using Socket = std::uintptr_t;
constexpr Socket kNoSocket = static_cast<Socket>(INVALID_SOCKET);
static_assert(sizeof(Socket) == sizeof(SOCKET), "a SOCKET fits the server's socket type");

void StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw std::runtime_error("fake server: WSAStartup failed");
}

bool SetNonBlocking(Socket s) {
  u_long one = 1;
  return ::ioctlsocket(s, FIONBIO, &one) == 0;
}

void CloseFd(Socket* fd) {
  if (*fd != kNoSocket) ::closesocket(*fd);
  *fd = kNoSocket;
}

// wake[0] receives what wake[1] sends; both non-blocking.
bool OpenWakePair(Socket (&wake)[2]) {
  wake[0] = ::socket(AF_INET, SOCK_DGRAM, 0);
  wake[1] = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (wake[0] == kNoSocket || wake[1] == kNoSocket) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof addr;
  return ::bind(wake[0], reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
         ::getsockname(wake[0], reinterpret_cast<sockaddr*>(&addr), &size) == 0 &&
         ::connect(wake[1], reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
         SetNonBlocking(wake[0]) && SetNonBlocking(wake[1]);
}

bool WouldBlock() { return ::WSAGetLastError() == WSAEWOULDBLOCK; }
#else
void CloseFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}
#endif

}  // namespace

FakeServer::Step FakeServer::Answer(std::string bytes, int delay_ms) {
  Step s;
  s.kind = Step::Kind::kSend;
  s.chunks.push_back(std::move(bytes));
  s.delay_ms = delay_ms;
  return s;
}

FakeServer::Step FakeServer::Line(std::string text, int delay_ms) {
  return Answer(std::move(text) + "\r\n", delay_ms);
}

FakeServer::Step FakeServer::Chunks(std::vector<std::string> chunks, int pause_ms) {
  Step s;
  s.kind = Step::Kind::kSend;
  s.chunks = std::move(chunks);
  s.pause_ms = pause_ms;
  return s;
}

FakeServer::Step FakeServer::Silence() { return Step{}; }

FakeServer::Step FakeServer::Hangup() {
  Step s;
  s.kind = Step::Kind::kHangup;
  return s;
}

FakeServer::Step FakeServer::AnswerThenHangup(std::string bytes) {
  Step s = Answer(std::move(bytes));
  s.hangup_after = true;
  return s;
}

FakeServer::Step FakeServer::Reset() {
  Step s;
  s.kind = Step::Kind::kReset;
  return s;
}

FakeServer::FakeServer() {
#ifdef _WIN32
  StartWinsock();
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listen_fd_ == kNoSocket) throw std::runtime_error("fake server: socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  int size = sizeof addr;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 16) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &size) != 0 ||
      !OpenWakePair(wake_)) {
#else
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) throw std::runtime_error("fake server: socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t size = sizeof addr;
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 16) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &size) != 0 ||
      ::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
#endif
    CloseFd(&listen_fd_);
    CloseFd(&wake_[0]);
    CloseFd(&wake_[1]);
    throw std::runtime_error("fake server: cannot listen on 127.0.0.1");
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { Run(); });
}

FakeServer::~FakeServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  Wake();
  thread_.join();
  CloseFd(&listen_fd_);
  CloseFd(&wake_[0]);
  CloseFd(&wake_[1]);
}

void FakeServer::Push(Step step) {
  std::lock_guard<std::mutex> lock(mutex_);
  steps_.push_back(std::move(step));
}

std::vector<std::string> FakeServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool FakeServer::WaitForRequests(std::size_t n, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return requests_.size() >= n; });
}

int FakeServer::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

bool FakeServer::WaitForConnections(int n, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [&] { return connections_ >= n; });
}

bool FakeServer::Send(std::string bytes) { return Submit(false, std::move(bytes)); }

bool FakeServer::Drop() { return Submit(true, std::string()); }

void FakeServer::StopReading() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reading_ = false;
  }
  Wake();
}

bool FakeServer::Submit(bool drop, std::string bytes) {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::uint64_t ticket = ++next_ticket_;
  actions_.push_back(Action{ticket, drop, std::move(bytes)});
  lock.unlock();
  Wake();
  lock.lock();
  const bool finished = changed_.wait_for(lock, std::chrono::milliseconds(kActionWaitMs),
                                          [&] { return stop_ || results_.count(ticket) != 0; });
  auto it = results_.find(ticket);
  if (!finished || it == results_.end()) {
    // Not run: withdraw it so that it cannot fire later.
    for (auto a = actions_.begin(); a != actions_.end(); ++a) {
      if (a->ticket == ticket) {
        actions_.erase(a);
        break;
      }
    }
    return false;
  }
  const bool ok = it->second;
  results_.erase(it);
  return ok;
}

void FakeServer::Wake() {
  const char byte = 1;
  // A full pipe already holds a wake-up; nothing else can go wrong here.
#ifdef _WIN32
  ::send(wake_[1], &byte, 1, 0);
#else
  [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
#endif
}

bool FakeServer::Pause(int ms) {
  if (ms <= 0) return true;
  std::unique_lock<std::mutex> lock(mutex_);
  return !changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop_; });
}

bool FakeServer::SendAll(Socket fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
#ifdef _WIN32
    const int n = ::send(fd, bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && WouldBlock()) {
      // The client does not read: wait for room, looking for stop now and then.
      fd_set room;
      FD_ZERO(&room);
      FD_SET(fd, &room);
      timeval tv{0, 50 * 1000};
      ::select(0, nullptr, &room, nullptr, &tv);
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return false;
      continue;
    }
    return false;
#else
    const ssize_t n =
        ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // The client does not read: wait for room, looking for stop now and then.
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 50);
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_) return false;
      continue;
    }
    return false;
#endif
  }
  return true;
}

void FakeServer::Perform(Socket* conn, const Step& step) {
  switch (step.kind) {
    case Step::Kind::kSilence:
      return;
    case Step::Kind::kHangup:
      CloseFd(conn);
      return;
    case Step::Kind::kReset: {
      linger abort{};
      abort.l_onoff = 1;
      abort.l_linger = 0;
      ::setsockopt(*conn, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                   sizeof abort);
      CloseFd(conn);
      return;
    }
    case Step::Kind::kSend:
      if (!Pause(step.delay_ms)) return;
      for (std::size_t i = 0; i < step.chunks.size(); ++i) {
        if (i > 0 && !Pause(step.pause_ms)) return;
        if (!SendAll(*conn, step.chunks[i])) break;
      }
      if (step.hangup_after) CloseFd(conn);
      return;
  }
}

bool FakeServer::RunAction(Socket* conn, const Action& action) {
  if (action.drop) {
    CloseFd(conn);
    return true;
  }
  return SendAll(*conn, action.bytes);
}

// Reads what the connection holds and serves each complete request line.
// False once the connection is gone.
bool FakeServer::ReadRequests(Socket* conn, std::string* pending) {
  char chunk[4096];
#ifdef _WIN32
  const int n = ::recv(*conn, chunk, sizeof chunk, 0);
  if (n < 0 && WouldBlock()) return true;
#else
  const ssize_t n = ::recv(*conn, chunk, sizeof chunk, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
#endif
  if (n <= 0) {
    CloseFd(conn);
    return false;
  }
  pending->append(chunk, static_cast<std::size_t>(n));
  std::size_t end;
  while (*conn != kNoSocket && (end = pending->find("\r\n")) != std::string::npos) {
    Step step;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(pending->substr(0, end));
      if (!steps_.empty()) {
        step = std::move(steps_.front());
        steps_.pop_front();
      }
    }
    changed_.notify_all();
    pending->erase(0, end + 2);
    Perform(conn, step);
  }
  return *conn != kNoSocket;
}

void FakeServer::Run() {
  Socket conn = kNoSocket;
  std::string pending;  // start of a request line not complete yet
  for (;;) {
    bool reading;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (stop_) break;
      reading = reading_;
      while (conn != kNoSocket && !actions_.empty()) {
        Action action = std::move(actions_.front());
        actions_.pop_front();
        lock.unlock();
        const bool ok = RunAction(&conn, action);
        lock.lock();
        results_[action.ticket] = ok;
        changed_.notify_all();
      }
    }
    if (conn == kNoSocket) pending.clear();

#ifdef _WIN32
    // Not reading: the connection is not watched at all (select has no
    // hang-up of its own); it is closed when the server stops.
    const Socket watched = conn != kNoSocket ? conn : listen_fd_;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(wake_[0], &readable);
    if (conn == kNoSocket || reading) FD_SET(watched, &readable);
    if (::select(0, &readable, nullptr, nullptr, nullptr) == SOCKET_ERROR) continue;
    if (FD_ISSET(wake_[0], &readable)) {
      char drain[64];
      while (::recv(wake_[0], drain, sizeof drain, 0) > 0) {
      }
    }
    if (!FD_ISSET(watched, &readable)) continue;
    if (conn == kNoSocket) {
      conn = ::accept(listen_fd_, nullptr, nullptr);
      if (conn != kNoSocket && !SetNonBlocking(conn)) CloseFd(&conn);
      if (conn != kNoSocket) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++connections_;
        changed_.notify_all();
      }
      continue;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reading = reading_;
    }
    if (reading) ReadRequests(&conn, &pending);
#else
    pollfd fds[2] = {{wake_[0], POLLIN, 0}, {-1, 0, 0}};
    if (conn >= 0) {
      fds[1].fd = conn;
      fds[1].events = reading ? POLLIN : 0;  // errors and hang-ups are reported anyway
    } else {
      fds[1].fd = listen_fd_;
      fds[1].events = POLLIN;
    }
    if (::poll(fds, 2, -1) < 0) continue;  // EINTR
    if (fds[0].revents & POLLIN) {
      char drain[64];
      while (::read(wake_[0], drain, sizeof drain) > 0) {
      }
    }
    if (fds[1].revents == 0) continue;
    if (conn < 0) {
      conn = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn >= 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++connections_;
        changed_.notify_all();
      }
      continue;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      reading = reading_;
    }
    if (reading) {
      ReadRequests(&conn, &pending);
    } else if (fds[1].revents & (POLLERR | POLLHUP)) {
      CloseFd(&conn);
    }
#endif
  }
  CloseFd(&conn);
}

}  // namespace kestrel_test
