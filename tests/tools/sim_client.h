// What the simulator's tests share: a bare client socket that sees exactly
// the bytes a server writes, and the built kestrel-sim program started and
// waited for.
#ifndef KESTREL_TESTS_TOOLS_SIM_CLIENT_H
#define KESTREL_TESTS_TOOLS_SIM_CLIENT_H

#ifdef _WIN32
#include <process.h>  // getpid
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "platform/socket.h"

namespace kestrel::sim {

using Clock = std::chrono::steady_clock;

inline long MsSince(Clock::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// A bare client socket, to see exactly the bytes the simulator writes.
class RawClient {
 public:
  explicit RawClient(int port) : fd_(platform::ConnectLoopback(port)) {
    if (fd_ == platform::kNoSocket) throw std::runtime_error("cannot connect to the simulator");
  }
  ~RawClient() { platform::Close(fd_); }
  void Send(const std::string& bytes) {
    if (!platform::SendAll(fd_, bytes.data(), bytes.size()))
      throw std::runtime_error("send failed");
  }
  // Adds what one read brings within the time to the pending bytes; false on
  // timeout or end.
  bool Receive(long timeout_ms) {
    bool ready = false;
    if (closed_ ||
        platform::WaitReadable(&fd_, &ready, 1, static_cast<int>(std::max(0L, timeout_ms))) <= 0)
      return false;
    char buf[65536];
    const long n = platform::Receive(fd_, buf, sizeof buf);
    if (n > 0) pending_.append(buf, static_cast<std::size_t>(n));
    closed_ = n <= 0;
    return !closed_;
  }
  // Everything up to and including the next '\n'; nullopt when it does not come in time.
  std::string ReadLine(int timeout_ms = 3000) {
    const auto start = Clock::now();
    std::size_t nl;
    while ((nl = pending_.find('\n')) == std::string::npos)
      if (!Receive(timeout_ms - MsSince(start))) return "";
    std::string line = pending_.substr(0, nl + 1);
    pending_.erase(0, nl + 1);
    return line;
  }
  // The next `n` bytes, or fewer when the connection closes or they do not
  // come in time.
  std::string Take(std::size_t n, int timeout_ms = 3000) {
    const auto start = Clock::now();
    while (pending_.size() < n && Receive(timeout_ms - MsSince(start))) continue;
    std::string bytes = pending_.substr(0, n);
    pending_.erase(0, bytes.size());
    return bytes;
  }
  // The reply line to one request without its (assumed) CR LF; "" when none came.
  std::string Ask(const std::string& request) {
    Send(request + "\r\n");
    const std::string line = ReadLine();
    return line.substr(0, std::max<std::size_t>(line.size(), 2) - 2);
  }
  // True when the simulator closes the connection within the time.
  bool WaitClosed(int timeout_ms) {
    while (!ReadLine(timeout_ms).empty()) continue;
    return closed_;
  }

 private:
  platform::Socket fd_;
  std::string pending_;
  bool closed_ = false;
};

#ifndef _WIN32
// Starts the built program with `args` under a shell that prints its pid
// first and then becomes the program (same pid); returns the pid and the
// program's stdout and stderr (`args` may send stderr elsewhere: "2>FILE").
inline std::pair<pid_t, std::FILE*> Spawn(const std::string& args) {
  std::FILE* out = ::popen(("echo $$; exec " KESTREL_SIM_PATH " 2>&1 " + args).c_str(), "r");
  pid_t pid = -1;
  if (out == nullptr || std::fscanf(out, "%d\n", &pid) != 1) throw std::runtime_error("popen");
  return {pid, out};
}

// Exit code (128 + signal when killed); -1 when it does not end within 5 s.
inline int WaitExit(pid_t pid) {
  int status = 0;
  for (const auto start = Clock::now(); MsSince(start) < 5000;
       std::this_thread::sleep_for(std::chrono::milliseconds(5)))
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}
#endif

}  // namespace kestrel::sim

#endif  // KESTREL_TESTS_TOOLS_SIM_CLIENT_H
