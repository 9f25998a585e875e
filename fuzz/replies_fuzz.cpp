// Reply handling of every command operation on hostile reply text.
//
// Input: the name of an operation ("Kestrel_GetReal"), a newline, then the
// unframed reply text that the client's exchange hands back. The operation is
// run through the tools' catalogue binder with its example arguments, so the
// whole public operation (verdict, payload split, conversions, output writes,
// console lines, error text) runs on the text. (The unframing of the text is
// the string toolkit's, checked in yarn_fuzz.cpp.)
//
// Checked besides the sanitizers: at most one exchange per operation (the
// match lists are checked raw in a second one), every
// console line and the error text stay bounded, every number handed back is
// finite, the list outputs agree with the counts they report, the best match
// never has a negative score, a failed first match writes nothing, and the
// free auto-focus text stays within its 511 characters.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "core/record.h"
#include "fuzz_check.h"
#include "kestrel/host.h"
#include "kestrel/kestrel.h"
#include "support/canned.h"

namespace {

using kestrel::kTextCapacity;

// The longest console line the reply handling may print: a whole reply or
// payload and a function name.
constexpr std::size_t kLongestLine = kTextCapacity + 256;

void CheckLine(Corvus::HeraldColor, const char* title, const char* text, void*) {
  FUZZ_CHECK(title != nullptr && text != nullptr);
  FUZZ_CHECK(std::strlen(text) < kLongestLine);
}

bool Finite(const Point& p) { return std::isfinite(p.X) && std::isfinite(p.Y); }

// What an output promises whatever the reply: finite numbers, and lists that
// agree with the counts beside them.
void CheckOutputs(const kestrel_cli::CommandInfo& cmd, const std::string& reply,
                  const kestrel_cli::Outputs& outputs, bool ok) {
  const std::string_view operation = cmd.operation;
  int count = -1;
  for (const kestrel_cli::Output& out : outputs) {
    if (const double* d = std::get_if<double>(&out.value)) FUZZ_CHECK(std::isfinite(*d));
    if (const Point* p = std::get_if<Point>(&out.value)) FUZZ_CHECK(Finite(*p));
    if (const int* n = std::get_if<int>(&out.value)) count = *n;
    if (const auto* m = std::get_if<kestrel_cli::Match>(&out.value)) {
      FUZZ_CHECK(Finite(m->center) && std::isfinite(m->angle));
      // The best match takes only a score above 0; the first match is
      // written only once the whole list has parsed.
      if (operation == "Kestrel_Template_Match") FUZZ_CHECK(m->score >= 0.0);
      if (!ok && operation == "Kestrel_Template_Match_SCell") {
        FUZZ_CHECK(m->score == 0.0 && m->angle == 0.0 && m->center.X == 0.0 && m->center.Y == 0.0);
      }
    }
    if (const auto* list = std::get_if<std::vector<kestrel_cli::Match>>(&out.value)) {
      FUZZ_CHECK(list->size() <= static_cast<std::size_t>(std::max(count, 0)));
      if (ok && count > 0) FUZZ_CHECK(list->size() == static_cast<std::size_t>(count));
    }
    if (const auto* points = std::get_if<std::vector<Point>>(&out.value)) {
      for (const Point& p : *points) FUZZ_CHECK(Finite(p));
      // On success the list holds the count announced after "WORD,OK,".
      const std::string head = std::string(cmd.word) + ",OK,";
      if (ok) {
        FUZZ_CHECK(reply.rfind(head, 0) == 0);
        FUZZ_CHECK(static_cast<long>(points->size()) ==
                   std::strtol(reply.c_str() + head.size(), nullptr, 10));
      }
    }
    if (const auto* text = std::get_if<std::string>(&out.value)) {
      // 511 GBK bytes take at most three UTF-8 bytes each.
      FUZZ_CHECK(text->size() <= 3 * 511);
    }
  }
}

// The raw lists of Kestrel_MultTemplate_Match, which the outputs show zipped:
// each list grows as its field converts, centres at most one ahead of the
// angles, angles at most one ahead of the scores.
void CheckMatchLists(Kestrel& client, kestrel_test::CannedReplies& canned,
                     const std::string& reply) {
  canned.Reply(reply);
  int count = -7;
  std::vector<Point> centers(3);
  std::vector<double> angles(2), scores(1);
  const bool ok =
      client.Kestrel_MultTemplate_Match("Cam1", "T1", 5, "model", Point{1, 2}, 0.5, count, centers,
                                        angles, scores, true, false, "d", 1, 2, 3);
  FUZZ_CHECK(angles.size() <= centers.size() && centers.size() <= angles.size() + 1);
  FUZZ_CHECK(scores.size() <= angles.size() && angles.size() <= scores.size() + 1);
  FUZZ_CHECK(centers.size() <= static_cast<std::size_t>(count > 0 ? count : 0));
  if (ok && count > 0) FUZZ_CHECK(scores.size() == static_cast<std::size_t>(count));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Kestrel* client = [] {
    Corvus::Herald_Set_Sink(&CheckLine, nullptr);
    return new Kestrel;
  }();
  // Each operation with its example arguments, converted once.
  static const std::map<std::string, kestrel_cli::Invocation, std::less<>> operations = [] {
    std::map<std::string, kestrel_cli::Invocation, std::less<>> m;
    for (const kestrel_cli::CommandInfo& cmd : kestrel_cli::Commands()) {
      m[cmd.operation] = {
          &cmd, kestrel_cli::ParseArgs(cmd, kestrel_cli::SplitScriptLine(cmd.example)), 0};
    }
    return m;
  }();
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t newline = input.find('\n');
  if (newline == std::string_view::npos) return 0;
  const auto op = operations.find(input.substr(0, newline));
  if (op == operations.end()) return 0;
  // The reply as a read leaves it: up to its first NUL, within the buffer.
  const char* text = reinterpret_cast<const char*>(data) + newline + 1;
  const std::string reply(
      text, strnlen(text, std::min<std::size_t>(size - newline - 1, kTextCapacity - 1)));
  kestrel_test::CannedReplies canned(*client);  // hands the text back as the reply
  canned.Reply(reply);
  client->Kestrel_ClearErrorString();
  kestrel_cli::Outputs outputs;
  const kestrel_cli::CommandInfo& cmd = *op->second.cmd;
  const bool ok = cmd.run(*client, cmd, op->second.args, outputs);
  CheckOutputs(cmd, reply, outputs, ok);
  FUZZ_CHECK(canned.requests().size() == (*cmd.word == '\0' ? 0u : 1u));
  for (const std::string& request : canned.requests()) {
    FUZZ_CHECK(request.size() <= static_cast<std::size_t>(kestrel::kMaxRequestLength));
  }
  FUZZ_CHECK(std::strlen(client->Kestrel_GetErrorString()) < kLongestLine);
  if (op->first == "Kestrel_MultTemplate_Match") CheckMatchLists(*client, canned, reply);
  return 0;
}
