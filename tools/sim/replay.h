// Replay of a recorded session, as a server's responder: each request line is
// answered with what the recorded server did for the same bytes. The n-th
// occurrence of a request gets the answer recorded for its n-th occurrence; a
// request with no recorded answer left is a divergence, answered
// "<WORD,NG,no recorded reply>".
#ifndef KESTREL_SIM_REPLAY_H
#define KESTREL_SIM_REPLAY_H

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "trace/trace.h"
#include "wire/server.h"

namespace kestrel::sim {

class Replay : public wire::Responder {
 public:
  // `fast`: every recorded wait is left out.
  Replay(std::vector<trace::Exchange> exchanges, bool fast);

  // What the server did on the next connection before any request (the
  // recorded connections taken in order).
  wire::ReplyPlan Greet(wire::Connection& conn) override;
  // The answer recorded for the next occurrence of `line`.
  wire::ReplyPlan Answer(wire::Connection& conn, std::string_view line) override;
  void Played(wire::Connection& conn) override;

  // Every recorded answer has been served, or a client came and none is
  // connected any more.
  bool Finished(int active_connections) const;
  // Requests without an answer, or recorded answers never asked for.
  bool Diverged() const;
  // Requests replayed, divergences (the first few named) and recorded
  // answers left unused, on a few lines.
  std::string Summary() const;

 private:
  static constexpr std::size_t kNamed = 5;  // divergences and unused answers listed

  const std::vector<trace::Exchange> exchanges_;
  const bool fast_;
  mutable std::mutex mu_;
  // Per request bytes, the indexes of its recorded exchanges in order, and
  // how many were taken.
  std::map<std::string, std::pair<std::vector<std::size_t>, std::size_t>, std::less<>> answers_;
  std::vector<std::size_t> greetings_;
  std::size_t greeted_ = 0;
  std::size_t recorded_ = 0;  // exchanges with a request
  std::size_t taken_ = 0;
  std::size_t served_ = 0;
  std::size_t divergences_ = 0;
  std::vector<std::string> diverged_;  // the first few
};

}  // namespace kestrel::sim

#endif  // KESTREL_SIM_REPLAY_H
