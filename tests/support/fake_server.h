// Scripted fake vision server for the tests: real TCP on 127.0.0.1 (an
// ephemeral port), served by its own thread, one connection at a time. Each
// request line (ending in CR LF) is recorded without its CR LF, then answered
// by the next scripted step; with no step scripted the server stays silent.
#ifndef KESTREL_TEST_FAKE_SERVER_H
#define KESTREL_TEST_FAKE_SERVER_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrel_test {

class FakeServer {
 public:
  // The reaction to one request.
  struct Step {
    enum class Kind { kSend, kSilence, kHangup, kReset };
    Kind kind = Kind::kSilence;
    std::vector<std::string> chunks;  // kSend: written one after the other
    int delay_ms = 0;                 // kSend: wait before the first chunk
    int pause_ms = 0;                 // kSend: wait between chunks
    bool hangup_after = false;        // kSend: close once everything is sent
  };

  // Sends exactly `bytes` (the test writes any "\r\n" itself) after `delay_ms`.
  static Step Answer(std::string bytes, int delay_ms = 0);
  // Sends `text` followed by "\r\n" after `delay_ms`.
  static Step Line(std::string text, int delay_ms = 0);
  // Sends each chunk as its own write, `pause_ms` apart.
  static Step Chunks(std::vector<std::string> chunks, int pause_ms);
  // Closes the connection on this request.
  static Step Hangup();
  // Sends `bytes`, then closes the connection.
  static Step AnswerThenHangup(std::string bytes);
  // Aborts the connection (the peer sees a reset).
  static Step Reset();

  // Listens on 127.0.0.1 with an ephemeral port; throws std::runtime_error
  // when that fails.
  FakeServer();
  // Stops the server thread and closes every socket.
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  int port() const { return port_; }

  // Queues the reaction to the next request that has none yet.
  void Push(Step step);
  // Every request line received so far, in order, without CR LF.
  std::vector<std::string> requests() const;
  // Connections accepted so far.
  int connections() const;
  // True once `n` connections were accepted, false after `timeout_ms`. Since
  // one connection is served at a time, the n-th is accepted only after the
  // one before it has closed.
  bool WaitForConnections(int n, int timeout_ms) const;

  // Writes `bytes` to the current connection now (unsolicited); when there is
  // none yet, to the next one accepted. True once written; false when the
  // write failed or no connection came within a few seconds.
  bool Send(std::string bytes);
  // Closes the current connection now (waiting for one as Send does).
  bool Drop();
  // Keeps accepting but never reads again, so that a writer's bytes pile up.
  void StopReading();

 private:
#ifdef _WIN32
  using Socket = std::uintptr_t;  // a Winsock SOCKET
#else
  using Socket = int;  // a file descriptor
#endif
  static constexpr Socket kNoSocket = static_cast<Socket>(-1);

  struct Action {
    std::uint64_t ticket;
    bool drop;
    std::string bytes;
  };

  void Run();
  void Wake();
  bool RunAction(Socket* conn, const Action& action);
  bool ReadRequests(Socket* conn, std::string* pending);
  void Perform(Socket* conn, const Step& step);
  bool Pause(int ms);
  bool SendAll(Socket fd, const std::string& bytes);
  bool Submit(bool drop, std::string bytes);

  Socket listen_fd_ = kNoSocket;
  Socket wake_[2] = {kNoSocket, kNoSocket};  // wake_[1] wakes the thread waiting on wake_[0]
  int port_ = 0;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stop_ = false;
  bool reading_ = true;
  std::deque<Step> steps_;
  std::vector<std::string> requests_;
  int connections_ = 0;
  std::deque<Action> actions_;
  std::uint64_t next_ticket_ = 0;
  std::map<std::uint64_t, bool> results_;

  std::thread thread_;
};

}  // namespace kestrel_test

#endif  // KESTREL_TEST_FAKE_SERVER_H
