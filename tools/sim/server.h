// The simulator's TCP server: accepts connections on one IPv4 address and
// serves each on a thread of its own, one request line after the other,
// through the Simulator and the fault rules. Its sockets are the tools'
// socket seam (platform/socket.h).
#ifndef KESTREL_SIM_SERVER_H
#define KESTREL_SIM_SERVER_H

#include <atomic>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/socket.h"
#include "sim/faults.h"
#include "sim/protocol.h"
#include "sim/request_log.h"

namespace kestrel::trace {
struct Exchange;
}

namespace kestrel::sim {

class Recorder;
class Replay;

struct ServerOptions {
  std::string address = "127.0.0.1";
  int port = 8000;           // 0: any free port
  int max_connections = 64;  // further connections are refused
};

class Server {
 public:
  // `sim`, `faults` and `log` (may be null) must outlive the server.
  Server(Simulator& sim, FaultPlan& faults, RequestLog* log, ServerOptions options);
  // Stops the server if it still runs.
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // The other modes, chosen before Start(): answers from a recorded session
  // instead of the simulator and the fault rules, or each connection relayed
  // to the real server through the recorder. Both must outlive the server.
  void UseReplay(Replay* replay) { replay_ = replay; }
  void UseRecorder(Recorder* recorder) { recorder_ = recorder; }

  // Binds, listens and starts accepting. Throws std::runtime_error naming the
  // address and the reason when the socket cannot be set up.
  void Start();
  // Stops accepting, closes every connection (a reply being delayed is
  // dropped) and joins every thread. Safe to call more than once and from
  // any thread but a connection's own.
  void Stop();

  // The port listened on (the chosen one when started with port 0).
  int port() const { return port_; }
  const std::string& address() const { return options_.address; }
  // Connections being served right now.
  int active_connections() const { return active_.load(); }

 private:
  struct Connection {
    platform::Socket fd = platform::kNoSocket;
    std::atomic<platform::Socket> upstream{platform::kNoSocket};  // the recorder's to the server
    long id = 0;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void AcceptLoop();
  void Serve(Connection& conn);
  // Serves request lines until the connection is to be closed; returns why.
  const char* ServeLines(Connection& conn);
  // Answers one request line; false when the connection is to be closed.
  bool Respond(Connection& conn, std::string_view line, Request& req, std::string& reply,
               std::vector<int>& close_counts);
  // Sends what the recorded server did: its lines after their waits, then
  // its close. False when the connection is to be closed.
  bool Play(Connection& conn, const trace::Exchange& recorded);
  // Refuses an over-long request line whose first bytes are `start`.
  bool RefuseLong(Connection& conn, std::string_view start);
  // Waits `ms` milliseconds; false when the server stops meanwhile.
  bool Pause(int ms);
  void Reap(bool all);
  void Wake();
  void Log(long id, std::string_view mark, std::string_view text) {
    if (log_ != nullptr) log_->Write(id, mark, text);
  }

  Simulator& sim_;
  FaultPlan& faults_;
  RequestLog* log_;
  const ServerOptions options_;
  Replay* replay_ = nullptr;
  Recorder* recorder_ = nullptr;

  platform::Socket listen_fd_ = platform::kNoSocket;
  std::unique_ptr<platform::Waker> waker_;  // wakes the accept loop
  int port_ = 0;
  std::thread accept_thread_;
  std::atomic<int> active_{0};
  long next_id_ = 1;

  std::mutex conns_mu_;
  std::list<Connection> conns_;

  std::mutex stop_mu_;
  std::condition_variable stop_cv_;
  bool stopping_ = false;
  std::atomic<bool> stop_flag_{false};
};

}  // namespace kestrel::sim

#endif  // KESTREL_SIM_SERVER_H
