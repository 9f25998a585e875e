// The catalogue of Kestrel's command operations for the tools: one row per
// operation (commands.def) with its names, command word, parameters and
// what the tools show of it. The command-line client, the demo and the
// simulator all read it, so a new command is one row here. It knows the
// operations by name only and does not link the library.
#ifndef KESTREL_CATALOGUE_CATALOGUE_H
#define KESTREL_CATALOGUE_CATALOGUE_H

#include <cstddef>
#include <string>
#include <vector>

namespace kestrel::catalogue {

enum class Kind {
  // Inputs.
  kText,       // const char*, GBK
  kInt,        // int
  kNumber,     // double
  kFlag,       // bool
  kPoint,      // Point, two request fields
  kTextList,   // std::vector<const char*>, one field each
  kPointList,  // std::vector<Point>, a count field and two fields each
  // Outputs, and the parts of the composite ones.
  kOutNumber,        // double&
  kOutInt,           // int&
  kOutPoint,         // Point&
  kOutText,          // std::string&, GBK, shown as UTF-8
  kOutPointList,     // std::vector<Point>&
  kOutPointX,        // double&: X of a point, the next kOutPointY its Y
  kOutPointY,        // double&
  kOutMatchCenter,   // Point&: one match of centre, angle and score
  kOutMatchAngle,    // double&
  kOutMatchScore,    // double&
  kOutMatchCenters,  // std::vector<Point>&: a list of matches, zipped
  kOutMatchAngles,   // std::vector<double>&
  kOutMatchScores,   // std::vector<double>&
  kOutNone,          // double&, written but not shown
};

constexpr bool IsInput(Kind kind) { return kind <= Kind::kPointList; }
// "text", "point list", "output number", "output match angle", ...
const char* KindName(Kind kind);

struct Param {
  const char* name;   // the Python binding's parameter name, the output's name
  Kind kind;
  int field;          // first request field it fills, -1 when not sent
  const char* label;  // the names of the fields it fills, for usage texts
  bool asked;         // whether the tools ask for it (inputs only)
  double fallback;    // what the tools pass when they do not ask
};

struct Command {
  const char* operation;  // "Kestrel_GetReal"
  const char* cli;        // "get-real"
  const char* python;     // "get_real"
  const char* word;       // "GetReal"; "" when nothing is sent
  const char* sample;     // an OK payload, "0.250000&-0.051250"
  const char* example;    // example arguments of the tools
  const char* summary;
  bool drawable;          // the command-line client's --svg draws it
  const char* no_reason;  // failure text when the library leaves none, or null
  const Param* params;
  std::size_t param_count;

  const Param* begin() const { return params; }
  const Param* end() const { return params + param_count; }
};

// Every row, in the order of the class.
const std::vector<Command>& Commands();

// Request fields after the command word: at least `min`, at most `max`
// (kAnyFields after a list).
inline constexpr std::size_t kAnyFields = static_cast<std::size_t>(-1);
struct FieldCount {
  std::size_t min = 0;
  std::size_t max = 0;
};
FieldCount Fields(const Command& cmd);
// The field names in request order: "camera,x,y".
std::string FieldUsage(const Command& cmd);
// The output names, composite ones once: "count", "matches".
std::vector<std::string> OutputNames(const Command& cmd);

}  // namespace kestrel::catalogue

#endif  // KESTREL_CATALOGUE_CATALOGUE_H
