#include "sim/faults.h"

#include <algorithm>
#include <fstream>
#include <istream>
#include <iterator>
#include <optional>
#include <stdexcept>

#include "platform/text.h"
#include "sim/protocol.h"

namespace kestrel::sim {

namespace {

// The kinds as a rule names them, in the order of FaultKind.
constexpr std::string_view kKindNames[] = {"delay",       "silent",   "wrong-head", "bad-type",
                                           "ng",          "unframed", "oversized",  "chunks",
                                           "close-after", "reset"};
static_assert(std::size(kKindNames) == static_cast<std::size_t>(FaultKind::kReset) + 1);

[[noreturn]] void Bad(std::string_view rule_text, const std::string& why) {
  throw std::invalid_argument("fault '" + std::string(rule_text) + "': " + why);
}

int ToInt(std::string_view rule_text, std::string_view what, std::string_view text, int min) {
  int v = 0;
  if (!ParseNumber(text, v))
    Bad(rule_text, std::string(what) + " '" + std::string(text) + "' is not a whole number");
  if (v < min) Bad(rule_text, std::string(what) + " must be at least " + std::to_string(min));
  return v;
}

// Splits off the text up to the next ':' (or the end).
std::string_view Next(std::string_view& rest) {
  std::size_t colon = rest.find(':');
  std::string_view part = rest.substr(0, colon);
  rest = colon == std::string_view::npos ? std::string_view{} : rest.substr(colon + 1);
  return part;
}

std::string_view Trim(std::string_view s) {
  const char* ws = " \t\r\n";
  std::size_t b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

}  // namespace

Fault ParseFault(std::string_view rule_text) {
  Fault f;
  f.written = std::string(rule_text);
  std::string_view rest = rule_text;
  if (rest.find(':') == std::string_view::npos) Bad(rule_text, "expected WORD[/K]:KIND[:ARG]");
  std::string_view target = Next(rest);
  std::size_t slash = target.find('/');
  std::string_view word = target.substr(0, slash);
  if (slash != std::string_view::npos)
    f.limit = ToInt(rule_text, "request limit", target.substr(slash + 1), 1);
  if (word != "*" && !Simulator::IsCommandWord(word))
    Bad(rule_text, "unknown command word '" + std::string(word) + "'");
  f.word = std::string(word);

  const bool has_args = rest.find(':') != std::string_view::npos;
  std::string_view kind = Next(rest);
  const auto* found = std::find(std::begin(kKindNames), std::end(kKindNames), kind);
  if (found == std::end(kKindNames))
    Bad(rule_text, "unknown fault kind '" + std::string(kind) + "'");
  f.kind = static_cast<FaultKind>(found - std::begin(kKindNames));
  // What is left after the kind: `args`, and whether a ':' introduced it.
  std::string_view args = has_args ? rest : std::string_view{};
  auto no_more = [&] {
    if (has_args) Bad(rule_text, std::string(kind) + " takes no argument");
  };
  switch (f.kind) {
    case FaultKind::kDelay:
      if (!has_args) Bad(rule_text, "delay needs a time in milliseconds: delay:MS");
      f.ms = ToInt(rule_text, "delay", args, 0);
      break;
    case FaultKind::kSilent:
    case FaultKind::kUnframed:
    case FaultKind::kReset:
      no_more();
      break;
    case FaultKind::kWrongHead:
      f.text = has_args ? std::string(args) : "WrongHead";
      if (f.text.empty() || f.text.find_first_of(",<>") != std::string::npos)
        Bad(rule_text, "the head must be a non-empty word without ',', '<' or '>'");
      break;
    case FaultKind::kBadType:
      f.text = has_args ? std::string(args) : "ERR";
      if (f.text == "OK" || f.text == "NG" || f.text.find_first_of(",<>") != std::string::npos)
        Bad(rule_text, "the type must differ from OK and NG and hold no ',', '<' or '>'");
      break;
    case FaultKind::kNg:
      f.text = has_args ? std::string(args) : "injected failure";
      break;
    case FaultKind::kOversized:
      f.count = has_args ? ToInt(rule_text, "size", args, 16) : 20000;
      break;
    case FaultKind::kChunks: {
      std::string_view n = Next(args);
      if (args.empty()) Bad(rule_text, "chunks needs a count and a pause: chunks:N:MS");
      f.count = ToInt(rule_text, "chunk count", n, 2);
      f.ms = ToInt(rule_text, "pause", args, 0);
      break;
    }
    case FaultKind::kCloseAfter:
      if (!has_args) Bad(rule_text, "close-after needs a request count: close-after:N");
      f.count = ToInt(rule_text, "request count", args, 1);
      break;
  }
  // The text goes out on the wire, in the server's GBK.
  const std::optional<std::string> gbk = platform::Utf8ToGbk(f.text);
  if (!gbk) Bad(rule_text, "'" + f.text + "' has a character that GBK cannot hold");
  f.text = *gbk;
  return f;
}

std::vector<Fault> ParseScenario(std::istream& in, std::string_view source) {
  std::vector<Fault> faults;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::string_view rule = Trim(line);
    if (rule.empty() || rule.front() == '#') continue;
    try {
      faults.push_back(ParseFault(rule));
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument(std::string(source) + ":" + std::to_string(number) + ": " +
                                  e.what());
    }
  }
  return faults;
}

std::vector<Fault> LoadScenario(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::invalid_argument("cannot read scenario file '" + path + "'");
  return ParseScenario(in, path);
}

struct FaultPlan::Rule {
  long id = 0;
  Fault fault;
  std::atomic<int> used{0};

  // Uses one of the rule's uses (a close-after rule's: closes); false when
  // they are used up.
  bool Use() {
    if (fault.limit == 0) return true;
    int n = used.load();
    while (n < fault.limit && !used.compare_exchange_weak(n, n + 1)) {
    }
    return n < fault.limit;
  }
};

FaultPlan::FaultPlan(std::vector<Fault> faults) : initial_(std::move(faults)) { Restore(); }

FaultPlan::~FaultPlan() = default;

void FaultPlan::AddLocked(Fault fault) {
  auto rule = std::make_unique<Rule>();
  rule->id = next_id_++;
  rule->fault = std::move(fault);
  rules_.push_back(std::move(rule));
  count_.store(rules_.size());
}

FaultPlan::Listed FaultPlan::Add(Fault fault) {
  std::unique_lock lock(mu_);
  AddLocked(std::move(fault));
  return {rules_.back()->id, rules_.back()->fault.written, 0};
}

bool FaultPlan::Remove(long id) {
  std::unique_lock lock(mu_);
  const auto it = std::find_if(rules_.begin(), rules_.end(), [id](auto& r) { return r->id == id; });
  if (it == rules_.end()) return false;
  rules_.erase(it);
  count_.store(rules_.size());
  return true;
}

void FaultPlan::Clear() {
  std::unique_lock lock(mu_);
  rules_.clear();
  count_.store(0);
}

void FaultPlan::Restore() {
  std::unique_lock lock(mu_);
  rules_.clear();
  for (const Fault& f : initial_) AddLocked(f);
  count_.store(rules_.size());
}

std::vector<FaultPlan::Listed> FaultPlan::List() const {
  std::shared_lock lock(mu_);
  std::vector<Listed> listed;
  for (const auto& r : rules_) listed.push_back({r->id, r->fault.written, r->used.load()});
  return listed;
}

FaultPlan::Rule* FaultPlan::TakeLocked(std::string_view head) {
  for (const auto& r : rules_) {
    if (r->fault.kind != FaultKind::kCloseAfter && r->fault.Matches(head) && r->Use())
      return r.get();
  }
  return nullptr;
}

std::optional<Fault> FaultPlan::Take(std::string_view head) {
  std::shared_lock lock(mu_);
  const Rule* r = TakeLocked(head);
  return r ? std::optional<Fault>(r->fault) : std::nullopt;
}

namespace {

// Applies a rule that alters the reply text (wrong-head, bad-type, ng,
// unframed, oversized) to `reply`, a reply line without its line end whose
// head is `head` ("" when it is not framed), for a request with command word
// `word`; `end` is the size of the line end that follows. Other kinds leave
// it alone.
void RewriteReply(const Fault& fault, std::string_view word, std::string_view head,
                  std::size_t end, std::string& reply) {
  // reply is "<" head "," type "," payload ">"
  const bool framed = !head.empty();
  const std::size_t after_head = 1 + head.size();
  // "<" and the head, what ng and oversized keep (a line without a head
  // gets the request's word).
  const auto keep_head = [&] {
    if (framed)
      reply.resize(after_head);
    else
      reply = "<" + std::string(word);
  };
  switch (fault.kind) {
    case FaultKind::kWrongHead:
      if (framed) reply.replace(1, head.size(), fault.text);
      break;
    case FaultKind::kBadType: {
      if (!framed || after_head >= reply.size() || reply[after_head] != ',') break;
      std::size_t type_end = reply.find(',', after_head + 1);
      if (type_end == std::string::npos) type_end = reply.size() - 1;
      reply.replace(after_head + 1, type_end - after_head - 1, fault.text);
      break;
    }
    case FaultKind::kNg:
      keep_head();
      reply += ",NG,";
      reply += fault.text;
      reply += '>';
      break;
    case FaultKind::kUnframed:
      if (!reply.empty() && reply.back() == '>') reply.pop_back();
      if (!reply.empty() && reply.front() == '<') reply.erase(0, 1);
      break;
    case FaultKind::kOversized: {
      keep_head();
      reply += ",OK,";
      // The whole reply, with '>' and the line end, is `count` bytes long.
      const std::size_t total = static_cast<std::size_t>(fault.count);
      if (reply.size() + 1 + end < total) reply.append(total - 1 - end - reply.size(), 'X');
      reply += '>';
      break;
    }
    default:
      break;
  }
}

}  // namespace

std::string FaultPlan::Shape(wire::ReplyPlan& plan, std::string_view head,
                             std::string_view reply_head, wire::Connection& conn) {
  using Ending = wire::ReplyPlan::Ending;
  std::shared_lock lock(mu_);
  const Rule* taken = TakeLocked(head);
  const Fault* fault = taken ? &taken->fault : nullptr;
  std::string applied;
  if (fault != nullptr && !plan.pieces.empty()) {
    applied = fault->written;
    plan.note = "fault " + fault->written;
    wire::ReplyPlan::Piece& reply = plan.pieces.front();
    switch (fault->kind) {
      case FaultKind::kSilent:
        plan.pieces.clear();
        plan.note = "no reply (fault " + fault->written + ")";
        break;
      case FaultKind::kReset:
        plan.pieces.clear();
        plan.ending = Ending::kReset;
        break;
      case FaultKind::kDelay:
        reply.wait_ms += fault->ms;
        break;
      case FaultKind::kChunks: {
        // The line with its CR LF, in `count` pieces `ms` apart: the first
        // keeps the reply's wait, the others follow it.
        const std::string bytes = std::move(reply.bytes);
        const std::size_t pieces = static_cast<std::size_t>(fault->count);
        const std::size_t size = (bytes.size() + pieces - 1) / pieces;
        reply.bytes = bytes.substr(0, size);
        std::vector<wire::ReplyPlan::Piece> rest;
        for (std::size_t at = size; at < bytes.size(); at += size)
          rest.push_back({fault->ms, bytes.substr(at, size)});
        plan.pieces.insert(plan.pieces.begin() + 1, rest.begin(), rest.end());
        break;
      }
      default: {
        // The line without its line end, rewritten, then the same end.
        const std::string& bytes = reply.bytes;
        const bool lf = !bytes.empty() && bytes.back() == '\n';
        const std::size_t end =
            lf ? (bytes.size() > 1 && bytes[bytes.size() - 2] == '\r' ? 2 : 1) : 0;
        std::string line = reply.bytes.substr(0, reply.bytes.size() - end);
        RewriteReply(*fault, head, reply_head, end, line);
        reply.bytes = line + reply.bytes.substr(reply.bytes.size() - end);
        break;
      }
    }
  }
  // A connection counts a close-after rule's requests under the rule's id.
  for (const auto& r : rules_) {
    const Fault& rule = r->fault;
    if (rule.kind != FaultKind::kCloseAfter || !rule.Matches(head)) continue;
    const std::size_t k = static_cast<std::size_t>(r->id);
    if (conn.counts.size() <= k) conn.counts.resize(k + 1, 0);
    if (++conn.counts[k] == rule.count && r->Use()) {
      plan.ending = Ending::kClose;
      plan.note +=
          (plan.note.empty() ? "" : "; ") + std::string("closing (fault ") + rule.written + ")";
      applied += (applied.empty() ? "" : "; ") + rule.written;
      break;
    }
  }
  return applied;
}

wire::ReplyPlan SimResponder::Answer(wire::Connection& conn, std::string_view line,
                                     std::string* rules) {
  // Each connection has a thread of its own: its scratch space is reused.
  thread_local Request req;
  thread_local std::string reply;
  if (rules != nullptr) rules->clear();
  const Outcome outcome = sim_.Handle(line, req, reply);
  wire::ReplyPlan plan = wire::ReplyPlan::Line(reply, outcome.delay_ms);
  if (!faults_.empty()) {
    std::string applied = faults_.Shape(plan, outcome.head, conn);
    if (rules != nullptr) *rules = std::move(applied);
  }
  return plan;
}

}  // namespace kestrel::sim
