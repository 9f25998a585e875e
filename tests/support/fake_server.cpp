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

#include <chrono>
#include <stdexcept>

namespace kestrel_test {
namespace {

// The few calls that differ. Every served connection is non-blocking, and
// every wait a poll of kTickMs, after which the thread looks at what changed.
constexpr int kTickMs = 10;
constexpr int kConnectionWaitMs = 5000;  // how long Send and Drop wait for a connection
#ifdef _WIN32
using Native = SOCKET;
constexpr int kNoSignal = 0;
constexpr int kShutBoth = SD_BOTH;
int Poll(pollfd* p) { return ::WSAPoll(p, 1, kTickMs); }
bool NonBlocking(Native s) {
  u_long one = 1;
  return ::ioctlsocket(s, FIONBIO, &one) == 0;
}
const bool kStarted = [] {
  WSADATA data;
  return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}();
#else
using Native = int;
constexpr int kNoSignal = MSG_NOSIGNAL;
constexpr int kShutBoth = SHUT_RDWR;
int Poll(pollfd* p) { return ::poll(p, 1, kTickMs); }
bool NonBlocking(Native s) { return ::fcntl(s, F_SETFL, ::fcntl(s, F_GETFL) | O_NONBLOCK) == 0; }
#endif
Native N(Socket s) { return static_cast<Native>(s); }

// Waits one tick for `events` on `s`; the events seen (0 on timeout).
short Wait(Socket s, short events) {
  pollfd p{N(s), events, 0};
  return Poll(&p) > 0 ? p.revents : 0;
}

}  // namespace

void CloseSocket(Socket s) {
#ifdef _WIN32
  ::closesocket(N(s));
#else
  ::close(N(s));
#endif
}

Socket Listen(int backlog, int& port) {
  const auto s = static_cast<Socket>(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof addr;
  if (s == kNoSocket) return s;
  if (::bind(N(s), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(N(s), backlog) != 0 ||
      ::getsockname(N(s), reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
    CloseSocket(s);
    return kNoSocket;
  }
  port = ntohs(addr.sin_port);
  return s;
}

FakeServer::FakeServer() : listener_(Listen(16, port_)) {
  if (listener_ == kNoSocket) throw std::runtime_error("fake server: cannot listen on 127.0.0.1");
  thread_ = std::thread([this] { Run(); });
}

FakeServer::~FakeServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  changed_.notify_all();
  thread_.join();
  CloseSocket(listener_);
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

// The current connection once there is one not dropped; kNoSocket when none
// came in time or the server stops.
Socket FakeServer::Current(std::unique_lock<std::mutex>& lock) {
  return changed_.wait_for(lock, std::chrono::milliseconds(kConnectionWaitMs),
                           [&] { return stop_ || (conn_ != kNoSocket && !dropped_); }) &&
                 !stop_
             ? conn_
             : kNoSocket;
}

bool FakeServer::Send(const std::string& bytes) {
  std::unique_lock<std::mutex> lock(mutex_);
  const Socket conn = Current(lock);
  if (conn == kNoSocket) return false;
  ++sending_;  // the serving thread closes the connection only once this is done
  lock.unlock();
  const bool written = WriteAll(conn, bytes);
  lock.lock();
  --sending_;
  lock.unlock();
  changed_.notify_all();
  return written;
}

// Shuts the connection down; the serving thread sees its end and closes it.
bool FakeServer::Drop() {
  std::unique_lock<std::mutex> lock(mutex_);
  const Socket conn = Current(lock);
  if (conn == kNoSocket) return false;
  dropped_ = true;
  return ::shutdown(N(conn), kShutBoth) == 0;
}

void FakeServer::StopReading() {
  std::lock_guard<std::mutex> lock(mutex_);
  reading_ = false;
}

// Waits `ms`; false when the server stops meanwhile.
bool FakeServer::Pause(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop_; });
}

// Writes every byte, waiting for room while the peer does not read.
bool FakeServer::WriteAll(Socket conn, const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const auto n =
        ::send(N(conn), bytes.data() + done, static_cast<int>(bytes.size() - done), kNoSignal);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if ((Wait(conn, POLLOUT) & (POLLERR | POLLHUP)) || !Pause(0)) {
      return false;
    }
  }
  return true;
}

// Serves one connection until it ends, a step ends it or the server stops.
void FakeServer::Serve(Socket conn) {
  std::string pending;
  for (;;) {
    bool reading;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_ || dropped_) return;
      reading = reading_;
    }
    const short seen = Wait(conn, reading ? POLLIN : 0);
    if (!reading && (seen & (POLLERR | POLLHUP))) return;
    if (!reading || seen == 0) continue;
    char chunk[4096];
    const auto n = ::recv(N(conn), chunk, sizeof chunk, 0);
    if (n <= 0) return;
    pending.append(chunk, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
      Step step;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(pending.substr(0, end));
        if (!steps_.empty()) {
          step = std::move(steps_.front());
          steps_.pop_front();
        }
      }
      changed_.notify_all();
      pending.erase(0, end + 2);
      for (std::size_t i = 0; i < step.chunks.size(); ++i) {
        if ((i > 0 && !Pause(step.pause_ms)) || !WriteAll(conn, step.chunks[i])) return;
      }
      if (step.end == Step::End::kReset) {  // closing now sends a reset
        linger abort{};
        abort.l_onoff = 1;
        ::setsockopt(N(conn), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                     sizeof abort);
      }
      if (step.end != Step::End::kStay) return;
    }
  }
}

void FakeServer::Run() {
  while (Pause(0)) {
    if (!(Wait(listener_, POLLIN) & POLLIN)) continue;
    const auto conn = static_cast<Socket>(::accept(N(listener_), nullptr, nullptr));
    if (conn == kNoSocket || !NonBlocking(N(conn))) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      conn_ = conn;
      dropped_ = false;
      ++connections_;
    }
    changed_.notify_all();
    Serve(conn);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return sending_ == 0; });
    conn_ = kNoSocket;
    CloseSocket(conn);
  }
}

}  // namespace kestrel_test
