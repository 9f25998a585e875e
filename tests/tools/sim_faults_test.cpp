// Fault rules: their syntax, the reply rewrites and the request budgets.
#include <gtest/gtest.h>

#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "sim/faults.h"

namespace kestrel::sim {
namespace {

struct GoodRule {
  const char* rule;
  const char* word;
  int limit;
  FaultKind kind;
  int ms;
  int count;
  const char* text;
};
std::ostream& operator<<(std::ostream& os, const GoodRule& g) { return os << g.rule; }

class SimFaultSyntax : public ::testing::TestWithParam<GoodRule> {};

TEST_P(SimFaultSyntax, ParsesEveryPart) {
  const GoodRule& g = GetParam();
  Fault f = ParseFault(g.rule);
  EXPECT_EQ(f.word, g.word);
  EXPECT_EQ(f.limit, g.limit);
  EXPECT_EQ(f.kind, g.kind);
  EXPECT_EQ(f.ms, g.ms);
  EXPECT_EQ(f.count, g.count);
  EXPECT_EQ(f.text, g.text);
  EXPECT_EQ(f.written, g.rule);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SimFaultSyntax,
    ::testing::Values(
        GoodRule{"GetReal:delay:1500", "GetReal", 0, FaultKind::kDelay, 1500, 0, ""},
        GoodRule{"*:silent", "*", 0, FaultKind::kSilent, 0, 0, ""},
        GoodRule{"GetGain/3:silent", "GetGain", 3, FaultKind::kSilent, 0, 0, ""},
        GoodRule{"GetGain:wrong-head", "GetGain", 0, FaultKind::kWrongHead, 0, 0, "WrongHead"},
        GoodRule{"GetGain:wrong-head:SetGain", "GetGain", 0, FaultKind::kWrongHead, 0, 0,
                 "SetGain"},
        GoodRule{"GetGain:bad-type:WAIT", "GetGain", 0, FaultKind::kBadType, 0, 0, "WAIT"},
        GoodRule{"WaferEdge:ng:lens error: code 7", "WaferEdge", 0, FaultKind::kNg, 0, 0,
                 "lens error: code 7"},
        GoodRule{"*/1:unframed", "*", 1, FaultKind::kUnframed, 0, 0, ""},
        GoodRule{"GetReal:oversized", "GetReal", 0, FaultKind::kOversized, 0, 20000, ""},
        GoodRule{"KerfCheck:chunks:4:250", "KerfCheck", 0, FaultKind::kChunks, 250, 4, ""},
        GoodRule{"*:close-after:5", "*", 0, FaultKind::kCloseAfter, 0, 5, ""},
        GoodRule{"GetReal/2:close-after:1", "GetReal", 2, FaultKind::kCloseAfter, 0, 1, ""}));

struct BadRule {
  const char* rule;
  const char* reason_part;
};
std::ostream& operator<<(std::ostream& os, const BadRule& b) { return os << b.rule; }

class SimFaultSyntaxError : public ::testing::TestWithParam<BadRule> {};

TEST_P(SimFaultSyntaxError, IsRefusedWithAReason) {
  try {
    ParseFault(GetParam().rule);
    FAIL() << GetParam().rule << " was accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find(GetParam().reason_part), std::string::npos) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SimFaultSyntaxError,
    ::testing::Values(BadRule{"GetReal", "WORD[/K]:KIND"},
                      BadRule{"GetRael:silent", "unknown command word 'GetRael'"},
                      BadRule{"GetReal:explode", "unknown fault kind 'explode'"},
                      BadRule{"GetReal/0:silent", "at least 1"},

                      BadRule{"GetReal:delay", "delay:MS"},
                      BadRule{"GetReal:delay:-5", "at least 0"},

                      BadRule{"GetReal:silent:3", "takes no argument"},
                      BadRule{"GetReal:chunks:3", "chunks:N:MS"},

                      BadRule{"GetReal:close-after:0", "at least 1"},

                      BadRule{"GetReal:bad-type:OK", "differ from OK and NG"},
                      BadRule{"GetReal:wrong-head:a,b", "without ','"}));

TEST(SimFaultPlan, FirstMatchingRuleWithUsesLeftApplies) {
  FaultPlan plan({ParseFault("GetReal/2:ng:first two"), ParseFault("*:bad-type"),
                  ParseFault("GetGain:close-after:3")});
  ASSERT_EQ(plan.close_rules().size(), 1u);
  EXPECT_EQ(plan.faults()[plan.close_rules()[0]].count, 3);

  EXPECT_EQ(plan.Take("GetReal")->kind, FaultKind::kNg);
  EXPECT_EQ(plan.Take("GetGain")->kind, FaultKind::kBadType);
  EXPECT_EQ(plan.Take("GetReal")->kind, FaultKind::kNg);
  EXPECT_EQ(plan.Take("GetReal")->kind, FaultKind::kBadType) << "the /2 budget is spent";

  FaultPlan only_once({ParseFault("GetReal/1:silent"), ParseFault("SetGain/2:close-after:1")});
  EXPECT_NE(only_once.Take("GetReal"), nullptr);
  EXPECT_EQ(only_once.Take("GetReal"), nullptr);
  EXPECT_EQ(only_once.Take("SetGain"), nullptr) << "close-after is no reply rule";
  EXPECT_TRUE(only_once.TakeClose(1));
  EXPECT_TRUE(only_once.TakeClose(1));
  EXPECT_FALSE(only_once.TakeClose(1));
}

TEST(SimFaultPlan, ScenarioSkipsCommentsAndNamesTheBadLine) {
  std::istringstream good(
      "# integrator scenario\n"
      "\n"
      "  GetReal:delay:100  \n"
      "\t# indented comment\n"
      "*/3:ng:message with # inside\n");
  auto faults = ParseScenario(good, "good.txt");
  ASSERT_EQ(faults.size(), 2u);
  EXPECT_EQ(faults[0].kind, FaultKind::kDelay);
  EXPECT_EQ(faults[0].ms, 100);
  EXPECT_EQ(faults[1].text, "message with # inside");

  std::istringstream bad("GetReal:silent\n\nGetReal:wobble\n");
  try {
    ParseScenario(bad, "bad.txt");
    FAIL() << "accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("bad.txt:3:"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace kestrel::sim
