#include "sim/replay.h"

#include <cstdio>

namespace kestrel::sim {

Replay::Replay(std::vector<trace::Exchange> exchanges, bool fast)
    : exchanges_(std::move(exchanges)), fast_(fast) {
  for (std::size_t i = 0; i < exchanges_.size(); ++i) {
    const trace::Exchange& ex = exchanges_[i];
    if (!ex.has_request) {
      greetings_.push_back(i);
      continue;
    }
    answers_[ex.request].first.push_back(i);
    ++recorded_;
  }
}

namespace {

// Set while the plan of a recorded answer is being played on this thread
// (each connection has a thread of its own).
thread_local bool answering = false;

// The recorded exchange as a plan: its lines after their waits (none when
// `fast`), then its close.
wire::ReplyPlan Plan(const trace::Exchange& recorded, bool fast) {
  const auto wait_ms = [fast](std::int64_t us) { return fast ? 0 : static_cast<int>(us / 1000); };
  wire::ReplyPlan plan;
  for (const trace::Piece& piece : recorded.replies)
    plan.pieces.push_back(
        {wait_ms(piece.wait_us), piece.bytes + std::string(trace::Terminator(piece.end))});
  if (recorded.closed) {
    plan.ending = wire::ReplyPlan::Ending::kClose;
    plan.ending_wait_ms = wait_ms(recorded.close_wait_us);
    plan.note = "closing (as recorded)";
  }
  return plan;
}

}  // namespace

wire::ReplyPlan Replay::Greet(wire::Connection&) {
  std::lock_guard<std::mutex> lock(mu_);
  const std::size_t n = greeted_++;
  return n < greetings_.size() ? Plan(exchanges_[greetings_[n]], fast_) : wire::ReplyPlan{};
}

wire::ReplyPlan Replay::Answer(wire::Connection&, std::string_view line) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = answers_.find(line);
  if (it != answers_.end() && it->second.second < it->second.first.size()) {
    ++taken_;
    answering = true;
    return Plan(exchanges_[it->second.first[it->second.second++]], fast_);
  }
  ++divergences_;
  if (diverged_.size() < kNamed) diverged_.push_back(trace::Escape(line));
  const std::string_view word = trace::Head(line);
  return wire::ReplyPlan::Line("<" + std::string(word.empty() ? "Unknown" : word) +
                               ",NG,no recorded reply>");
}

void Replay::Played(wire::Connection&) {
  if (!answering) return;
  answering = false;
  std::lock_guard<std::mutex> lock(mu_);
  ++served_;
}

bool Replay::Finished(int active_connections) const {
  std::lock_guard<std::mutex> lock(mu_);
  return served_ == recorded_ || (greeted_ > 0 && active_connections == 0);
}

bool Replay::Diverged() const {
  std::lock_guard<std::mutex> lock(mu_);
  return divergences_ > 0 || taken_ < recorded_;
}

std::string Replay::Summary() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::string out = "replay: " + std::to_string(taken_ + divergences_) + " requests replayed, " +
                    std::to_string(divergences_) + " diverged, " +
                    std::to_string(recorded_ - taken_) + " recorded replies unused\n";
  for (const std::string& line : diverged_) out += "  diverged: " + line + " (no recorded reply)\n";
  if (divergences_ > diverged_.size())
    out += "  ... and " + std::to_string(divergences_ - diverged_.size()) + " more\n";
  std::size_t named = 0, unused = recorded_ - taken_;
  for (const auto& [request, slot] : answers_) {
    for (std::size_t k = slot.second; k < slot.first.size() && named < kNamed; ++k, ++named) {
      const trace::Exchange& ex = exchanges_[slot.first[k]];
      char at[64];
      std::snprintf(at, sizeof at, " (connection %ld at %.3f s)", ex.conn,
                    static_cast<double>(ex.us) / 1e6);
      out += "  unused: " + trace::Escape(request) + at + "\n";
    }
  }
  if (unused > named) out += "  ... and " + std::to_string(unused - named) + " more\n";
  return out;
}

}  // namespace kestrel::sim
