// Scripted fake vision server for the tests: the tools' server loop on
// 127.0.0.1 (an ephemeral port) with a responder that records each request
// line and answers it with the next scripted plan; with no plan scripted it
// stays silent.
#ifndef KESTREL_TEST_FAKE_SERVER_H
#define KESTREL_TEST_FAKE_SERVER_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "wire/server.h"

namespace kestrel_test {

class FakeServer : private kestrel::wire::Responder {
 public:
  // The reaction to one request: pieces a pause apart, then the connection
  // kept, closed or reset.
  using Step = kestrel::wire::ReplyPlan;
  // Sends exactly `bytes` (the test writes any "\r\n" itself).
  static Step Answer(std::string bytes) { return Chunks({std::move(bytes)}, 0); }
  static Step Line(std::string text) { return Answer(text + "\r\n"); }
  static Step Chunks(std::vector<std::string> chunks, int pause_ms);
  static Step Hangup() { return Step::Ended(Step::Ending::kClose); }
  static Step AnswerThenHangup(std::string bytes) {
    Step step = Answer(std::move(bytes));
    step.ending = Step::Ending::kClose;
    return step;
  }
  static Step Reset() { return Step::Ended(Step::Ending::kReset); }  // the peer sees a reset

  // Throws std::runtime_error when it cannot listen.
  FakeServer();

  int port() const { return server_.port(); }
  // Queues the reaction to the next request that has none yet.
  void Push(Step step);
  // Every request line received so far, in order, without its line end.
  std::vector<std::string> requests() const;
  // True once `n` connections were accepted, false after `timeout_ms`.
  bool WaitForConnections(int n, int timeout_ms) const;
  // Writes `bytes` to the latest connection now (unsolicited), or to the
  // next one accepted within a few seconds. True once written.
  bool Send(const std::string& bytes);
  // Closes the latest connection (waiting for one as Send does).
  bool Drop();
  // Stops reading, so that a writer's bytes pile up.
  void StopReading() { reading_ = false; }

 private:
  Step Answer(kestrel::wire::Connection& conn, std::string_view line) override;
  bool Reading(const kestrel::wire::Connection&) override { return reading_; }
  // Waits until a connection is open; false after a few seconds.
  bool WaitForOne() const;

  mutable std::mutex mutex_;
  std::deque<Step> steps_;
  std::vector<std::string> requests_;
  std::atomic<bool> reading_{true};
  kestrel::wire::Server server_;  // stopped first: declared last
};

}  // namespace kestrel_test

#endif  // KESTREL_TEST_FAKE_SERVER_H
