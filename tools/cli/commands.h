// The commands of the `kestrel` command-line client and the strict
// conversion of command-line words into the arguments of each operation.
//
// The commands are the rows of the tools' catalogue (catalogue/commands.def);
// a generic binder calls each row's operation with the converted arguments
// and turns its output parameters into named outputs. Usage lines, help,
// script parsing and the runner are derived from the rows.
#ifndef KESTREL_CLI_COMMANDS_H
#define KESTREL_CLI_COMMANDS_H

#include <cstddef>
#include <functional>
#include <istream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "catalogue/catalogue.h"
#include "kestrel/kestrel.h"

namespace kestrel_cli {

// An argument is a parameter of the catalogue that the tools ask for; its
// kind says how it is written on the command line: text (one word, sent as
// GBK), int (a whole number), number (finite), flag (true, false, 1 or 0),
// point (two numbers X Y), and the lists, which take all remaining words
// (possibly none), the point list as X Y pairs.
using ArgInfo = kestrel::catalogue::Param;

// A converted argument value; which alternative is held follows the kind.
using ArgValue = std::variant<std::string, int, double, bool, Point, std::vector<std::string>,
                              std::vector<Point>>;

// The converted arguments of one invocation, in the row's order.
using Args = std::vector<ArgValue>;

// One match of a template: centre, angle and score.
struct Match {
  Point center;
  double angle = 0.0;
  double score = 0.0;
};

// A value the server handed back.
using OutValue =
    std::variant<int, double, std::string, Point, Match, std::vector<Point>, std::vector<Match>>;

struct Output {
  std::string name;  // snake_case, as it appears in the JSON object
  OutValue value;
};
using Outputs = std::vector<Output>;

// Calls the row's operation with the converted arguments, appends its outputs
// and returns the operation's result.
using RunFn = bool (*)(Kestrel& client, const kestrel::catalogue::Command& row, const Args& args,
                       Outputs& outputs);

// A command: the catalogue row (names, summary, operation, failure text,
// ...) with what the client needs of it at hand.
struct CommandInfo : kestrel::catalogue::Command {
  std::vector<ArgInfo> args;  // the parameters the tools ask for, in the row's order
  RunFn run;
};

// The table, one row per command operation, in the library's order.
const std::vector<CommandInfo>& Commands();

// The row named `name`, or null.
const CommandInfo* FindCommand(std::string_view name);

// "unknown command 'NAME'", with the commands whose names are nearest to
// NAME when they are near enough to be meant ("; did you mean get-real?").
std::string UnknownCommand(std::string_view name);

// A mistake in how a command was written: wrong word count, a value that does
// not convert, an unknown command. The tool exits with code 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Converts the words that follow the command name into its arguments; throws
// UsageError naming the offending argument.
Args ParseArgs(const CommandInfo& cmd, const std::vector<std::string>& words);

// Several lines on one command: usage, summary, operation and command word,
// the arguments with their types, and the example.
std::string CommandHelp(const CommandInfo& cmd);

// Two lines per command, its usage and its summary, for the overall help.
std::string CommandListing();

// One command of a script or of the command line, ready to run.
struct Invocation {
  const CommandInfo* cmd = nullptr;
  Args args;
  int line = 0;  // line in the script, 0 for the command line
};

// Splits a script line into words: blanks separate words, double quotes
// group a word (with \" and \\ inside), and '#' outside quotes starts a
// comment. Throws UsageError on an unterminated quote.
std::vector<std::string> SplitScriptLine(std::string_view line);

// Reads a whole script and converts every command in it before anything is
// run; throws UsageError whose text starts with "line N:".
std::vector<Invocation> ParseScript(std::istream& in);

// What one command did.
struct Result {
  std::string command;
  int line = 0;  // script line, 0 for the command line
  bool ok = false;
  Outputs outputs;    // empty when the command failed
  std::string error;  // UTF-8; empty when the command succeeded
};

// Runs one invocation on a connected client. A failure is explained by the
// first of: the client's error text of this very call, `console_failure()`
// (the last red console line, say), the row's no_reason, a plain "failed".
Result Execute(Kestrel& client, const Invocation& invocation,
               const std::function<std::string()>& console_failure = {});

}  // namespace kestrel_cli

#endif  // KESTREL_CLI_COMMANDS_H
