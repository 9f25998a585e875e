// Scripted fake vision server for the tests: real TCP on 127.0.0.1 (an
// ephemeral port), served by its own thread, one connection at a time. Each
// request line (ending in CR LF) is recorded without its CR LF, then answered
// by the next scripted step; with no step scripted the server stays silent.
#ifndef KESTREL_TEST_FAKE_SERVER_H
#define KESTREL_TEST_FAKE_SERVER_H

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace kestrel_test {

using kestrel::platform::kNoSocket;
using kestrel::platform::Socket;

class FakeServer {
 public:
  // The reaction to one request: chunks written `pause_ms` apart, then the
  // connection kept, closed or reset.
  struct Step {
    enum class End { kStay, kHangup, kReset };
    std::vector<std::string> chunks;
    int pause_ms = 0;
    End end = End::kStay;
  };
  // Sends exactly `bytes` (the test writes any "\r\n" itself).
  static Step Answer(std::string bytes) { return {{std::move(bytes)}}; }
  static Step Line(std::string text) { return Answer(text + "\r\n"); }
  static Step Chunks(std::vector<std::string> chunks, int pause_ms) {
    return {std::move(chunks), pause_ms};
  }
  static Step Hangup() { return {{}, 0, Step::End::kHangup}; }
  static Step AnswerThenHangup(std::string bytes) {
    return {{std::move(bytes)}, 0, Step::End::kHangup};
  }
  static Step Reset() { return {{}, 0, Step::End::kReset}; }  // the peer sees a reset

  // Throws std::runtime_error when it cannot listen.
  FakeServer();
  ~FakeServer();
  FakeServer(const FakeServer&) = delete;
  FakeServer& operator=(const FakeServer&) = delete;

  int port() const { return port_; }
  // Queues the reaction to the next request that has none yet.
  void Push(Step step);
  // Every request line received so far, in order, without CR LF.
  std::vector<std::string> requests() const;
  // True once `n` connections were accepted (the n-th only after the one
  // before it has closed), false after `timeout_ms`.
  bool WaitForConnections(int n, int timeout_ms) const;
  // Writes `bytes` to the current connection now (unsolicited), or to the
  // next one accepted within a few seconds. True once written.
  bool Send(const std::string& bytes);
  // Closes the current connection (waiting for one as Send does).
  bool Drop();
  // Keeps the connection but never reads again, so that a writer's bytes
  // pile up.
  void StopReading();

 private:
  void Run();
  void Serve(Socket conn);
  Socket Current(std::unique_lock<std::mutex>& lock);
  bool Pause(int ms);

  int port_ = 0;  // set by the listener's initialisation
  Socket listener_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool stop_ = false;
  bool reading_ = true;
  bool dropped_ = false;  // the current connection was shut down by Drop
  Socket conn_ = kNoSocket;
  std::deque<Step> steps_;
  std::vector<std::string> requests_;
  int sending_ = 0;  // Send calls writing to the current connection now
  int connections_ = 0;
  std::thread thread_;
};

}  // namespace kestrel_test

#endif  // KESTREL_TEST_FAKE_SERVER_H
