// Fault injection: rules that make the simulator misbehave on purpose, so
// that integrators can exercise their error handling.
//
// A rule is written WORD[/K]:KIND[:ARG[:ARG]] where WORD is a command word or
// '*' for every request, and /K limits the rule to the first K requests that
// match it (counted over the whole server; for close-after, K counts the
// connections it closes). KIND is one of
//   delay:MS        reply normally, MS milliseconds late
//   silent          never answer this request (the connection stays open)
//   wrong-head[:H]  reply with the head H (default "WrongHead")
//   bad-type[:T]    reply with the type T instead of OK/NG (default "ERR")
//   ng[:MESSAGE]    reply "NG" with MESSAGE (default "injected failure");
//                   the message is the rest of the rule, colons included
//   unframed        reply without the '<' and '>' of the frame
//   oversized[:B]   a framed reply of B bytes, CR LF included (default 20000)
//   chunks:N:MS     the normal reply written in N pieces, MS milliseconds apart
//   close-after:N   close the connection once it has received (and handled)
//                   N matching requests
//   reset           no reply: the connection is closed with a TCP reset
//
// A rule is written in UTF-8; its texts go out in GBK, as a real server's
// would, and a text that GBK cannot hold is refused.
//
// A rule is a change of the plan the simulator made for a request (the
// reply line, its wait, the connection's ending), so the same rules can shape
// any plan whose first piece is a reply line: the recorder shapes the real
// server's replies with them.
#ifndef KESTREL_SIM_FAULTS_H
#define KESTREL_SIM_FAULTS_H

#include <atomic>
#include <cstddef>
#include <iosfwd>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "sim/protocol.h"
#include "wire/server.h"

namespace kestrel::sim {

// In the order of their names in faults.cpp.
enum class FaultKind {
  kDelay,
  kSilent,
  kWrongHead,
  kBadType,
  kNg,
  kUnframed,
  kOversized,
  kChunks,
  kCloseAfter,
  kReset,
};

struct Fault {
  std::string word;  // command word, or "*"
  int limit = 0;     // first `limit` matching requests only; 0: no limit
  FaultKind kind = FaultKind::kSilent;
  int ms = 0;           // delay, pause between chunks
  int count = 0;        // chunks, close-after requests, oversized bytes
  std::string text;     // wrong head, bad type, NG message: GBK, as sent
  std::string written;  // the rule as written (UTF-8)

  bool Matches(std::string_view head) const { return word == "*" || word == head; }
};

// Parses one rule; throws std::invalid_argument with a readable reason.
Fault ParseFault(std::string_view rule_text);

// A scenario: one rule per line; blank lines and lines whose first non-blank
// character is '#' are skipped. Throws std::invalid_argument naming `source`
// and the line number of a bad rule.
std::vector<Fault> ParseScenario(std::istream& in, std::string_view source);
std::vector<Fault> LoadScenario(const std::string& path);

// The active rules, shared by every connection of a server. Rules may be
// added and removed while requests are served (the control plane does).
class FaultPlan {
 public:
  // A rule as listed: numbered from 1 in the order added, never reused.
  struct Listed {
    long id = 0;
    std::string rule;  // as written
    int used = 0;      // uses counted against its limit
  };

  explicit FaultPlan(std::vector<Fault> faults = {});
  ~FaultPlan();

  bool empty() const { return count_.load() == 0; }

  // The reply rule (any kind but close-after) that applies to a request with
  // this head: the first in order that matches and has uses left. Uses one.
  std::optional<Fault> Take(std::string_view head);

  // Shapes `plan`, whose first piece is the reply line (with its CR LF) to a
  // request with command word `head` on `conn`: the first reply rule that
  // applies changes the reply, its wait or its ending, then the close-after
  // rules count the request for the connection and may end it. Returns the
  // rules that applied as written ("; " between two), "" for none.
  std::string Shape(wire::ReplyPlan& plan, std::string_view head, wire::Connection& conn) {
    return Shape(plan, head, head, conn);
  }
  // As above for a reply line that is not the simulator's own (the real
  // server's, relayed): `reply_head` is the head it carries ("" when it is
  // not framed), and it keeps the line end it came with. The kinds that
  // rewrite a head or a type leave a line without one as it is.
  std::string Shape(wire::ReplyPlan& plan, std::string_view head, std::string_view reply_head,
                    wire::Connection& conn);

  Listed Add(Fault fault);
  bool Remove(long id);
  void Clear();
  // Back to the rules the plan was made with, under new ids, unused.
  void Restore();
  std::vector<Listed> List() const;

 private:
  struct Rule;
  // With mu_ held (shared will do).
  Rule* TakeLocked(std::string_view head);
  void AddLocked(Fault fault);

  const std::vector<Fault> initial_;
  mutable std::shared_mutex mu_;
  std::vector<std::unique_ptr<Rule>> rules_;
  long next_id_ = 1;
  std::atomic<std::size_t> count_{0};
};

// The simulator as a server's responder: each request answered by the
// simulated vision server, its reply shaped by the fault rules.
class SimResponder : public wire::Responder {
 public:
  // Both must outlive the responder.
  SimResponder(Simulator& sim, FaultPlan& faults) : sim_(sim), faults_(faults) {}
  wire::ReplyPlan Answer(wire::Connection& conn, std::string_view line) override {
    return Answer(conn, line, nullptr);
  }

 protected:
  // As Answer; the rules that shaped the plan go to `rules` when given.
  wire::ReplyPlan Answer(wire::Connection& conn, std::string_view line, std::string* rules);

 private:
  Simulator& sim_;
  FaultPlan& faults_;
};

}  // namespace kestrel::sim

#endif  // KESTREL_SIM_FAULTS_H
