// The command table and the strict conversion of command-line words.
#include "commands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace {

using kestrel_cli::ArgType;
using kestrel_cli::Commands;
using kestrel_cli::FindCommand;
using kestrel_cli::ParseArgs;
using kestrel_cli::SplitScriptLine;
using kestrel_cli::UsageError;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

TEST(CliParseArgs, OnlyTheWordCountOfEachExampleIsTaken) {
  for (const auto& cmd : Commands()) {
    SCOPED_TRACE(cmd.name);
    const std::vector<std::string> words = SplitScriptLine(cmd.example);  // run in run_test.cpp
    const bool list = std::any_of(cmd.args.begin(), cmd.args.end(), [](const auto& a) {
      return a.type == ArgType::kTextList || a.type == ArgType::kPointList;
    });
    std::vector<std::string> more = words, fewer(words.begin(), words.end() - 1);
    more.insert(more.end(), {"1", "1"});  // two more: a point list stays even
    if (list) {
      EXPECT_NO_THROW(ParseArgs(cmd, more));
    } else {
      EXPECT_THROW(ParseArgs(cmd, more), UsageError);
      EXPECT_THROW(ParseArgs(cmd, fewer), UsageError);
    }
  }
}

TEST(CliParseArgs, NamesTheArgumentThatDoesNotConvert) {
  const struct {
    const char *command, *words, *message;
  } cases[] = {
      {"get-real", "Cam1", "get-real takes 3 values, got 1"},
      {"set-gain", "Cam1 1.5x", "GAIN: '1.5x' is not a number"},
      {"set-gain", "Cam1 \"\"", "GAIN: '' is not a number"},
      {"set-gain", "Cam1 nan", "GAIN: 'nan' is not a finite number"},
      {"set-gain", "Cam1 1e999", "GAIN: '1e999' is not a finite number"},
      {"set-light", "Cam1 1.5", "INTENSITY: '1.5' is not a whole number"},
      {"set-light", "Cam1 99999999999", "INTENSITY: '99999999999' is out of range"},
      {"set-cam-control-visible", "W1 C1 yes", "VISIBLE: 'yes' is not true, false, 1 or 0"},
      {"set-gain", "\xF0\x9F\x98\x80 1", "CAMERA: '\xF0\x9F\x98\x80' has a character that GBK"},
      {"fix-circle", "1 2 3", "POINTS: X Y pairs expected, got 3 numbers"},
      {"fix-circle", "1 2 3 y", "POINTS[1].Y: 'y' is not a number"},
  };
  for (const auto& c : cases) {
    EXPECT_THAT([&] { ParseArgs(*FindCommand(c.command), SplitScriptLine(c.words)); },
                ThrowsMessage<UsageError>(HasSubstr(c.message)))
        << c.command << " " << c.words;
  }
}

TEST(CliParseArgs, ConvertsEachType) {
  // What the examples (sent in run_test.cpp) leave out: GBK text, number forms,
  // flags as 1 and 0, and list elements that are empty or absent.
  const auto a =
      ParseArgs(*FindCommand("mult-template-match"),
                SplitScriptLine("\xE7\x9B\xB8\xE6\x9C\xBA M -3 R -20.5 1e3 .25 1 0 D 0 -0 2"));
  EXPECT_STREQ(a.text(0), "\xCF\xE0\xBB\xFA");  // UTF-8 typed, GBK sent
  EXPECT_EQ(a.integer(2), -3);
  EXPECT_TRUE(a.point(4).X == -20.5 && a.point(4).Y == 1000.0 && a.number(5) == 0.25);
  EXPECT_TRUE(a.flag(6) && !a.flag(7));
  EXPECT_THROW(a.number(0), std::logic_error);  // a row asking for the wrong type
  const auto& set_color = *FindCommand("set-target-color");
  EXPECT_TRUE(ParseArgs(set_color, SplitScriptLine("Cam1")).texts(1).empty());
  EXPECT_EQ(ParseArgs(set_color, SplitScriptLine("Cam1 red \"\" blue")).texts(1),
            (std::vector<std::string>{"red", "", "blue"}));
  EXPECT_TRUE(ParseArgs(*FindCommand("fix-circle"), {}).points(0).empty());
}

TEST(CliScript, LinesSplitAtBlanksKeepQuotesDropCommentsAndErrorsNameTheirLine) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"   # only a comment", {}},
      {"  get-gain\tCam1   # trailing comment\r", {"get-gain", "Cam1"}},
      {"template-create \"my mark\" Cam1", {"template-create", "my mark", "Cam1"}},
      {"x \"say \\\"hi\\\" \\\\\" y", {"x", "say \"hi\" \\", "y"}},
      {"x \"\" y", {"x", "", "y"}},
      {"x Mark#1 #c", {"x", "Mark#1"}},
      {"a\"b c\"d", {"ab cd"}},
  };
  for (const auto& [line, words] : cases) EXPECT_EQ(SplitScriptLine(line), words) << line;
  const std::pair<const char*, const char*> bad[] = {
      {"# calibration\r\nget-gain Cam1\nfrobnicate 1\n", "line 3: unknown command 'frobnicate'"},
      {"get-gain \"Cam1\n", "line 1: unterminated quote"},
  };
  for (const auto& [text, message] : bad) {
    std::istringstream in(text);
    EXPECT_THAT([&] { kestrel_cli::ParseScript(in); },
                ThrowsMessage<UsageError>(HasSubstr(message)));
  }
}

}  // namespace
