#include "support/fake_server.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <utility>

namespace kestrel_test {
namespace {

constexpr int kActionWaitMs = 5000;  // how long Send and Drop wait for a connection

void CloseFd(int* fd) {
  if (*fd >= 0) ::close(*fd);
  *fd = -1;
}

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
  [[maybe_unused]] const ssize_t n = ::write(wake_[1], &byte, 1);
}

bool FakeServer::Pause(int ms) {
  if (ms <= 0) return true;
  std::unique_lock<std::mutex> lock(mutex_);
  return !changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop_; });
}

bool FakeServer::SendAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
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
  }
  return true;
}

void FakeServer::Perform(int* conn, const Step& step) {
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
      ::setsockopt(*conn, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
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

bool FakeServer::RunAction(int* conn, const Action& action) {
  if (action.drop) {
    CloseFd(conn);
    return true;
  }
  return SendAll(*conn, action.bytes);
}

// Reads what the connection holds and serves each complete request line.
// False once the connection is gone.
bool FakeServer::ReadRequests(int* conn, std::string* pending) {
  char chunk[4096];
  const ssize_t n = ::recv(*conn, chunk, sizeof chunk, MSG_DONTWAIT);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return true;
  if (n <= 0) {
    CloseFd(conn);
    return false;
  }
  pending->append(chunk, static_cast<std::size_t>(n));
  std::size_t end;
  while (*conn >= 0 && (end = pending->find("\r\n")) != std::string::npos) {
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
  return *conn >= 0;
}

void FakeServer::Run() {
  int conn = -1;
  std::string pending;  // start of a request line not complete yet
  for (;;) {
    bool reading;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (stop_) break;
      reading = reading_;
      while (conn >= 0 && !actions_.empty()) {
        Action action = std::move(actions_.front());
        actions_.pop_front();
        lock.unlock();
        const bool ok = RunAction(&conn, action);
        lock.lock();
        results_[action.ticket] = ok;
        changed_.notify_all();
      }
    }
    if (conn < 0) pending.clear();

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
  }
  CloseFd(&conn);
}

}  // namespace kestrel_test
