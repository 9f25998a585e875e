// What the tool tests share: a bare client socket that sees exactly the
// bytes a server writes, the built kestrel-sim program started and waited
// for, and the built kestrel client run to its end.
#ifndef KESTREL_TESTS_TOOLS_SIM_CLIENT_H
#define KESTREL_TESTS_TOOLS_SIM_CLIENT_H

#include <gtest/gtest.h>

#ifdef _WIN32
#include "host/win32.h"
#include <process.h>  // getpid
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <memory>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "sim/recorder.h"
#include "sim/replay.h"
#include "sim/faults.h"
#include "wire/server.h"

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
    EXPECT_TRUE(platform::SendAll(fd_, bytes.data(), bytes.size()));
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
  // The next `n` bytes, or with `n` 0 everything up to and including the next
  // '\n'; what came when the connection closes or the time runs out first
  // (for a line: "").
  std::string Take(std::size_t n = 0, int timeout_ms = 3000) {
    const auto start = Clock::now();
    const auto whole = [&] { return n ? pending_.size() >= n : pending_.find('\n') != npos; };
    while (!whole() && Receive(timeout_ms - MsSince(start))) continue;
    const std::string bytes = pending_.substr(0, n ? n : pending_.find('\n') + 1);
    pending_.erase(0, bytes.size());
    return bytes;
  }
  // The reply line to one request without its (assumed) CR LF; "" when none came.
  std::string Ask(const std::string& request) {
    Send(request + "\r\n");
    const std::string line = Take();
    return line.substr(0, std::max<std::size_t>(line.size(), 2) - 2);
  }
  // True when the simulator closes the connection within the time.
  bool WaitClosed(int timeout_ms) {
    while (!Take(0, timeout_ms).empty()) continue;
    return closed_;
  }

 private:
  static constexpr std::size_t npos = std::string::npos;
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
// listens on (`args` may send stderr elsewhere: "2>FILE"). A program that
// does not stop is ended by the test's own time limit.
inline Spawned Spawn(const std::string& args) {
  const std::string command = "echo $$; exec " KESTREL_SIM_PATH " 2>&1 " + args;
  std::FILE* out = ::popen(command.c_str(), "r");
  Spawned s{-1, out, 0};
  if (out == nullptr || std::fscanf(out, "%d\n", &s.pid) != 1) throw std::runtime_error("popen");
  if (std::fscanf(out, "kestrel-sim listening on 127.0.0.1:%d", &s.port) != 1) {
    ::kill(s.pid, SIGKILL);
    throw std::runtime_error("kestrel-sim does not listen");
  }
  return s;
}

// Waits for the spawned program to end: its exit code, -1 when killed.
inline int WaitExit(const Spawned& s) {
  const int status = ::pclose(s.out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

// The simulator served in process on a free port of 127.0.0.1, with fault
// rules, or relaying through a recorder, or answering from a replay.
struct SimOnPort {
  explicit SimOnPort(std::vector<Fault> faults = {}, SimConfig config = {},
                     Recorder* recorder = nullptr, Replay* replay = nullptr)
      : model(config), plan(std::move(faults)), responder(model, plan),
        server(recorder != nullptr ? std::make_unique<wire::Server>(
                                         [recorder](auto&&... relay) {
                                           return recorder->Relay(relay...);
                                         },
                                         kLoopback)
               : replay != nullptr ? std::make_unique<wire::Server>(*replay, kLoopback)
                                   : std::make_unique<wire::Server>(responder, kLoopback)) {
    server->Start();
  }
  int port() const { return server->port(); }

  static inline const wire::ServerOptions kLoopback{"127.0.0.1", 0, 64};
  Simulator model;
  FaultPlan plan;
  SimResponder responder;
  std::unique_ptr<wire::Server> server;  // stopped first
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
#ifdef _WIN32
  // As a person types it: the program reads its wide command line as UTF-8.
  std::wstring wide(command.size() + 1, L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, command.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  CliRun run{code(::_wsystem(wide.c_str())), Slurp(io + "out"), Slurp(io + "err")};
#else
  CliRun run{code(std::system(command.c_str())), Slurp(io + "out"), Slurp(io + "err")};
#endif
#ifdef _WIN32
  // Standard output and error are text streams: each line ends in CR LF there.
  for (std::string* text : {&run.out, &run.err})
    *text = std::regex_replace(*text, std::regex("\r\n"), "\n");
#endif
  return run;
}

}  // namespace kestrel::sim

#endif  // KESTREL_TESTS_TOOLS_SIM_CLIENT_H
