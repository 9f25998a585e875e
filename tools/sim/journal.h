// The journal: one entry per exchange the simulator served, in a bounded
// ring that the control plane reads and streams. Serving threads append
// without ever waiting for a reader, and without allocating once the ring is
// full: entries are copied into slots that keep their capacity. A stream
// subscriber is a position in the ring; one that falls a whole ring behind
// loses entries and is told how many.
#ifndef KESTREL_SIM_JOURNAL_H
#define KESTREL_SIM_JOURNAL_H

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/faults.h"
#include "wire/server.h"

namespace kestrel::sim {

struct Exchange {
  long seq = 0;          // from 1, never reused (a clear keeps counting)
  std::int64_t us = 0;   // when the request came, since the journal began
  long conn = 0;
  std::string request;   // as received (GBK), without line end
  std::optional<std::string> reply;  // as sent, without line end; none when nothing was
  std::string outcome;   // OK, NG, unframed, bad-type, wrong-head, oversized,
                         // silent, closed, reset, abandoned
  std::optional<double> latency_ms;  // request received to reply sent
  std::string fault;     // the rules that applied as written; "" none
  // Relayed: the real server's reply line when a fault changed what the
  // client got; none otherwise.
  std::optional<std::string> server_reply;
};

// The entry of an exchange: `request` (without line end) came at `received`
// on `conn` and is answered by `plan`, which the rules `rules` shaped.
Exchange Entry(std::chrono::steady_clock::time_point start, long conn, std::string_view request,
               const wire::ReplyPlan& plan, std::string rules,
               std::chrono::steady_clock::time_point received);
// Its plan was played: the latency, when there was a reply.
void SetLatency(Exchange& e, std::chrono::steady_clock::time_point received);

class Journal {
 public:
  static constexpr std::size_t kMaxSubscribers = 8;
  // Most entries one Wait gives; the rest come with the next.
  static constexpr std::size_t kBatch = 1000;

  explicit Journal(std::size_t capacity);

  std::chrono::steady_clock::time_point start() const { return start_; }

  // Numbers a copy of `e` and keeps it, dropping the oldest entry when full.
  void Append(const Exchange& e);
  void Clear();

  struct Page {
    long next = 1;  // where the next read starts
    std::vector<Exchange> entries;
  };
  // Up to `limit` entries from sequence number `since` on.
  Page Since(long since, std::size_t limit) const;

  // Live entries for one stream: Subscribe gives a subscriber id (0 when
  // there are kMaxSubscribers already); Wait gives what came since the last
  // call (at most kBatch), waiting up to `wait` for something.
  struct Batch {
    std::vector<Exchange> entries;
    long missed = 0;      // entries the ring dropped before this subscriber read them
    bool closed = false;  // the journal is shutting down: end the stream
  };
  long Subscribe();
  Batch Wait(long subscriber, std::chrono::milliseconds wait);
  void Unsubscribe(long subscriber);
  // Ends every stream (on shutdown).
  void CloseStreams();

 private:
  // The slot of entry `seq`.
  Exchange& Slot(long seq) { return ring_[static_cast<std::size_t>(seq - 1) % capacity_]; }
  // The oldest entry the ring still holds, whether or not it was cleared.
  long Oldest() const { return std::max(1L, next_seq_ - static_cast<long>(ring_.size())); }

  const std::size_t capacity_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  mutable std::mutex mu_;
  std::condition_variable arrived_;
  std::vector<Exchange> ring_;  // grows to capacity_, then entry seq is at (seq - 1) % capacity_
  long next_seq_ = 1;
  long first_seq_ = 1;              // the oldest entry not cleared
  std::map<long, long> subscribers_;  // id to the next entry it reads
  long next_subscriber_ = 1;
  int waiting_ = 0;                 // subscribers inside Wait
  bool closed_ = false;
};

// The simulator's responder that also writes each exchange to a journal,
// once its reply has been sent: the journal never delays a reply.
class JournaledResponder : public SimResponder {
 public:
  // All must outlive the responder.
  JournaledResponder(Simulator& sim, FaultPlan& faults, Journal& journal)
      : SimResponder(sim, faults), journal_(journal) {}

  wire::ReplyPlan Answer(wire::Connection& conn, std::string_view line) override;
  wire::ReplyPlan Refuse(wire::Connection& conn, std::string_view head) override;
  void Played(wire::Connection& conn) override;
  void Ended(wire::Connection& conn) override;

 private:
  // Opens the connection's pending entry for `plan`.
  void Open(wire::Connection& conn, std::string_view request, const wire::ReplyPlan& plan,
            std::string rules);
  Journal& journal_;
};

}  // namespace kestrel::sim

#endif  // KESTREL_SIM_JOURNAL_H
