// The simulator's protocol handler driven with request lines, its fault
// rules (their replies are seen on the wire in sim_server_test.cpp) and its
// command line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/cli.h"
#include "sim/protocol.h"

namespace kestrel::sim {
namespace {

using ::testing::HasSubstr;

std::vector<std::string> Fields(const std::string& text, char sep) {
  std::vector<std::string> out;
  for (std::size_t start = 0, at = 0; at != std::string::npos; start = at + 1) {
    at = text.find(sep, start);
    out.push_back(text.substr(start, at - start));
  }
  return out;
}

// A framed reply's head, type and payload.
std::vector<std::string> Split(const std::string& line) {
  EXPECT_TRUE(line.size() >= 2 && line.front() == '<' && line.back() == '>') << line;
  const std::string inner = line.substr(1, line.size() - 2);
  const std::size_t a = inner.find(','), b = inner.find(',', a + 1);
  if (b == std::string::npos) return {inner, "", ""};
  return {inner.substr(0, a), inner.substr(a + 1, b - a - 1), inner.substr(b + 1)};
}

// The entries of an OK list reply (a count, then entries of `width` numbers
// joined by '&'), within the client's buffer.
std::vector<std::vector<double>> ListEntries(const std::string& reply, std::size_t width) {
  EXPECT_LE(reply.size() + 2, kListReplyBudget);
  const auto r = Split(reply);
  const auto entries = Fields(r[2], ',');
  EXPECT_EQ(r[1] + "," + entries.at(0), "OK," + std::to_string(entries.size() - 1)) << reply;
  std::vector<std::vector<double>> out;
  for (std::size_t i = 1; i < entries.size(); ++i) {
    out.emplace_back();
    for (const auto& f : Fields(entries[i], '&')) out.back().push_back(std::stod(f));
    EXPECT_EQ(out.back().size(), width) << entries[i];
    out.back().resize(width);
  }
  return out;
}

// Requests ('|' between them) and the reply to the last one: the whole reply,
// or for a refusal the start of its NG message.
struct Exchange {
  const char* requests;
  const char* reply;
};
std::ostream& operator<<(std::ostream& os, const Exchange& e) { return os << e.requests; }

class SimExchange : public ::testing::TestWithParam<Exchange> {};

TEST_P(SimExchange, ReplyIsTheModels) {
  SimConfig cfg;
  cfg.calibrations["CamR"] = Calibration{0.01, 0.02, 5.0, -3.0, 90.0};
  cfg.rotate_centers["CamR"] = Point2{10.0, 20.0};
  Simulator sim(cfg);
  std::string reply;
  for (const auto& request : Fields(GetParam().requests, '|')) reply = sim.Handle(request);
  if (*GetParam().reply == '<') {
    EXPECT_EQ(reply, GetParam().reply);
  } else {
    EXPECT_THAT(reply, HasSubstr(std::string(",NG,") + GetParam().reply));
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Words, SimExchange, ::testing::Values(
    Exchange{"GetGain,Cam1", "<Unknown,NG,request is not framed by '<' and '>'>"},
    // (100, 50) px -> scaled (1, 1) -> rotated 90 deg (-1, 1) -> shifted (4, -2)
    Exchange{"<GetReal,CamR,100.000000,50.000000>", "<GetReal,OK,4.000000&-2.000000>"},
    Exchange{"<GetReal,Cam1,100,-20.5>", "<GetReal,OK,0.250000&-0.051250>"},
    Exchange{"<GetRuler,CamR,100,50>", "<GetRuler,OK,1.000000&1.000000>"},
    Exchange{"<GetRealByPixelPoint,CamR,0,0,200,100>", "<GetRealByPixelPoint,OK,4.000000&-2.000000>"},
    // real (4, -2) of a default camera (0.0025 mm/px) is pixel (100, 50) of CamR
    Exchange{"<CovertPointCameraAToB,Cam1,CamR,1600,-800>",
             "<CovertPointCameraAToB,OK,100.000000&50.000000>"},
    Exchange{"<MwCalAnotherPointReal,CamR,100,50,2,180>", "<MwCalAnotherPointReal,OK,2.000000&-2.000000>"},
    Exchange{"<GetRotateCenter,CamR>", "<GetRotateCenter,OK,10.000000&20.000000>"},
    Exchange{"<GetRotateCenter,Other>", "<GetRotateCenter,OK,1024.000000&768.000000>"},
    Exchange{"<GetLineAngle,0,0,-1,0>", "<GetLineAngle,OK,180.000000>"},
    Exchange{"<GetLineAngle,3,4,3,-1>", "<GetLineAngle,OK,-90.000000>"},
    // (1, 2) about (3, 4) by +90 degrees: counter-clockwise
    Exchange{"<GetPointAfterRotate_Real,1,2,3,4,90>", "<GetPointAfterRotate_Real,OK,5.000000&2.000000>"},
    Exchange{"<FixCircle,4,1,0,0,1,-1,0,0,-1>", "<FixCircle,OK,0.000000&0.000000,1.000000>"},
    // the best focus is the middle of [v1, v2]; the text holds a comma
    Exchange{"<AutoFocus,Cam1,2,0.5,1.5,0.01,3,0>",
             "<AutoFocus,OK,1.000000,focus done on Cam1, 2 passes, step 0.010000>"},
    // remembered per camera; 1e20 is too long for fixed notation in 64 bytes
    Exchange{"<SetExposure,Cam1,1e20>|<GetExposure,Cam1>", "<GetExposure,OK,1e+20>"},
    Exchange{"<SetIntensity,Cam1,200>|<GetIntensity,Other>", "<GetIntensity,OK,128>"},
    Exchange{"<AdjustBrightness,Cam1,A,120,0>|<GetIntensity,Cam1>", "<GetIntensity,OK,120>"},
    // flag 1 puts the exposure back to its default, 0 leaves it
    Exchange{"<SetExposure,Cam1,5>|<AdjustBrightness,Cam1,A,120,1>|<GetExposure,Cam1>",
             "<GetExposure,OK,10000.000000>"},
    Exchange{"<SetExposure,Cam1,5>|<AdjustBrightness,Cam1,A,120,0>|<GetExposure,Cam1>",
             "<GetExposure,OK,5.000000>"},
    // a single empty field is the client's form of an empty list
    Exchange{"<SetStateColor,Cam1,red,,blue>", "<SetStateColor,OK,3>"},
    Exchange{"<SetStateColor,Cam1,>", "<SetStateColor,OK,0>"},
    // Refusals; the heads of NG replies are checked by the field-count test.
    Exchange{"<GetGain,Cam1", "request is not framed"}, Exchange{"", "empty request line"},
    Exchange{"<>", "request has no command word"},
    Exchange{"<SetGian,Cam1,1>", "unknown command word 'SetGian'"},
    Exchange{"<SetGain,Cam1>", "SetGain expects 2 fields (camera,gain), got 1"},
    Exchange{"<SetGain,Cam1,fast>", "gain is not a number: 'fast'"},
    Exchange{"<SetIntensity,Cam1,2.5>", "intensity is not a whole number"},
    Exchange{"<SetGain,,1>", "camera is empty"},
    Exchange{"<AdjustBrightness,B,A,120,true>", "flag must be 1 or 0"},
    Exchange{"<CameraWinVisibleControl,W1,1,C1>", "visible must be true or false"},
    Exchange{"<ShowBaseLineWidth,Cam1,-1>", "width must not be negative"},
    Exchange{"<GetLineAngle,1,1,1,1>", "the two points coincide"},
    Exchange{"<WaferEdge,ta,tb,1,2,TRUE>", "flag must be true or false"},
    Exchange{"<AutoFocus,Cam1,2,0.5,1.5,0.01,x,0>", "v4 is not a number"},
    Exchange{"<KerfCheck,ta,tb,1,30,-3,1,1,1,2,1,1,1,1,1,1,1,1,1,1,1,yes,td,1,tc>", "flag must be"},
    Exchange{"<KerfCheck,ta,tb,1,30,-3.5,1,1,1,2,1,1,1,1,1,1,1,1,1,1,1,true,td,1,tc>", "number1 is not"},
    Exchange{"<FixCircle,0,>", "a circle needs at least three points"},
    Exchange{"<FixCircle,-1,>", "point count -1 does not match"},
    Exchange{"<FixCircle,3,0,0,1,1>", "point count 3 does not match the number of coordinates 4"},
    Exchange{"<FixCircle,3,0,0,1,1,2,2>", "points are collinear"},
    Exchange{"<FixCircle,3,5,5,5,5,5,5>", "points are collinear"},
    Exchange{"<Template_Match,Cam1,none,r,1,0,0,0,0,0,0,true,false,t>", "no template 'none' on Cam1"},
    // templates are keyed by the first two fields of both requests
    Exchange{"<Template_Create,Cam1,mark,r,3>|<Template_Match,mark,Cam1,r,1,0,0,0,0,0,0,true,false,t>",
             "no template 'Cam1' on mark"},
    Exchange{"<Template_Create,Cam1,,r,1>", "template name is empty"}));
// clang-format on

TEST(SimProtocol, VocabularyAndFieldCountsAreTheProtocols) {
  // Each word with the count of its fields after the word ('+': or more).
  std::istringstream table(
      "SetGain 2 SetExposure 2 SetIntensity 2 AdjustBrightness 4 GetGain 1 GetExposure 1 "
      "GetIntensity 1 StartGrab 1 StopGrab 1 ClearCameraIamge 1 SwitchToTheCamera 2 "
      "CameraWinVisibleControl 3 ShowBaseLineWidth 2 SetStateColor 2+ GetScale 1 AutoFocus 7 "
      "Template_Create 4 Template_Match 13 SmallCellTemMatch 13 WaferEdge 5 KerfCheck 24 "
      "FixCircle 2+ GetReal 3 GetRuler 3 GetRealByPixelPoint 5 CovertPointCameraAToB 4 "
      "MwCalAnotherPointReal 5 GetRotateCenter 1 GetLineAngle 4 GetPointAfterRotate_Real 5");
  SimConfig cfg;
  cfg.autofocus_ms = 250;
  Simulator sim(cfg);
  std::size_t words = 0;
  for (std::string word, count; table >> word >> count; ++words) {
    SCOPED_TRACE(word);
    auto count_refused = [&](std::size_t n) {
      std::string line = "<" + word;
      for (std::size_t i = 0; i < n; ++i) line += ",1";
      const auto r = Split(sim.Handle(line + ">"));
      EXPECT_EQ(r[0], word);
      return r[1] == "NG" && r[2].find(" expects ") != std::string::npos;
    };
    const std::size_t fields = std::stoul(count);
    EXPECT_FALSE(count_refused(fields));
    EXPECT_TRUE(count_refused(fields - 1));
    EXPECT_EQ(count_refused(fields + 1), count.back() != '+');
  }
  EXPECT_EQ(Simulator::CommandWords().size(), words) << "words the table lacks";
  // An echoed unknown word is cut to the client's head buffer.
  EXPECT_EQ(Split(sim.Handle("<" + std::string(200, 'W') + ",1>"))[0], std::string(63, 'W'));
  // Only an AutoFocus that is carried out takes the configured time.
  Request req;
  std::string reply;
  EXPECT_EQ(sim.Handle("<AutoFocus,Cam1,2,0.5,1.5,0.01,3,0>", req, reply).delay_ms, 250);
  EXPECT_EQ(sim.Handle("<AutoFocus,Cam1,2,x,1,1,1,1>", req, reply).delay_ms, 0);
}

// List replies are cut to whole entries so as to fit the client's buffer.
TEST(SimLists, EdgePointsLieOnTheConfiguredEdgeWithSeededBoundedNoise) {
  SimConfig cfg;
  cfg.wafer_center = {10.0, -5.0};
  cfg.wafer_radius = 150.0;
  cfg.edge_noise = 0.02;
  cfg.edge_points = 5000;  // more than a reply holds
  const std::string request = "<WaferEdge,ta,tb,100,200.5,true>";
  const std::string reply = Simulator(cfg).Handle(request);
  std::vector<double> radii;
  for (const auto& e : ListEntries(reply, 2)) radii.push_back(std::hypot(e[0] - 10.0, e[1] + 5.0));
  ASSERT_GT(radii.size(), 100u);
  const auto [lo, hi] = std::minmax_element(radii.begin(), radii.end());
  EXPECT_TRUE(*lo >= 150.0 - 0.02 - 1e-6 && *hi <= 150.0 + 0.02 + 1e-6) << *lo << " " << *hi;
  EXPECT_GT(*hi - *lo, 0.005) << "the edge should not be a perfect circle";
  EXPECT_EQ(Simulator(cfg).Handle(request), reply);
  cfg.seed = 2;
  EXPECT_NE(Simulator(cfg).Handle(request), reply);
  cfg.edge_points = 0;
  EXPECT_EQ(Simulator(cfg).Handle(request), "<WaferEdge,OK,0>");
}

TEST(SimLists, MatchesAreBestFirstDistinctInstances) {
  Simulator sim;
  EXPECT_EQ(sim.Handle("<Template_Create,Cam1,mark,region,3>"), "<Template_Create,OK,created>");
  auto match = [&](const std::string& word, const char* cam, int count) {
    return sim.Handle("<" + word + "," + cam + ",mark,region," + std::to_string(count) +
                      ",10,20,0.5,0,0,0,true,false,td>");
  };
  EXPECT_EQ(Split(match("Template_Match", "Cam2", 1))[1], "NG");
  for (const std::string word : {"Template_Match", "SmallCellTemMatch"}) {
    SCOPED_TRACE(word);
    EXPECT_EQ(ListEntries(match(word, "Cam1", 12), 4).size(), 12u);
    const auto m = ListEntries(match(word, "Cam1", 100000), 4);
    ASSERT_GT(m.size(), 100u);
    EXPECT_NEAR(m[0][0], 10.0, 0.5);  // the best instance lies at the search point
    EXPECT_NEAR(m[0][1], 20.0, 0.5);
    for (std::size_t i = 1; i < m.size(); ++i) {
      EXPECT_LT(m[i][3], m[i - 1][3]) << "best first";
      EXPECT_TRUE(m[i][0] != m[i - 1][0] || m[i][1] != m[i - 1][1]) << "distinct instances";
    }
    EXPECT_TRUE(m.back()[3] > 0.5 && m.front()[3] <= 1.0);
    for (int n : {0, -2}) EXPECT_EQ(match(word, "Cam1", n), "<" + word + ",OK,0>");
  }
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
              ::testing::ThrowsMessage<std::invalid_argument>(HasSubstr("bad.txt:3:")));
}

// Bad values, fault rules among them, each refused with its reason.
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
