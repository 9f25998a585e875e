// The one server loop of the tools: accepts TCP connections on one IPv4
// address, serves each on a thread of its own, cuts what the client sends
// into request lines, asks a Responder what to do with each and plays the
// ReplyPlan it gets: pieces of bytes, each after a wait, then an ending. The
// simulator, the replay, the tests' scripted server and the benchmarks'
// servers are responders; the recorder instead relays each connection itself
// (a Relay), on the same accepting and stopping, and may play plans of its
// own to its client through the same player.
#ifndef KESTREL_WIRE_SERVER_H
#define KESTREL_WIRE_SERVER_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace kestrel::wire {

// Longest request line taken, line end included; a longer one is refused.
inline constexpr std::size_t kMaxLineBytes = 10240;

// What to send for one request.
struct ReplyPlan {
  enum class Ending {
    kStay,    // go on reading requests
    kClose,   // close the connection
    kReset,   // close it with a TCP reset
    kSilent,  // stop reading and answering; the connection stays open
  };
  struct Piece {
    int wait_ms = 0;  // before the piece is sent
    std::string bytes;
  };
  std::vector<Piece> pieces;
  Ending ending = Ending::kStay;
  int ending_wait_ms = 0;  // before the ending
  std::string note;        // for the log: what shaped the plan, if anything

  // `line` with CR LF, after `wait_ms`.
  static ReplyPlan Line(std::string_view line, int wait_ms = 0);
  static ReplyPlan Ended(Ending ending, int wait_ms = 0);
};

// One client connection, as the responder and the log see it.
struct Connection {
  long id = 0;         // from 1, in the order accepted
  std::string peer;    // "address:port"
  std::vector<int> counts;  // the responder's own tallies for this connection
};

class Responder {
 public:
  virtual ~Responder() = default;
  // What the server does when a connection opens, before any request.
  virtual ReplyPlan Greet(Connection&) { return {}; }
  // What it does with one request line (without its line end).
  virtual ReplyPlan Answer(Connection& conn, std::string_view line) = 0;
  // What it does with a line longer than the server takes, of which `head`
  // is the start: by default an NG naming the command word the head shows.
  virtual ReplyPlan Refuse(Connection& conn, std::string_view head);
  // A plan from Greet or Answer has been played to its end.
  virtual void Played(Connection&) {}
  // False makes the connection stop reading (its client's bytes pile up).
  virtual bool Reading(const Connection&) { return true; }
  // The connection has ended: no call for it follows. A plan cut short (the
  // peer left, the connection was dropped) has had no Played.
  virtual void Ended(Connection&) {}
};

// Plays a plan to a relayed connection's client as the server plays a
// responder's (its waits cut short by a stop or a drop); false when the
// connection is to end: the plan's ending says so, or it could not be played.
using Play = std::function<bool(const ReplyPlan& plan)>;

// Serves a whole connection itself (the recorder's relay): `client` is the
// connection's socket, `upstream` where it keeps a second socket that a stop
// must also wake, `stopping` is set when the server stops, `play` sends a
// plan to the client. Returns a note for the log.
using Relay = std::function<const char*(Connection& conn, platform::Socket client,
                                        std::atomic<platform::Socket>& upstream,
                                        const std::atomic<bool>& stopping, const Play& play)>;

// A line for the log: the connection, a mark ("<-" received, "->" sent, "--"
// an event) and the text.
using Log = std::function<void(long conn, std::string_view mark, std::string_view text)>;

struct ServerOptions {
  std::string address = "127.0.0.1";
  int port = 8000;           // 0: any free port
  int max_connections = 64;  // further connections are refused
  std::size_t max_line = kMaxLineBytes;  // longer request lines are refused
};

class Server {
 public:
  // `responder` (or the relay) must outlive the server. `log` may be empty.
  Server(Responder& responder, ServerOptions options, Log log = {});
  Server(Relay relay, ServerOptions options, Log log = {});
  // Stops the server if it still runs.
  ~Server();

  // Binds, listens and starts accepting. Throws std::runtime_error naming the
  // address and the reason when the socket cannot be set up.
  void Start();
  // Stops accepting, closes every connection (a reply being delayed is
  // dropped) and joins every thread. Safe to call more than once and from
  // any thread but a connection's own.
  void Stop();

  int port() const { return port_; }
  const std::string& address() const { return options_.address; }
  // Connections being served right now.
  int active_connections() const { return active_.load(); }
  // Connections accepted since the start.
  long accepted() const { return accepted_.load(); }

  // Writes `bytes` now to the latest connection still open; false when there
  // is none or the write failed.
  bool SendToLatest(std::string_view bytes);
  // Closes the latest connection still open; false when there is none.
  bool DropLatest();
  // The connections open right now, oldest first (id and peer only).
  std::vector<Connection> Connections();
  // Closes the open connection `id`; false when there is none.
  bool Drop(long id);

 private:
  struct Live;
  std::shared_ptr<Live> Latest();
  bool Drop(const std::shared_ptr<Live>& conn);
  void AcceptLoop();
  void Serve(Live& conn);
  const char* ServeLines(Live& conn);
  bool Play(Live& conn, const ReplyPlan& plan);
  // Waits `ms` (< 0: until the end); false when the server stops or the
  // connection is dropped meanwhile.
  bool Pause(const Live& conn, int ms);
  void Reap(bool all);
  void Note(long id, std::string_view mark, std::string_view text) const {
    if (log_) log_(id, mark, text);
  }

  Responder* responder_ = nullptr;
  Relay relay_;
  const ServerOptions options_;
  Log log_;

  platform::Socket listen_fd_ = platform::kNoSocket;
  std::unique_ptr<platform::Waker> waker_;  // wakes the accept loop
  int port_ = 0;
  std::thread accept_thread_;
  std::atomic<int> active_{0};
  std::atomic<long> accepted_{0};

  std::mutex conns_mu_;
  std::list<std::shared_ptr<Live>> conns_;

  mutable std::mutex stop_mu_;
  mutable std::condition_variable stop_cv_;
  bool stopping_ = false;
  std::atomic<bool> stop_flag_{false};
};

}  // namespace kestrel::wire

#endif  // KESTREL_WIRE_SERVER_H
