#include "sim/journal.h"

#include <algorithm>
#include <utility>

namespace kestrel::sim {

Journal::Journal(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {}

void Journal::Append(const Exchange& e) {
  bool wake = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const long seq = next_seq_++;
    if (ring_.size() < capacity_) ring_.emplace_back();
    Exchange& slot = Slot(seq);
    // Assigned member by member, so that the slot's strings keep their room.
    slot.seq = seq;
    slot.us = e.us;
    slot.conn = e.conn;
    slot.request.assign(e.request);
    if (e.reply) {
      if (!slot.reply) slot.reply.emplace();
      slot.reply->assign(*e.reply);
    } else {
      slot.reply.reset();
    }
    slot.server_reply = e.server_reply;
    slot.outcome.assign(e.outcome);
    slot.latency_ms = e.latency_ms;
    slot.fault.assign(e.fault);
    first_seq_ = std::max(first_seq_, Oldest());
    wake = waiting_ > 0;
  }
  if (wake) arrived_.notify_all();
}

void Journal::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  first_seq_ = next_seq_;
}

Journal::Page Journal::Since(long since, std::size_t limit) const {
  Page page;
  std::lock_guard<std::mutex> lock(mu_);
  long seq = std::max(since, first_seq_);
  for (; seq < next_seq_ && page.entries.size() < limit; ++seq)
    page.entries.push_back(ring_[static_cast<std::size_t>(seq - 1) % capacity_]);
  page.next = page.entries.empty() ? next_seq_ : seq;
  return page;
}

long Journal::Subscribe() {
  std::lock_guard<std::mutex> lock(mu_);
  if (closed_ || subscribers_.size() >= kMaxSubscribers) return 0;
  subscribers_[next_subscriber_] = next_seq_;
  return next_subscriber_++;
}

Journal::Batch Journal::Wait(long subscriber, std::chrono::milliseconds wait) {
  Batch batch;
  std::unique_lock<std::mutex> lock(mu_);
  const auto it = subscribers_.find(subscriber);
  if (it == subscribers_.end()) {
    batch.closed = true;
    return batch;
  }
  long& next = it->second;
  ++waiting_;
  arrived_.wait_for(lock, wait, [&] { return closed_ || next < next_seq_; });
  --waiting_;
  batch.closed = closed_;
  if (next < Oldest()) batch.missed = Oldest() - std::exchange(next, Oldest());
  next = std::max(next, first_seq_);  // cleared entries are not sent
  for (; next < next_seq_ && batch.entries.size() < kBatch; ++next)
    batch.entries.push_back(Slot(next));
  return batch;
}

void Journal::Unsubscribe(long subscriber) {
  std::lock_guard<std::mutex> lock(mu_);
  subscribers_.erase(subscriber);
}

void Journal::CloseStreams() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
  }
  arrived_.notify_all();
}

namespace {

using Clock = std::chrono::steady_clock;

// The exchange a connection's thread has under way: opened when the request
// is answered, appended once its plan is played (or the connection ends).
struct Pending {
  bool open = false;
  Exchange entry;
  Clock::time_point received;
};
thread_local Pending pending;

// The command word of a framed line ("" when there is none).
std::string_view WordOf(std::string_view line) {
  if (line.size() < 2 || line.front() != '<') return {};
  return line.substr(1, line.find_first_of(",>") - 1);
}

// What became of a request whose reply line (if any) is `reply`.
std::string OutcomeOf(std::string_view request, const std::optional<std::string>& reply,
                      wire::ReplyPlan::Ending ending) {
  using Ending = wire::ReplyPlan::Ending;
  if (ending == Ending::kReset) return "reset";
  if (ending == Ending::kClose) return "closed";
  if (!reply) return "silent";
  const std::string& line = *reply;
  if (line.size() < 2 || line.front() != '<' || line.back() != '>') return "unframed";
  if (line.size() + 2 > wire::kMaxLineBytes) return "oversized";
  const std::string_view head = WordOf(line);
  const std::string_view word = WordOf(request);
  if (!word.empty() && head != word && head != kUnknownHead) return "wrong-head";
  const std::size_t type_at = head.size() + 2;
  const std::string_view type =
      std::string_view(line).substr(type_at, line.find_first_of(",>", type_at) - type_at);
  return type == "OK" || type == "NG" ? std::string(type) : "bad-type";
}

// Fills `e` in place, so that a connection's pending entry keeps the room of
// its strings from one exchange to the next.
void Fill(Exchange& e, Clock::time_point start, long conn, std::string_view request,
          const wire::ReplyPlan& plan, std::string rules, Clock::time_point received) {
  e.us = std::chrono::duration_cast<std::chrono::microseconds>(received - start).count();
  e.conn = conn;
  e.request.assign(request);
  if (plan.pieces.empty()) {
    e.reply.reset();
  } else {
    std::string& sent = e.reply ? *e.reply : e.reply.emplace();
    sent.clear();
    for (const auto& piece : plan.pieces) sent += piece.bytes;
    while (!sent.empty() && (sent.back() == '\n' || sent.back() == '\r')) sent.pop_back();
  }
  e.server_reply.reset();
  e.outcome = OutcomeOf(request, e.reply, plan.ending);
  e.latency_ms.reset();
  e.fault = std::move(rules);
}

}  // namespace

Exchange Entry(Clock::time_point start, long conn, std::string_view request,
               const wire::ReplyPlan& plan, std::string rules, Clock::time_point received) {
  Exchange e;
  Fill(e, start, conn, request, plan, std::move(rules), received);
  return e;
}

void SetLatency(Exchange& e, Clock::time_point received) {
  if (e.reply)
    e.latency_ms = std::chrono::duration<double, std::milli>(Clock::now() - received).count();
}

void JournaledResponder::Open(wire::Connection& conn, std::string_view request,
                              const wire::ReplyPlan& plan, std::string rules) {
  pending.open = true;
  pending.received = Clock::now();
  Fill(pending.entry, journal_.start(), conn.id, request, plan, std::move(rules),
       pending.received);
}

wire::ReplyPlan JournaledResponder::Answer(wire::Connection& conn, std::string_view line) {
  std::string rules;
  wire::ReplyPlan plan = SimResponder::Answer(conn, line, &rules);
  Open(conn, line, plan, std::move(rules));
  return plan;
}

wire::ReplyPlan JournaledResponder::Refuse(wire::Connection& conn, std::string_view head) {
  wire::ReplyPlan plan = SimResponder::Refuse(conn, head);
  Open(conn, head, plan, {});
  return plan;
}

void JournaledResponder::Played(wire::Connection&) {
  if (!pending.open) return;  // a greeting
  pending.open = false;
  SetLatency(pending.entry, pending.received);
  journal_.Append(pending.entry);
}

void JournaledResponder::Ended(wire::Connection&) {
  if (!pending.open) return;
  // The plan was cut short: what of it went out is unknown.
  pending.open = false;
  pending.entry.reply.reset();
  pending.entry.outcome = "abandoned";
  journal_.Append(pending.entry);
}

}  // namespace kestrel::sim
