// Fault rules (the reply rewrites are seen on the wire in sim_server_test.cpp)
// and the simulator's command line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "sim/cli.h"
#include "sim/faults.h"

namespace kestrel::sim {
namespace {

using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

// Rule forms that the fault table of sim_server_test.cpp does not use.
TEST(SimFaultSyntax, ReadsArgumentsAndDefaults) {
  const Fault head = ParseFault("GetGain/3:wrong-head:SetGain");
  EXPECT_TRUE(head.word == "GetGain" && head.limit == 3 && head.text == "SetGain");
  EXPECT_EQ(ParseFault("GetGain:bad-type:WAIT").text, "WAIT");
  EXPECT_EQ(ParseFault("WaferEdge:ng:lens error: code 7").text, "lens error: code 7");
  EXPECT_EQ(ParseFault("GetReal:oversized").count, 20000);
  EXPECT_EQ(ParseFault("*:silent").written, "*:silent");
}

TEST(SimFaultPlan, FirstMatchingRuleWithUsesLeftApplies) {
  FaultPlan plan({ParseFault("GetGain/2:close-after:3"), ParseFault("GetReal/2:ng:first two"),
                  ParseFault("*:bad-type")});
  ASSERT_EQ(plan.close_rules(), std::vector<std::size_t>{0});
  EXPECT_EQ(plan.Take("GetGain")->kind, FaultKind::kBadType) << "close-after is no reply rule";
  EXPECT_EQ(plan.Take("GetReal")->kind, FaultKind::kNg);
  EXPECT_EQ(plan.Take("GetReal")->kind, FaultKind::kNg);
  EXPECT_EQ(plan.Take("GetReal")->kind, FaultKind::kBadType) << "the /2 budget is spent";
}

TEST(SimFaultPlan, ScenarioSkipsCommentsAndNamesTheBadLine) {
  std::istringstream good(
      "# integrator scenario\n\n  GetReal:delay:100  \n\t# indented comment\n"
      "*/3:ng:message with # inside\n");
  const auto faults = ParseScenario(good, "good.txt");
  ASSERT_EQ(faults.size(), 2u);
  EXPECT_EQ(faults[0].ms, 100);
  EXPECT_EQ(faults[1].text, "message with # inside");
  std::istringstream bad("GetReal:silent\n\nGetReal:wobble\n");
  EXPECT_THAT([&] { ParseScenario(bad, "bad.txt"); },
              ThrowsMessage<std::invalid_argument>(HasSubstr("bad.txt:3:")));
}

// Bad fault rules among them.
TEST(SimCommandLine, RefusesBadValuesWithAReason) {
  // clang-format off
  const std::pair<std::vector<const char*>, const char*> cases[] = {
      {{"--fault", "GetReal"}, "WORD[/K]:KIND"},
      {{"--fault", "GetRael:silent"}, "unknown command word 'GetRael'"},
      {{"--fault", "GetReal:explode"}, "unknown fault kind 'explode'"},
      {{"--fault", "GetReal/0:silent"}, "at least 1"}, {{"--fault", "GetReal:delay"}, "delay:MS"},
      {{"--fault", "GetReal:delay:-5"}, "at least 0"},
      {{"--fault", "GetReal:silent:3"}, "takes no argument"},
      {{"--fault", "GetReal:chunks:3"}, "chunks:N:MS"},
      {{"--fault", "GetReal:close-after:0"}, "at least 1"},
      {{"--fault", "GetReal:bad-type:OK"}, "differ from OK and NG"},
      {{"--fault", "GetReal:wrong-head:a,b"}, "without ','"},
      {{"--calibration", "Cam1=1,2,3"}, "NAME=sx,sy,ox,oy,deg"},
      {{"--calibration", "Cam1=0,1,0,0,0"}, "scale of zero"},
      {{"--rotate-center", "Cam1=1,x"}, "'x' in 'Cam1=1,x' is not a number"},
      {{"--scenario", "/nonexistent/scenario.txt"}, "scenario"},
      {{"--port", "70000"}, "--port"}};
  // clang-format on
  for (auto [args, reason] : cases) {
    args.insert(args.begin(), "kestrel-sim");
    Settings s;
    std::ostringstream out, err;
    EXPECT_GT(ParseCommandLine(static_cast<int>(args.size()), args.data(), s, out, err), 0);
    EXPECT_THAT(err.str(), HasSubstr(reason));
  }
}

}  // namespace
}  // namespace kestrel::sim
