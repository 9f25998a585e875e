// A small vision server on 127.0.0.1 for the reliability tests and the soak
// program: it answers each request line through a handler, can be stopped
// and started again on the same port, and watches the wire: a request that
// arrives (even in part) before the previous one was answered counts as an
// overlap, a line the handler cannot parse as malformed.
#ifndef KESTREL_RELIABILITY_LOOPBACK_SERVER_H
#define KESTREL_RELIABILITY_LOOPBACK_SERVER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrel_reliability {

// What the server does with one request line.
struct Reaction {
  enum class Then {
    kKeep,   // keep the connection
    kClose,  // close it once `bytes` are written
    kReset,  // abort it (the client sees a reset) once `bytes` are written
    kFlood,  // write `bytes` again and again until the connection or the server stops
  };
  std::string bytes;  // written in one send
  Then then = Then::kKeep;
  bool malformed = false;  // the handler could not parse the request
};

// Answers "<GetReal,camera,x,y>" with "<GetReal,OK,X&Y>", X = 2x + 1 and
// Y = y - 3 in fixed notation with six decimals, and any other framed
// request "<WORD,...>" with "<WORD,OK,>". A line that is neither is answered
// "<Unknown,NG,bad request>" and marked malformed.
Reaction EchoReal(const std::string& line);
// The X and Y that EchoReal answers for the point (x, y).
inline double EchoX(double x) { return 2 * x + 1; }
inline double EchoY(double y) { return y - 3; }

class LoopbackServer {
 public:
  using Handler = std::function<Reaction(const std::string& line)>;

  struct Options {
    bool read = true;         // false: accept, but never read a byte
    int receive_buffer = 0;   // SO_RCVBUF of accepted connections (0: the system's)
    std::string unsolicited;  // written to every connection every `every_ms`
    int every_ms = 0;
  };

  // Listens on 127.0.0.1:`port` (0: a free port) and serves from its own
  // thread; throws std::runtime_error when it cannot listen.
  explicit LoopbackServer(Handler handler = EchoReal, int port = 0);
  LoopbackServer(Handler handler, Options options, int port = 0);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return port_; }
  // Closes the listening socket and every connection, and stops the thread.
  void Stop();
  // Listens again on the same port (after Stop); throws when it cannot.
  void Start();

  std::uint64_t requests() const { return requests_.load(); }
  std::uint64_t overlaps() const { return overlaps_.load(); }
  std::uint64_t malformed() const { return malformed_.load(); }
  std::uint64_t connections() const { return connections_.load(); }

 private:
  void Listen();
  void Run();
  // Serves what connection `fd` holds; false once it is gone.
  bool Serve(int fd, std::string& pending);
  bool SendAll(int fd, const std::string& bytes);

  Handler handler_;
  Options options_;
  int port_ = 0;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::atomic<std::uint64_t> requests_{0};
  std::atomic<std::uint64_t> overlaps_{0};
  std::atomic<std::uint64_t> malformed_{0};
  std::atomic<std::uint64_t> connections_{0};
};

}  // namespace kestrel_reliability

#endif  // KESTREL_RELIABILITY_LOOPBACK_SERVER_H
