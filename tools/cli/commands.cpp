#include "commands.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <initializer_list>
#include <iterator>
#include <sstream>
#include <system_error>
#include <tuple>
#include <type_traits>
#include <utility>

#include "output.h"

namespace kestrel_cli {

namespace {

// ---- The binder: one catalogue row and its operation's signature ----------------

using kestrel::catalogue::Kind;
using kestrel::catalogue::Param;

// An output parameter: a reference the operation writes.
template <typename A>
constexpr bool kIsOutput =
    std::is_lvalue_reference_v<A> && !std::is_const_v<std::remove_reference_t<A>>;

// Whether a row's kind fits a parameter type of the operation.
template <typename A>
constexpr bool Fits(Kind k) {
  using T = std::remove_cv_t<std::remove_reference_t<A>>;
  using std::is_same_v;
  if constexpr (kIsOutput<A>) {
    return (is_same_v<T, double> &&
            (k == Kind::kOutNumber || k == Kind::kOutPointX || k == Kind::kOutPointY ||
             k == Kind::kOutMatchAngle || k == Kind::kOutMatchScore || k == Kind::kOutNone)) ||
           (is_same_v<T, int> && k == Kind::kOutInt) ||
           (is_same_v<T, Point> && (k == Kind::kOutPoint || k == Kind::kOutMatchCenter)) ||
           (is_same_v<T, std::string> && k == Kind::kOutText) ||
           (is_same_v<T, std::vector<Point>> &&
            (k == Kind::kOutPointList || k == Kind::kOutMatchCenters)) ||
           (is_same_v<T, std::vector<double>> &&
            (k == Kind::kOutMatchAngles || k == Kind::kOutMatchScores));
  } else {
    return (is_same_v<T, const char*> && k == Kind::kText) ||
           (is_same_v<T, int> && k == Kind::kInt) || (is_same_v<T, double> && k == Kind::kNumber) ||
           (is_same_v<T, bool> && k == Kind::kFlag) || (is_same_v<T, Point> && k == Kind::kPoint) ||
           (is_same_v<T, std::vector<const char*>> && k == Kind::kTextList) ||
           (is_same_v<T, std::vector<Point>> && k == Kind::kPointList);
  }
}

template <typename... A>
constexpr bool Fits(bool (Kestrel::*)(A...), std::initializer_list<Kind> kinds) {
  if (kinds.size() != sizeof...(A)) return false;
  const Kind* k = kinds.begin();
  bool fits = true;
  ((fits = fits && Fits<A>(*k++)), ...);
  return fits;
}

#define IN(kind, name, field, label) Kind::k##kind,
#define FIXED(kind, name, value) Kind::k##kind,
#define OUT(kind, name) Kind::kOut##kind,
#define COMMAND(op, cli, py, word, sample, example, summary, drawable, no_reason, params) \
  static_assert(Fits(&Kestrel::op, {params}), #op ": the catalogue's parameters do not fit");
#include "catalogue/commands.def"
#undef COMMAND
#undef IN
#undef FIXED
#undef OUT

// The value parameter `p` of type A starts with: the next converted argument,
// the row's fallback when the tools do not ask for it, nothing for an output.
template <typename A, typename T = std::remove_cv_t<std::remove_reference_t<A>>>
T Input(const Param& p, const Args& a, std::size_t& next) {
  if constexpr (kIsOutput<A>) {
    return {};
  } else if constexpr (std::is_same_v<T, const char*>) {
    return p.asked ? std::get<std::string>(a.at(next++)).c_str() : "";
  } else if constexpr (std::is_same_v<T, std::vector<const char*>>) {
    std::vector<const char*> texts;
    if (p.asked) {
      for (const std::string& text : std::get<std::vector<std::string>>(a.at(next++))) {
        texts.push_back(text.c_str());
      }
    }
    return texts;
  } else if constexpr (std::is_arithmetic_v<T>) {
    return p.asked ? std::get<T>(a.at(next++)) : static_cast<T>(p.fallback);
  } else {
    return p.asked ? std::get<T>(a.at(next++)) : T{};
  }
}

// Output slots become the outputs under the row's names; the parts of a
// composite value gather in `part` until its last part comes.
struct Collector {
  Outputs& out;
  Point point;
  Match match;
  std::vector<Point> centers;
  std::vector<double> angles;

  // A point's X, a match's angle come first and wait for the rest of theirs.
  void operator()(const Param& p, double v) {
    if (p.kind == Kind::kOutPointX) point.X = v;
    if (p.kind == Kind::kOutMatchAngle) match.angle = v;
    if (p.kind == Kind::kOutNumber) out.push_back({p.name, v});
    if (p.kind == Kind::kOutPointY) {
      point.Y = v;
      out.push_back({p.name, point});
    } else if (p.kind == Kind::kOutMatchScore) {
      match.score = v;
      out.push_back({p.name, match});
    }
  }
  void operator()(const Param& p, int v) { out.push_back({p.name, v}); }
  void operator()(const Param& p, const std::string& v) { out.push_back({p.name, GbkToUtf8(v)}); }
  void operator()(const Param& p, const Point& v) {
    if (p.kind == Kind::kOutMatchCenter) {
      match.center = v;
    } else {
      out.push_back({p.name, v});
    }
  }
  void operator()(const Param& p, std::vector<Point>& v) {
    if (p.kind == Kind::kOutMatchCenters) {
      centers = std::move(v);
    } else {
      out.push_back({p.name, std::move(v)});
    }
  }
  void operator()(const Param& p, const std::vector<double>& v) {
    if (p.kind == Kind::kOutMatchAngles) {
      angles = v;
      return;
    }
    std::vector<Match> matches;
    const std::size_t n = std::min({centers.size(), angles.size(), v.size()});
    for (std::size_t i = 0; i < n; ++i) matches.push_back({centers[i], angles[i], v[i]});
    out.push_back({p.name, std::move(matches)});
  }
};

template <typename... A, std::size_t... I>
bool Call(Kestrel& k, bool (Kestrel::*op)(A...), const kestrel::catalogue::Command& row,
          const Args& args, Outputs& out, std::index_sequence<I...>) {
  std::size_t next = 0;
  // Braced initialisation takes the converted arguments in the row's order.
  std::tuple<std::remove_cv_t<std::remove_reference_t<A>>...> slots{
      Input<A>(row.params[I], args, next)...};
  const bool ok = (k.*op)(std::get<I>(slots)...);
  Collector collect{out, {}, {}, {}, {}};
  const auto gather = [&](auto& slot, const Param& p, auto is_output) {
    if constexpr (decltype(is_output)::value) collect(p, slot);
  };
  (gather(std::get<I>(slots), row.params[I], std::bool_constant<kIsOutput<A>>{}), ...);
  return ok;
}

template <typename... A>
constexpr auto Indices(bool (Kestrel::*)(A...)) {
  return std::index_sequence_for<A...>{};
}

template <auto kOperation>
bool Bind(Kestrel& k, const kestrel::catalogue::Command& row, const Args& args, Outputs& out) {
  return Call(k, kOperation, row, args, out, Indices(kOperation));
}

std::vector<CommandInfo> BuildTable() {
#define COMMAND(op, ...) &Bind<&Kestrel::op>,
  static constexpr RunFn kRuns[] = {
#include "catalogue/commands.def"
  };
#undef COMMAND
  const auto& rows = kestrel::catalogue::Commands();
  std::vector<CommandInfo> table;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const kestrel::catalogue::Command& row = rows[i];
    std::vector<ArgInfo> args;
    for (const Param& p : row) {
      if (p.asked) args.push_back(p);
    }
    table.push_back({row, std::move(args), kRuns[i]});
  }
  return table;
}

// ---- Argument conversion --------------------------------------------------------

std::string Upper(const char* name) {
  std::string s(name);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// One word converted as an argument of `kind` (text, int, number or flag);
// throws UsageError naming the command and the argument.
ArgValue ToScalar(const CommandInfo& cmd, Kind kind, const std::string& arg,
                  const std::string& word) {
  const auto bad = [&](const char* why) {
    return UsageError(std::string(cmd.cli) + ": " + arg + ": '" + word + "' " + why);
  };
  const char* end = word.data() + word.size();
  if (kind == Kind::kInt) {
    int value = 0;
    const auto [ptr, ec] = std::from_chars(word.data(), end, value);
    if (ec == std::errc::result_out_of_range) throw bad("is out of range");
    if (ec != std::errc() || ptr != end) throw bad("is not a whole number");
    return value;
  }
  if (kind == Kind::kNumber) {
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(word.data(), end, value);
    if (ec == std::errc::invalid_argument || ptr != end) throw bad("is not a number");
    if (ec == std::errc::result_out_of_range || !std::isfinite(value)) {
      throw bad("is not a finite number");
    }
    return value;
  }
  if (kind == Kind::kFlag) {
    if (word == "true" || word == "1") return true;
    if (word == "false" || word == "0") return false;
    throw bad("is not true, false, 1 or 0");
  }
  std::optional<std::string> gbk = Utf8ToGbk(word);
  if (!gbk) throw bad("has a character that GBK cannot hold");
  return *gbk;
}

// The words at `pos` and after it as a point; `pos` moves past them.
Point ToPoint(const CommandInfo& cmd, const std::string& arg, const std::vector<std::string>& words,
              std::size_t& pos) {
  Point p;
  p.X = std::get<double>(ToScalar(cmd, Kind::kNumber, arg + ".X", words[pos++]));
  p.Y = std::get<double>(ToScalar(cmd, Kind::kNumber, arg + ".Y", words[pos++]));
  return p;
}

// How an argument of each input kind is written.
const char* TypeHelp(Kind kind) {
  static const char* const kHelp[] = {"text",
                                      "whole number",
                                      "number",
                                      "true, false, 1 or 0",
                                      "point: two numbers, X Y",
                                      "the remaining words, any number of them",
                                      "the remaining numbers, as X Y pairs"};
  static_assert(std::size(kHelp) == static_cast<std::size_t>(Kind::kPointList) + 1);
  return kestrel::catalogue::IsInput(kind) ? kHelp[static_cast<std::size_t>(kind)] : "";
}

// "get-real CAMERA POINT(X Y)": the command and its arguments on one line.
std::string UsageLine(const CommandInfo& cmd) {
  std::string line = cmd.cli;
  for (const ArgInfo& arg : cmd.args) {
    const std::string name = Upper(arg.name);
    if (arg.kind == Kind::kTextList) {
      line += " [" + name + "...]";
    } else if (arg.kind == Kind::kPointList) {
      line += " [" + name + "(X Y)...]";
    } else {
      line += " " + name + (arg.kind == Kind::kPoint ? "(X Y)" : "");
    }
  }
  return line;
}

// The client's error text after a failed exchange ("communication failed").
constexpr const char* kNoReply = "\xE9\x80\x9A\xE8\xAE\xAF\xE5\xA4\xB1\xE8\xB4\xA5!";

}  // namespace

const std::vector<CommandInfo>& Commands() {
  static const std::vector<CommandInfo> table = BuildTable();
  return table;
}

const CommandInfo* FindCommand(std::string_view name) {
  for (const CommandInfo& cmd : Commands()) {
    if (name == cmd.cli) return &cmd;
  }
  return nullptr;
}

namespace {

// Levenshtein distance between two names, letters compared case-blind (so
// that a command word such as "GetReal" finds get-real).
std::size_t EditDistance(std::string_view a, std::string_view b) {
  const auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j < row.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t replaced = diagonal + (lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1);
      diagonal = row[j];
      row[j] = std::min({replaced, row[j] + 1, row[j - 1] + 1});
    }
  }
  return row.back();
}

}  // namespace

std::string UnknownCommand(std::string_view name) {
  // The nearest names, if they are near enough to be a slip: up to a third
  // of the name's letters (at least one, at most three) changed.
  const std::size_t limit = std::clamp<std::size_t>(name.size() / 3, 1, 3);
  std::size_t best = limit + 1;
  std::vector<std::string_view> nearest;
  for (const CommandInfo& cmd : Commands()) {
    const std::size_t d = EditDistance(name, cmd.cli);
    if (d < best) nearest.clear();
    if (d <= std::min(best, limit)) nearest.push_back(cmd.cli);
    best = std::min(best, d);
  }
  std::string text = "unknown command '" + std::string(name) + "'";
  nearest.resize(std::min<std::size_t>(nearest.size(), 3));
  for (std::size_t i = 0; i < nearest.size(); ++i) {
    text += i == 0 ? "; did you mean " : i + 1 == nearest.size() ? " or " : ", ";
    text += nearest[i];
  }
  return nearest.empty() ? text : text + "?";
}

Args ParseArgs(const CommandInfo& cmd, const std::vector<std::string>& words) {
  std::size_t fixed = 0;
  bool list = false;
  for (const ArgInfo& arg : cmd.args) {
    if (arg.kind == Kind::kTextList || arg.kind == Kind::kPointList) {
      list = true;
    } else {
      fixed += arg.kind == Kind::kPoint ? 2 : 1;
    }
  }
  if (words.size() < fixed || (!list && words.size() > fixed)) {
    throw UsageError(std::string(cmd.cli) + " takes " + (list ? "at least " : "") +
                     std::to_string(fixed) + (fixed == 1 ? " value" : " values") + ", got " +
                     std::to_string(words.size()) + "\nusage: kestrel " + UsageLine(cmd));
  }

  Args values;
  std::size_t pos = 0;
  for (const ArgInfo& arg : cmd.args) {
    const std::string name = Upper(arg.name);
    if (arg.kind == Kind::kPoint) {
      values.emplace_back(ToPoint(cmd, name, words, pos));
    } else if (arg.kind == Kind::kTextList) {
      std::vector<std::string> texts;
      for (; pos < words.size(); ++pos) {
        texts.push_back(std::get<std::string>(ToScalar(cmd, Kind::kText, name, words[pos])));
      }
      values.emplace_back(std::move(texts));
    } else if (arg.kind == Kind::kPointList) {
      const std::size_t rest = words.size() - pos;
      if (rest % 2 != 0) {
        throw UsageError(std::string(cmd.cli) + ": " + name + ": X Y pairs expected, got " +
                         std::to_string(rest) + " numbers");
      }
      std::vector<Point> points;
      for (std::size_t i = 0; pos < words.size(); ++i) {
        points.push_back(ToPoint(cmd, name + "[" + std::to_string(i) + "]", words, pos));
      }
      values.emplace_back(std::move(points));
    } else {
      values.push_back(ToScalar(cmd, arg.kind, name, words[pos++]));
    }
  }
  return values;
}

std::string CommandHelp(const CommandInfo& cmd) {
  std::ostringstream out;
  out << "usage: kestrel " << UsageLine(cmd) << "\n"
      << cmd.summary << "\n"
      << "Calls " << cmd.operation << ", which sends " << (*cmd.word != '\0' ? cmd.word : "nothing")
      << ".\n";
  if (!cmd.args.empty()) {
    std::size_t width = 0;
    for (const ArgInfo& arg : cmd.args) width = std::max(width, std::string(arg.name).size());
    out << "arguments:\n";
    for (const ArgInfo& arg : cmd.args) {
      const std::string name = Upper(arg.name);
      out << "  " << name << std::string(width - name.size() + 2, ' ') << TypeHelp(arg.kind)
          << "\n";
    }
  }
  out << "example: kestrel " << cmd.cli << " " << cmd.example << "\n";
  if (cmd.drawable) out << "With --svg FILE the result is also drawn.\n";
  return out.str();
}

std::string CommandListing() {
  std::string out;
  for (const CommandInfo& cmd : Commands()) {
    out += "  " + UsageLine(cmd) + "\n      " + cmd.summary + "\n";
  }
  return out;
}

std::vector<std::string> SplitScriptLine(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
        word += line[++i];
      } else if (c == '"') {
        quoted = false;
      } else {
        word += c;
      }
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else if (c == '#' && !in_word) {
      break;
    } else if (c == '"') {
      quoted = true;
      in_word = true;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (quoted) throw UsageError("unterminated quote");
  if (in_word) words.push_back(std::move(word));
  return words;
}

std::vector<Invocation> ParseScript(std::istream& in) {
  std::vector<Invocation> script;
  std::string text;
  for (int line = 1; std::getline(in, text); ++line) {
    try {
      std::vector<std::string> words = SplitScriptLine(text);
      if (words.empty()) continue;
      const CommandInfo* cmd = FindCommand(words.front());
      if (cmd == nullptr) throw UsageError(UnknownCommand(words.front()));
      words.erase(words.begin());
      script.push_back({cmd, ParseArgs(*cmd, words), line});
    } catch (const UsageError& e) {
      throw UsageError("line " + std::to_string(line) + ": " + e.what());
    }
  }
  return script;
}

Result Execute(Kestrel& client, const Invocation& invocation,
               const std::function<std::string()>& console_failure) {
  const CommandInfo& cmd = *invocation.cmd;
  Result result;
  result.command = cmd.cli;
  result.line = invocation.line;
  // The error text survives successes and payload failures; clearing it
  // first makes whatever is there afterwards this call's own.
  client.Kestrel_ClearErrorString();
  Outputs outputs;
  result.ok = cmd.run(client, cmd, invocation.args, outputs);
  if (result.ok) {
    result.outputs = std::move(outputs);
    return result;
  }
  result.error = GbkToUtf8(client.Kestrel_GetErrorString());
  if (result.error == kNoReply) result.error += " (no valid reply from the server)";
  if (result.error.empty() && console_failure) result.error = console_failure();
  if (result.error.empty() && cmd.no_reason != nullptr) result.error = cmd.no_reason;
  if (result.error.empty()) result.error = "failed";
  return result;
}

}  // namespace kestrel_cli
