#include "catalogue/catalogue.h"

#include <algorithm>
#include <iterator>

namespace kestrel::catalogue {

namespace {

#define IN(kind, name, field, label) {#name, Kind::k##kind, field, label, true, 0.0},
#define FIXED(kind, name, value) {#name, Kind::k##kind, -1, "", false, value},
#define OUT(kind, name) {#name, Kind::kOut##kind, -1, "", false, 0.0},
#define COMMAND(op, cli, py, word, sample, example, summary, drawable, no_reason, params) \
  constexpr Param op##_params[] = {params};
#include "catalogue/commands.def"
#undef COMMAND

#undef IN
#undef FIXED
#undef OUT

// Request fields a parameter fills at least: a point its X and Y, a point
// list its count and one field (empty when the list is).
std::size_t Width(Kind kind) { return kind == Kind::kPoint || kind == Kind::kPointList ? 2 : 1; }

}  // namespace

const char* KindName(Kind kind) {
  static const char* const kNames[] = {
      "text",          "int",           "number",       "flag",
      "point",         "text list",     "point list",   "output number",
      "output int",    "output point",  "output text",  "output point list",
      "output point x", "output point y", "output match center", "output match angle",
      "output match score", "output match centers", "output match angles",
      "output match scores", "output unshown"};
  static_assert(std::size(kNames) == static_cast<std::size_t>(Kind::kOutNone) + 1);
  return kNames[static_cast<std::size_t>(kind)];
}

const std::vector<Command>& Commands() {
#define COMMAND(op, cli, py, word, sample, example, summary, drawable, no_reason, params)       \
  {#op, cli, py, word, sample, example, summary, drawable, no_reason, op##_params, \
   std::size(op##_params)},
  static const std::vector<Command> table = {
#include "catalogue/commands.def"
  };
#undef COMMAND
  return table;
}

FieldCount Fields(const Command& cmd) {
  FieldCount count;
  for (const Param& p : cmd) {
    if (p.field < 0) continue;
    const std::size_t end = static_cast<std::size_t>(p.field) + Width(p.kind);
    count.min = std::max(count.min, end);
    if (p.kind == Kind::kTextList || p.kind == Kind::kPointList) count.max = kAnyFields;
  }
  if (count.max != kAnyFields) count.max = count.min;
  return count;
}

std::string FieldUsage(const Command& cmd) {
  std::vector<const Param*> sent;
  for (const Param& p : cmd) {
    if (p.field >= 0 && *p.label != '\0') sent.push_back(&p);
  }
  std::sort(sent.begin(), sent.end(),
            [](const Param* a, const Param* b) { return a->field < b->field; });
  std::string usage;
  for (const Param* p : sent) usage += (usage.empty() ? "" : ",") + std::string(p->label);
  return usage;
}

std::vector<std::string> OutputNames(const Command& cmd) {
  std::vector<std::string> names;
  for (const Param& p : cmd) {
    if (IsInput(p.kind) || p.kind == Kind::kOutNone) continue;
    if (names.empty() || names.back() != p.name) names.push_back(p.name);
  }
  return names;
}

}  // namespace kestrel::catalogue
