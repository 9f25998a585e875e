#include "support/fake_server.h"

#ifdef _WIN32
#include <winsock2.h>  // SO_LINGER
#else
#include <sys/socket.h>
#endif

#include <chrono>

namespace kestrel_test {
namespace {

namespace platform = kestrel::platform;

// Every wait on a socket is a tick, after which the thread looks at what changed.
constexpr int kTickMs = 10;
constexpr int kConnectionWaitMs = 5000;  // how long Send and Drop wait for a connection

bool Readable(Socket s) {
  bool ready = false;
  return platform::WaitReadable(&s, &ready, 1, kTickMs) > 0;
}

}  // namespace

FakeServer::FakeServer() : listener_(platform::Listen("127.0.0.1", 0, 16, &port_)) {
  thread_ = std::thread([this] { Run(); });
}

FakeServer::~FakeServer() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    if (conn_ != kNoSocket) platform::Shutdown(conn_);  // wakes a write blocked on it
  }
  changed_.notify_all();
  thread_.join();
  platform::Close(listener_);
}

void FakeServer::Push(Step step) {
  std::lock_guard<std::mutex> lock(mutex_);
  steps_.push_back(std::move(step));
}

std::vector<std::string> FakeServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
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
  const bool written = platform::SendAll(conn, bytes.data(), bytes.size());
  lock.lock();
  --sending_;
  lock.unlock();
  changed_.notify_all();
  return written;
}

// Shuts the connection down; the serving thread sees it and closes it.
bool FakeServer::Drop() {
  std::unique_lock<std::mutex> lock(mutex_);
  const Socket conn = Current(lock);
  if (conn == kNoSocket) return false;
  dropped_ = true;
  platform::Shutdown(conn);
  return true;
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
    if (!reading) {  // the bytes the client writes pile up
      if (!Pause(kTickMs)) return;
      continue;
    }
    if (!Readable(conn)) continue;
    char chunk[4096];
    const long n = platform::Receive(conn, chunk, sizeof chunk);
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
        const std::string& c = step.chunks[i];
        if ((i > 0 && !Pause(step.pause_ms)) || !platform::SendAll(conn, c.data(), c.size()))
          return;
      }
      if (step.end == Step::End::kReset) {  // closing now sends a reset
        linger abort{};
        abort.l_onoff = 1;
        ::setsockopt(conn, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                     sizeof abort);
      }
      if (step.end != Step::End::kStay) return;
    }
  }
}

void FakeServer::Run() {
  while (Pause(0)) {
    if (!Readable(listener_)) continue;
    const Socket conn = platform::Accept(listener_);
    if (conn == kNoSocket) continue;
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
    Socket closing = conn;
    platform::Close(closing);
  }
}

}  // namespace kestrel_test
