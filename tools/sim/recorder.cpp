#include "sim/recorder.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <optional>
#include <vector>

#include "platform/socket.h"
#include "trace/lines.h"

namespace kestrel::sim {

namespace {

using trace::Dir;
using trace::End;

constexpr std::size_t kChunk = 64 * 1024;
// Most unanswered requests a shaping relay keeps to pair replies with; a
// client that sends more to a server that never answers has its oldest
// forgotten (their replies then answer the oldest kept).
constexpr std::size_t kMostAsked = 1024;

}  // namespace

std::pair<std::string, int> SplitHostPort(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  std::string host = text.substr(0, colon == std::string::npos ? 0 : colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  int port = 0;
  const std::string digits = colon == std::string::npos ? "" : text.substr(colon + 1);
  const bool numeric = !digits.empty() && digits.size() <= 5 &&
                       digits.find_first_not_of("0123456789") == std::string::npos;
  if (numeric) port = std::stoi(digits);
  if (host.empty() || port < 1 || port > 65535)
    throw std::invalid_argument("'" + text + "' is not of the form HOST:PORT");
  return {host, port};
}

const char* Recorder::Relay(wire::Connection& conn, platform::Socket client,
                            std::atomic<platform::Socket>& upstream,
                            const std::atomic<bool>& stopping, const wire::Play& play) {
  using Clock = std::chrono::steady_clock;
  const long id = conn.id;
  std::string error;
  const platform::Socket server = platform::Connect(host_, port_, client, &error);
  if (server == platform::kNoSocket) {
    writer_.Event(id, "refused", {}, error);
    return "closed: the server refused the connection";
  }
  error.clear();  // Connect leaves a reason behind even when an address answered
  // From here on a stop shuts the server's socket down too; the caller closes it.
  upstream.store(server);
  writer_.Event(id, "open");
  const char* by = stopping.load() ? "recorder" : nullptr;  // who ended the relay
  // Shaping, the requests not answered yet: the reply line of the server
  // answers the oldest with its command word, else the oldest.
  const bool shaping = faults_ != nullptr || journal_ != nullptr;
  struct Asked {
    std::string line;
    Clock::time_point at;
  };
  std::deque<Asked> asked;
  std::string closing;  // the rules of a plan that ended the connection
  const auto shape = [&](std::string_view line, End end) {
    wire::ReplyPlan plan;
    plan.pieces.push_back({0, std::string(line) + std::string(trace::Terminator(end))});
    // The rest of what the server said after a rule ended the connection,
    // or after the client went.
    if (!closing.empty()) return writer_.Shaped(id, line, end, closing, std::nullopt);
    if (by != nullptr) return writer_.Line(id, Dir::kReply, line, end);
    if (end == End::kMore || end == End::kNone) {  // no whole line: on as it is
      writer_.Line(id, Dir::kReply, line, end);
      if (!play(plan)) by = stopping.load() ? "recorder" : "client";
      return;
    }
    const std::string_view head = trace::Head(line);
    auto answered = std::find_if(asked.begin(), asked.end(), [&](const Asked& a) {
      return !head.empty() && trace::Head(a.line) == head;
    });
    if (answered == asked.end()) answered = asked.begin();
    const bool matched = answered != asked.end();
    Asked request{{}, Clock::now()};
    if (matched) {
      request = std::move(*answered);
      asked.erase(answered);
    }
    // The rules go by the request's command word (a line without one:
    // Unknown, as the simulator has it).
    std::string_view word = matched ? trace::Head(request.line) : head;
    if (word.empty()) word = kUnknownHead;
    std::string rules;
    if (faults_ != nullptr && !faults_->empty()) rules = faults_->Shape(plan, word, head, conn);
    std::optional<std::string> got;
    for (const auto& piece : plan.pieces) got = got.value_or("") + piece.bytes;
    if (got) got->resize(got->size() - trace::Terminator(end).size());
    if (rules.empty())
      writer_.Line(id, Dir::kReply, line, end);
    else
      writer_.Shaped(id, line, end, rules, got);
    const bool go_on = play(plan);
    if (journal_ != nullptr) {
      Exchange e = Entry(journal_->start(), id, request.line, plan, rules, request.at);
      if (got != std::optional<std::string>(line)) e.server_reply = std::string(line);
      SetLatency(e, request.at);
      journal_->Append(std::move(e));
    }
    if (go_on) return;
    const bool ended = plan.ending != wire::ReplyPlan::Ending::kStay;
    by = stopping.load() ? "recorder" : ended ? "fault" : "client";
    if (ended) closing = rules;
  };
  // Each direction's lines are recorded as they complete.
  trace::LineCutter requests([&](std::string_view line, End end) {
    writer_.Line(id, Dir::kRequest, line, end);
    if (!shaping || end == End::kMore) return;
    if (asked.size() == kMostAsked) asked.pop_front();
    asked.push_back({std::string(line), Clock::now()});
  });
  trace::LineCutter replies([&](std::string_view line, End end) {
    if (shaping)
      shape(line, end);
    else
      writer_.Line(id, Dir::kReply, line, end);
  });
  std::vector<char> buf(kChunk);
  // The server first; the client too until it has closed.
  const platform::Socket waited[2] = {server, client};
  bool ready[2] = {false, false};
  bool client_closed = false;
  while (by == nullptr) {
    if (platform::WaitReadable(waited, ready, client_closed ? 1 : 2, -1) < 0) {
      by = "recorder";
      break;
    }
    // Forward first, record after: the file never holds up the bytes. Shaped,
    // a line is recorded when it is whole, then played.
    if (ready[0]) {
      const long n = platform::Receive(server, buf.data(), buf.size());
      if (n <= 0) {
        by = stopping.load() ? "recorder" : "server";
        if (n < 0) error = platform::LastError();
      } else if (!shaping && !platform::SendAll(client, buf.data(), static_cast<std::size_t>(n))) {
        by = stopping.load() ? "recorder" : "client";
        error = client_closed ? "" : platform::LastError();
      } else {
        replies.Feed(std::string_view(buf.data(), static_cast<std::size_t>(n)));
      }
    }
    if (by != nullptr || client_closed || !ready[1]) continue;
    const long n = platform::Receive(client, buf.data(), buf.size());
    if (n > 0) {
      if (!platform::SendAll(server, buf.data(), static_cast<std::size_t>(n))) {
        by = "server";
        error = platform::LastError();
      } else {
        requests.Feed(std::string_view(buf.data(), static_cast<std::size_t>(n)));
      }
    } else if (n == 0 && !stopping.load()) {
      // The client has said all it will: the server is told so, and its
      // answers still pass until it closes.
      requests.Finish();
      writer_.Event(id, "close", "client");
      platform::ShutdownSend(server);
      client_closed = true;
    } else {
      by = stopping.load() ? "recorder" : "client";
      if (n < 0) error = platform::LastError();
    }
  }
  requests.Finish();
  replies.Finish();
  // What the server never answered.
  for (const Asked& a : asked) {
    if (journal_ == nullptr) break;
    Exchange e = Entry(journal_->start(), id, a.line, {}, {}, a.at);
    e.outcome = "abandoned";
    journal_->Append(std::move(e));
  }
  if (!(client_closed && std::strcmp(by, "client") == 0)) writer_.Event(id, "close", by, error);
  if (std::strcmp(by, "server") == 0) return "closed by the server";
  if (std::strcmp(by, "fault") == 0) return "closed: fault rule";
  return std::strcmp(by, "recorder") == 0 ? "closed: server stopping" : "closed by peer";
}

}  // namespace kestrel::sim
