// What the tool tests share: a bare client socket that sees exactly the
// bytes a server writes, the built kestrel-sim program started and waited
// for, and the built kestrel client run to its end.
#ifndef KESTREL_TESTS_TOOLS_SIM_CLIENT_H
#define KESTREL_TESTS_TOOLS_SIM_CLIENT_H

#include <gtest/gtest.h>

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
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/socket.h"
#include "sim/server.h"

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
// The built program as a process of its own, stopped with signals: POSIX only.
struct Spawned {
  pid_t pid;
  std::FILE* out;  // the program's stdout and stderr after its first line
  int port;
};

// Starts the built program with `args` under a shell that prints its pid
// first and then becomes the program (same pid), and reads the port it
// listens on (`args` may send stderr elsewhere: "2>FILE").
inline Spawned Spawn(const std::string& args) {
  std::FILE* out = ::popen(("echo $$; exec " KESTREL_SIM_PATH " 2>&1 " + args).c_str(), "r");
  Spawned s{-1, out, 0};
  if (out == nullptr || std::fscanf(out, "%d\n", &s.pid) != 1) throw std::runtime_error("popen");
  if (std::fscanf(out, "kestrel-sim listening on 127.0.0.1:%d", &s.port) != 1) {
    ::kill(s.pid, SIGKILL);
    throw std::runtime_error("kestrel-sim does not listen");
  }
  return s;
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

// The simulator served in process on a free port of 127.0.0.1, with fault rules.
struct SimOnPort {
  explicit SimOnPort(const std::vector<std::string>& rules = {}, SimConfig config = {})
      : model(config), plan([&] {
          std::vector<Fault> faults;
          for (const auto& r : rules) faults.push_back(ParseFault(r));
          return faults;
        }()) {
    server.Start();
  }
  int port() const { return server.port(); }

  Simulator model;
  FaultPlan plan;
  Server server{model, plan, nullptr, {"127.0.0.1", 0, 64}};  // stopped first
};

inline std::string Slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// A path of its own for each file of each test process (CTest runs the
// cases in parallel processes).
inline std::string TempFile(const std::string& name) {
  static int files = 0;
  return testing::TempDir() + "tools_" + std::to_string(::getpid()) + "_" +
         std::to_string(++files) + "_" + name;
}

struct CliRun {
  int code;
  std::string out, err;
};

// Runs the built `kestrel` with `args`, `input` on its standard input.
inline CliRun RunCli(const std::vector<std::string>& args, const std::string& input = "") {
  const std::string io = TempFile("cli_");
  std::ofstream(io + "in") << input;
#ifdef _WIN32
  // cmd.exe: double quotes, and the whole line quoted once more, since it
  // drops the first and the last quote; system() gives the exit code.
  const std::string q = "\"";
  const auto code = [](int status) { return status; };
#else
  const std::string q = "'";
  const auto code = [](int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; };
#endif
  std::string command = q + KESTREL_CLI_PATH + q;
  for (const std::string& a : args) command += " " + q + a + q;
  command += " <" + q + io + "in" + q + " >" + q + io + "out" + q + " 2>" + q + io + "err" + q;
#ifdef _WIN32
  command = q + command + q;
#endif
  CliRun run{code(std::system(command.c_str())), Slurp(io + "out"), Slurp(io + "err")};
#ifdef _WIN32
  // Standard output and error are text streams: each line ends in CR LF there.
  for (std::string* text : {&run.out, &run.err})
    *text = std::regex_replace(*text, std::regex("\r\n"), "\n");
#endif
  return run;
}

}  // namespace kestrel::sim

#endif  // KESTREL_TESTS_TOOLS_SIM_CLIENT_H
