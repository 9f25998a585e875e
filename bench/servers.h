// The servers the benchmarks talk to, all on 127.0.0.1, and the bare client
// that sets the floor.
#ifndef KESTREL_BENCH_SERVERS_H
#define KESTREL_BENCH_SERVERS_H

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kestrel::wire {
class Server;
}

namespace kbench {

// A framed reply line per command word, CR LF included.
using ReplyTable = std::vector<std::pair<std::string, std::string>>;

// The reply server: a child process forked from the benchmark program that
// runs the tools' server with pre-built reply bytes, each connection on a
// thread of its own. Per request it makes one recv and one send (a request
// that arrives in pieces takes one recv per piece). A request whose command
// word is not in the table gets "<WORD,NG,unknown>". The server keeps to the
// machine's last CPU. Start it while the program has no other thread.
class ReplyServer {
 public:
  ReplyServer() = default;
  ~ReplyServer() { Stop(); }
  ReplyServer(const ReplyServer&) = delete;
  ReplyServer& operator=(const ReplyServer&) = delete;

  // Forks the server; false (with `why`) when the socket cannot be set up.
  bool Start(const ReplyTable& replies, std::string& why);
  // Serves on a free port in the calling process until killed (for an
  // outside measurement, e.g. under strace, of a client whose server must
  // not be traced).
  [[noreturn]] static void ServeHere(const ReplyTable& replies);
  void Stop();
  int port() const { return port_; }
  pid_t pid() const { return pid_; }

  // Whether the server keeps to the last CPU (the default; see servers.cpp).
  static bool hold_on_one_cpu;

 private:
  int port_ = 0;
  pid_t pid_ = -1;
};

// A server that never answers: connects succeed and nothing ever comes back.
class SilentServer {
 public:
  SilentServer();
  ~SilentServer();
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  bool Start(std::string& why);
  int port() const { return port_; }

 private:
  std::unique_ptr<kestrel::wire::Server> server_;
  int port_ = 0;
};

// The simulator, run as a child process with --port 0 (and `extra`
// arguments); the port is taken from its first line of output.
class SimulatorProcess {
 public:
  SimulatorProcess() = default;
  ~SimulatorProcess() { Stop(); }
  SimulatorProcess(const SimulatorProcess&) = delete;
  SimulatorProcess& operator=(const SimulatorProcess&) = delete;
  bool Start(const std::string& path, const std::vector<std::string>& extra, std::string& why);
  void Stop();
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// The floor: a bare blocking TCP client with TCP_NODELAY that sends given
// request bytes and reads a known number of reply bytes, parsing nothing.
class BareClient {
 public:
  BareClient() = default;
  ~BareClient();
  BareClient(const BareClient&) = delete;
  BareClient& operator=(const BareClient&) = delete;
  bool Connect(int port);
  // Sends `request` (CR LF included), then reads until `reply_size` bytes
  // have come; true when they have and the last two are CR LF.
  bool RoundTrip(const std::string& request, std::size_t reply_size);

 private:
  int fd_ = -1;
  std::vector<char> buffer_ = std::vector<char>(64 * 1024);
};

}  // namespace kbench

#endif  // KESTREL_BENCH_SERVERS_H
