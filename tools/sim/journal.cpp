#include "sim/journal.h"

#include <algorithm>
#include <utility>

namespace kestrel::sim {

Journal::Journal(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {}

void Journal::Append(Exchange e) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    e.seq = next_seq_++;
    for (auto& [id, queue] : subscribers_) {
      if (queue.entries.size() < kSubscriberQueue)
        queue.entries.push_back(e);
      else
        ++queue.missed;
    }
    if (ring_.size() == capacity_) ring_.pop_front();
    ring_.push_back(std::move(e));
  }
  arrived_.notify_all();
}

void Journal::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  ring_.clear();
}

Journal::Page Journal::Since(long since, std::size_t limit) const {
  Page page;
  std::lock_guard<std::mutex> lock(mu_);
  page.next = next_seq_;
  if (ring_.empty()) return page;
  // The ring holds consecutive numbers.
  const long first = ring_.front().seq;
  const auto skip = static_cast<std::size_t>(std::max(since - first, 0L));
  for (std::size_t i = skip; i < ring_.size() && page.entries.size() < limit; ++i)
    page.entries.push_back(ring_[i]);
  if (!page.entries.empty()) page.next = page.entries.back().seq + 1;
  return page;
}

long Journal::Subscribe() {
  std::lock_guard<std::mutex> lock(mu_);
  if (closed_ || subscribers_.size() >= kMaxSubscribers) return 0;
  subscribers_[next_subscriber_];
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
  Queue& queue = it->second;
  arrived_.wait_for(lock, wait, [&] { return closed_ || !queue.entries.empty() || queue.missed; });
  batch.closed = closed_;
  batch.missed = std::exchange(queue.missed, 0);
  batch.entries.assign(std::make_move_iterator(queue.entries.begin()),
                       std::make_move_iterator(queue.entries.end()));
  queue.entries.clear();
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

}  // namespace

Exchange Entry(Clock::time_point start, long conn, std::string_view request,
               const wire::ReplyPlan& plan, std::string rules, Clock::time_point received) {
  Exchange e;
  e.us = std::chrono::duration_cast<std::chrono::microseconds>(received - start).count();
  e.conn = conn;
  e.request.assign(request);
  if (!plan.pieces.empty()) {
    std::string sent;
    for (const auto& piece : plan.pieces) sent += piece.bytes;
    while (!sent.empty() && (sent.back() == '\n' || sent.back() == '\r')) sent.pop_back();
    e.reply = std::move(sent);
  }
  e.outcome = OutcomeOf(request, e.reply, plan.ending);
  e.fault = std::move(rules);
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
  pending.entry =
      Entry(journal_.start(), conn.id, request, plan, std::move(rules), pending.received);
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
  journal_.Append(std::move(pending.entry));
}

void JournaledResponder::Ended(wire::Connection&) {
  if (!pending.open) return;
  // The plan was cut short: what of it went out is unknown.
  pending.open = false;
  pending.entry.reply.reset();
  pending.entry.outcome = "abandoned";
  journal_.Append(std::move(pending.entry));
}

}  // namespace kestrel::sim
