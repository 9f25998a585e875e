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

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <utility>

namespace kestrel_test {
namespace {

constexpr int kActionWaitMs = 5000;  // how long Send and Drop wait for a connection

// The few calls that differ. Every connection is non-blocking; on Winsock
// (started once for the test program) the wake-up pipe is a pair of loopback
// UDP sockets and waits are select() calls.
#ifdef _WIN32
using Socket = std::uintptr_t;
using SockLen = int;
using IoLen = int;
constexpr Socket kNoSocket = static_cast<Socket>(INVALID_SOCKET);
constexpr int kSendFlags = 0;
static_assert(sizeof(Socket) == sizeof(SOCKET), "a SOCKET fits the server's socket type");

bool SetNonBlocking(Socket s) {
  u_long one = 1;
  return ::ioctlsocket(s, FIONBIO, &one) == 0;
}
void CloseFd(Socket* fd) {
  if (*fd != kNoSocket) ::closesocket(*fd);
  *fd = kNoSocket;
}
bool WouldBlock() { return ::WSAGetLastError() == WSAEWOULDBLOCK; }
Socket NewSocket() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) throw std::runtime_error("fake server: WSAStartup failed");
  return ::socket(AF_INET, SOCK_STREAM, 0);
}
Socket Accept(Socket listener) {
  Socket conn = ::accept(listener, nullptr, nullptr);
  if (conn != kNoSocket && !SetNonBlocking(conn)) CloseFd(&conn);
  return conn;
}
// wake[0] receives what wake[1] sends.
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
void Poke(Socket wake) { ::send(wake, "", 1, 0); }
void WaitWritable(Socket fd, int ms) {
  fd_set room;
  FD_ZERO(&room);
  FD_SET(fd, &room);
  timeval tv{0, ms * 1000};
  ::select(0, nullptr, &room, nullptr, &tv);
}
// Waits for the wake-up socket (and drains it) or for `s`: readable when
// `read`, otherwise `s` is not watched at all (select reports no hang-up);
// 1 when `s` is readable, 0 when not.
int Wait(Socket wake, Socket s, bool read) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(wake, &readable);
  if (read) FD_SET(s, &readable);
  if (::select(0, &readable, nullptr, nullptr, nullptr) == SOCKET_ERROR) return 0;
  char drain[64];
  if (FD_ISSET(wake, &readable))
    while (::recv(wake, drain, sizeof drain, 0) > 0) continue;
  return read && FD_ISSET(s, &readable) ? 1 : 0;
}
#else
using Socket = int;
using SockLen = socklen_t;
using IoLen = std::size_t;
constexpr Socket kNoSocket = -1;
constexpr int kSendFlags = MSG_NOSIGNAL;

void CloseFd(Socket* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}
bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }
Socket NewSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }
Socket Accept(Socket listener) {
  return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
}
bool OpenWakePair(Socket (&wake)[2]) { return ::pipe2(wake, O_CLOEXEC | O_NONBLOCK) == 0; }
void Poke(Socket wake) { [[maybe_unused]] const ssize_t n = ::write(wake, "", 1); }
void WaitWritable(Socket fd, int ms) {
  pollfd p{fd, POLLOUT, 0};
  ::poll(&p, 1, ms);
}
// Waits for the wake-up pipe (and drains it) or for `s`: readable when
// `read`, otherwise only its errors and hang-ups; 1 when `s` is readable,
// -1 when it hung up, 0 otherwise.
int Wait(Socket wake, Socket s, bool read) {
  pollfd fds[2] = {{wake, POLLIN, 0}, {s, static_cast<short>(read ? POLLIN : 0), 0}};
  if (::poll(fds, 2, -1) < 0) return 0;  // EINTR
  char drain[64];
  if (fds[0].revents & POLLIN)
    while (::read(wake, drain, sizeof drain) > 0) continue;
  if (fds[1].revents == 0) return 0;
  return read ? 1 : (fds[1].revents & (POLLERR | POLLHUP)) ? -1 : 0;
}
#endif

}  // namespace

FakeServer::Step FakeServer::Chunks(std::vector<std::string> chunks, int pause_ms) {
  Step s;
  s.kind = Step::Kind::kSend;
  s.chunks = std::move(chunks);
  s.pause_ms = pause_ms;
  return s;
}

FakeServer::Step FakeServer::Answer(std::string bytes, int delay_ms) {
  Step s = Chunks({std::move(bytes)}, 0);
  s.delay_ms = delay_ms;
  return s;
}

FakeServer::Step FakeServer::Line(std::string text, int delay_ms) {
  return Answer(std::move(text) + "\r\n", delay_ms);
}

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
  listen_fd_ = NewSocket();
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  SockLen size = sizeof addr;
  if (listen_fd_ == kNoSocket ||
      ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 16) != 0 ||
      ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &size) != 0 ||
      !OpenWakePair(wake_)) {
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
  changed_.wait_for(lock, std::chrono::milliseconds(kActionWaitMs),
                    [&] { return stop_ || results_.count(ticket) != 0; });
  const auto it = results_.find(ticket);
  if (it == results_.end()) {  // not run: withdrawn, so that it cannot fire later
    actions_.erase(std::remove_if(actions_.begin(), actions_.end(),
                                  [&](const Action& a) { return a.ticket == ticket; }),
                   actions_.end());
    return false;
  }
  const bool ok = it->second;
  results_.erase(it);
  return ok;
}

// A full pipe already holds a wake-up; nothing else can go wrong here.
void FakeServer::Wake() { Poke(wake_[1]); }

bool FakeServer::Pause(int ms) {
  if (ms <= 0) return true;
  std::unique_lock<std::mutex> lock(mutex_);
  return !changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop_; });
}

bool FakeServer::SendAll(Socket fd, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const auto n =
        ::send(fd, bytes.data() + done, static_cast<IoLen>(bytes.size() - done), kSendFlags);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0 || !WouldBlock()) return false;
    // The client does not read: wait for room, looking for stop now and then.
    WaitWritable(fd, 50);
    std::lock_guard<std::mutex> lock(mutex_);
    if (stop_) return false;
  }
  return true;
}

void FakeServer::Perform(Socket* conn, const Step& step) {
  switch (step.kind) {
    case Step::Kind::kSilence:
      return;
    case Step::Kind::kReset: {
      linger abort{};
      abort.l_onoff = 1;
      abort.l_linger = 0;
      ::setsockopt(*conn, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                   sizeof abort);
    }
      [[fallthrough]];
    case Step::Kind::kHangup:
      CloseFd(conn);
      return;
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
  if (!action.drop) return SendAll(*conn, action.bytes);
  CloseFd(conn);
  return true;
}

// Reads what the connection holds and serves each complete request line.
// False once the connection is gone.
bool FakeServer::ReadRequests(Socket* conn, std::string* pending) {
  constexpr int kChunk = 4096;
  char chunk[kChunk];
  const auto n = ::recv(*conn, chunk, kChunk, 0);
  if (n < 0 && WouldBlock()) return true;
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
    const int ready =
        Wait(wake_[0], conn != kNoSocket ? conn : listen_fd_, conn == kNoSocket || reading);
    if (ready < 0) CloseFd(&conn);
    if (ready <= 0) continue;
    if (conn == kNoSocket) {
      conn = Accept(listen_fd_);
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
  }
  CloseFd(&conn);
}

}  // namespace kestrel_test
