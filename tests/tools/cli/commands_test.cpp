// The command table and the strict conversion of command-line words.
#include "commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using kestrel_cli::Args;
using kestrel_cli::CommandInfo;
using kestrel_cli::Commands;
using kestrel_cli::FindCommand;
using kestrel_cli::ParseArgs;
using kestrel_cli::UsageError;

std::vector<std::string> Words(const std::string& text) {
  return kestrel_cli::SplitScriptLine(text);
}

std::string UsageMessage(const std::string& command, const std::string& words) {
  try {
    ParseArgs(*FindCommand(command), Words(words));
  } catch (const UsageError& e) {
    return e.what();
  }
  return "(accepted)";
}

TEST(CommandTable, HasOneRowPerCommandOperation) {
  const std::set<std::string> wanted = {"set-gain",
                                        "get-gain",
                                        "set-exposure",
                                        "get-exposure",
                                        "set-light",
                                        "get-light",
                                        "set-light-and-exposure",
                                        "start-grab",
                                        "stop-grab",
                                        "clear-camera-image",
                                        "get-camera-scale",
                                        "set-target-color",
                                        "switch-to-camera",
                                        "set-cam-control-visible",
                                        "show-cut-line",
                                        "auto-focus",
                                        "template-create",
                                        "mult-template-match",
                                        "template-match",
                                        "template-match-scell",
                                        "wafer-edge",
                                        "kerf-check",
                                        "lg-kerf-check",
                                        "fix-circle",
                                        "get-real",
                                        "get-ruler",
                                        "get-real-by-pixel-point",
                                        "get-target-cam-real",
                                        "mw-cal-another-point-real",
                                        "get-rotate-center",
                                        "get-line-angle",
                                        "get-point-after-rotate-real"};
  std::set<std::string> names;
  std::set<std::string> operations;
  for (const CommandInfo& cmd : Commands()) {
    names.insert(cmd.name);
    operations.insert(cmd.operation);
    EXPECT_EQ(FindCommand(cmd.name), &cmd);
  }
  EXPECT_EQ(names, wanted);
  EXPECT_EQ(operations.size(), Commands().size()) << "two rows call one operation";
  EXPECT_EQ(FindCommand("GetReal"), nullptr);
}

class EveryCommand : public testing::TestWithParam<std::size_t> {
 protected:
  const CommandInfo& cmd() const { return Commands()[GetParam()]; }
};

TEST_P(EveryCommand, ParsesItsOwnExample) {
  const Args args = ParseArgs(cmd(), Words(cmd().example));
  EXPECT_EQ(args.size(), cmd().args.size());
  EXPECT_NE(kestrel_cli::CommandHelp(cmd()).find(cmd().example), std::string::npos);
}

TEST_P(EveryCommand, RefusesAWrongWordCount) {
  std::vector<std::string> words = Words(cmd().example);
  const bool has_list = std::any_of(cmd().args.begin(), cmd().args.end(), [](const auto& a) {
    return a.type == kestrel_cli::ArgType::kTextList || a.type == kestrel_cli::ArgType::kPointList;
  });
  std::vector<std::string> more = words;
  more.push_back("1");
  more.push_back("1");  // two more: a point list stays even
  if (has_list) {
    EXPECT_NO_THROW(ParseArgs(cmd(), more));
  } else {
    EXPECT_THROW(ParseArgs(cmd(), more), UsageError);
    if (!words.empty()) {
      words.pop_back();
      EXPECT_THROW(ParseArgs(cmd(), words), UsageError);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, EveryCommand, testing::Range<std::size_t>(0, Commands().size()),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                           std::string name = Commands()[info.param].name;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

struct BadCase {
  const char* command;
  const char* words;
  const char* message;  // part of the usage error
};

TEST(ParseArgs, NamesTheArgumentThatDoesNotConvert) {
  const BadCase cases[] = {
      {"get-real", "Cam1 1 x", "get-real: POINT.Y: 'x' is not a number"},
      {"get-real", "Cam1 1 2", "(accepted)"},
      {"get-real", "Cam1", "get-real takes 3 values, got 1"},
      {"set-gain", "Cam1 1.5x", "GAIN: '1.5x' is not a number"},
      {"set-gain", "Cam1 \"\"", "GAIN: '' is not a number"},
      {"set-gain", "Cam1 nan", "GAIN: 'nan' is not a finite number"},
      {"set-gain", "Cam1 1e999", "GAIN: '1e999' is not a finite number"},
      {"set-light", "Cam1 1.5", "INTENSITY: '1.5' is not a whole number"},
      {"set-light", "Cam1 99999999999", "INTENSITY: '99999999999' is out of range"},
      {"set-cam-control-visible", "W1 C1 yes", "VISIBLE: 'yes' is not true, false, 1 or 0"},
      {"set-cam-control-visible", "W1 C1 TRUE", "VISIBLE: 'TRUE'"},
      {"fix-circle", "1 2 3", "POINTS: X Y pairs expected, got 3 numbers"},
      {"fix-circle", "1 2 3 y", "POINTS[1].Y: 'y' is not a number"},
      {"get-line-angle", "0 0 10", "takes 4 values, got 3"},
  };
  for (const BadCase& c : cases) {
    EXPECT_NE(UsageMessage(c.command, c.words).find(c.message), std::string::npos)
        << c.command << " " << c.words << " -> " << UsageMessage(c.command, c.words);
  }
}

TEST(ParseArgs, ConvertsEachType) {
  const Args a = ParseArgs(*FindCommand("mult-template-match"),
                           Words("\xE7\x9B\xB8\xE6\x9C\xBA M -3 R -20.5 1e3 .25 1 0 D 0 -0 2"));
  EXPECT_STREQ(a.text(0), "\xCF\xE0\xBB\xFA");  // UTF-8 typed, GBK sent
  EXPECT_EQ(a.integer(2), -3);
  EXPECT_DOUBLE_EQ(a.point(4).X, -20.5);
  EXPECT_DOUBLE_EQ(a.point(4).Y, 1000.0);
  EXPECT_DOUBLE_EQ(a.number(5), 0.25);
  EXPECT_TRUE(a.flag(6));
  EXPECT_FALSE(a.flag(7));
  EXPECT_THROW(a.number(0), std::logic_error);  // a row asking for the wrong type

  const Args none = ParseArgs(*FindCommand("set-target-color"), Words("Cam1"));
  EXPECT_TRUE(none.texts(1).empty());
  const Args colors = ParseArgs(*FindCommand("set-target-color"), Words("Cam1 red \"\" blue"));
  EXPECT_EQ(colors.texts(1), (std::vector<std::string>{"red", "", "blue"}));
  const Args circle = ParseArgs(*FindCommand("fix-circle"), Words("1 2 -3.5 4"));
  ASSERT_EQ(circle.points(0).size(), 2u);
  EXPECT_DOUBLE_EQ(circle.points(0)[1].X, -3.5);
}

TEST(SplitScriptLine, SplitsQuotesAndComments) {
  const struct {
    const char* line;
    std::vector<std::string> words;
  } cases[] = {
      {"", {}},
      {"   # only a comment", {}},
      {"get-gain Cam1", {"get-gain", "Cam1"}},
      {"  get-gain\tCam1   # trailing comment\r", {"get-gain", "Cam1"}},
      {"template-create \"my mark\" Cam1", {"template-create", "my mark", "Cam1"}},
      {"x \"say \\\"hi\\\" \\\\\" y", {"x", "say \"hi\" \\", "y"}},
      {"x \"\" y", {"x", "", "y"}},
      {"x Mark#1 #c", {"x", "Mark#1"}},
      {"a\"b c\"d", {"ab cd"}},
  };
  for (const auto& c : cases) EXPECT_EQ(Words(c.line), c.words) << c.line;
  EXPECT_THROW(Words("x \"open"), UsageError);
}

TEST(ParseScript, KeepsLineNumbersAndReportsTheBadLine) {
  std::istringstream good("# calibration\n\nget-gain Cam1\r\n  get-real Cam1 1 2 # here\n");
  const std::vector<kestrel_cli::Invocation> script = kestrel_cli::ParseScript(good);
  ASSERT_EQ(script.size(), 2u);
  EXPECT_STREQ(script[0].cmd->name, "get-gain");
  EXPECT_EQ(script[0].line, 3);
  EXPECT_EQ(script[1].line, 4);

  const struct {
    const char* text;
    const char* message;
  } bad[] = {
      {"get-gain Cam1\nfrobnicate 1\n", "line 2: unknown command 'frobnicate'"},
      {"get-gain Cam1\n\nset-light Cam1 high\n", "line 3: set-light: INTENSITY: 'high'"},
      {"get-gain \"Cam1\n", "line 1: unterminated quote"},
  };
  for (const auto& c : bad) {
    std::istringstream in(c.text);
    try {
      kestrel_cli::ParseScript(in);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

}  // namespace
