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

// A server the benchmarks start as a child process, ended (SIGTERM, then
// SIGKILL after two seconds) with this object or the program:
// - the reply server: the tools' server with pre-built reply bytes, each
//   connection on a thread of its own; per request one recv and one send (a
//   request that arrives in pieces takes one recv per piece); a command word
//   not in the table gets "<WORD,NG,unknown>"; it keeps to the machine's last
//   CPU. Start it while the program has no other thread.
// - the simulator, with --port 0 and `extra` arguments; the port is taken
//   from its first line of output, and with --http the control plane's port
//   from its second.
class ChildServer {
 public:
  ChildServer() = default;
  ~ChildServer() { Stop(); }
  ChildServer(const ChildServer&) = delete;
  ChildServer& operator=(const ChildServer&) = delete;

  // False (with `why`) when the server does not start.
  bool StartReplies(const ReplyTable& replies, std::string& why);
  bool StartSimulator(const std::string& path, const std::vector<std::string>& extra,
                      std::string& why);
  void Stop();
  int port() const { return port_; }
  int http_port() const { return http_port_; }
  pid_t pid() const { return pid_; }

  // Serves `replies` on a free port in the calling process until killed (for
  // an outside measurement, e.g. under strace, of a client whose server must
  // not be traced).
  [[noreturn]] static void ServeHere(const ReplyTable& replies);
  // Whether the reply server keeps to the last CPU (the default; see servers.cpp).
  static bool hold_on_one_cpu;

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  int http_port_ = 0;
  int out_ = -1;  // its standard output
};

// A browser's console left open: reads the control plane's journal stream on
// 127.0.0.1:`http_port` on a thread of its own, as fast as it comes, until
// destroyed. `bytes()` tells how much it has read.
class StreamReader {
 public:
  explicit StreamReader(int http_port);
  ~StreamReader();
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;
  bool connected() const { return fd_ >= 0; }
  long long bytes() const;

 private:
  struct State;
  int fd_ = -1;
  std::unique_ptr<State> state_;
};

// A server in this process that never answers: connects succeed and nothing
// ever comes back. Null (with `why`) when it cannot listen.
std::unique_ptr<kestrel::wire::Server> StartSilentServer(std::string& why);

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
