// The simulator's protocol handler driven with request lines (one row per
// reply shape; every word is sent end to end in sim_server_test.cpp), its
// list generators, its fault rules and its command line.
#include <gmock/gmock.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sim/cli.h"
#include "sim/protocol.h"

namespace kestrel::sim {
namespace {

using ::testing::HasSubstr;

// The entries of an OK list reply (a count, then as many entries of `width`
// numbers joined by '&'), within the client's buffer.
std::vector<std::vector<double>> ListEntries(const std::string& reply, std::size_t width) {
  EXPECT_LE(reply.size() + 2, kListReplyBudget);
  std::istringstream in(
      std::regex_replace(reply.substr(reply.find(",OK,") + 4), std::regex("[,&>]"), " "));
  std::size_t count = 0;
  in >> count;
  std::vector<std::vector<double>> out(count, std::vector<double>(width));
  for (auto& entry : out)
    for (double& v : entry) in >> v;
  EXPECT_TRUE(in && (in >> std::ws).eof()) << "entries unlike their count: " << reply;
  return out;
}

// Requests and the reply to the last one: the whole reply, or for a refusal
// the start of its NG message.
TEST(SimExchange, EachReplyShapeIsTheModels) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      // clang-format off
      // a setter's value is remembered per camera; 1e20 is too long for fixed notation
      {{"<SetExposure,Cam1,1e20>", "<AdjustBrightness,Cam1,A,120,0>", "<GetExposure,Cam1>"},
       "<GetExposure,OK,1e+20>"},
      // flag 1 puts the exposure back to its default
      {{"<SetExposure,Cam1,5>", "<AdjustBrightness,Cam1,A,120,1>", "<GetExposure,Cam1>"},
       "<GetExposure,OK,10000.000000>"},
      {{"<SetIntensity,Cam1,200>", "<GetIntensity,Other>"}, "<GetIntensity,OK,128>"},
      {{"<GetLineAngle,3,4,3,-1>"}, "<GetLineAngle,OK,-90.000000>"},
      // (100, 50) px -> scaled (1, 1) -> rotated 90 deg (-1, 1) -> shifted (4, -2)
      {{"<GetReal,CamR,100.000000,50.000000>"}, "<GetReal,OK,4.000000&-2.000000>"},
      // real (4, -2) of a default camera (0.0025 mm/px) is pixel (100, 50) of CamR
      {{"<CovertPointCameraAToB,Cam1,CamR,1600,-800>"},
       "<CovertPointCameraAToB,OK,100.000000&50.000000>"},
      // (1, 2) about (3, 4) by +90 degrees: counter-clockwise
      {{"<GetPointAfterRotate_Real,1,2,3,4,90>"},
       "<GetPointAfterRotate_Real,OK,5.000000&2.000000>"},
      {{"<GetRotateCenter,CamR>"}, "<GetRotateCenter,OK,10.000000&20.000000>"},
      // a list with its count; a single empty field is the client's empty list
      {{"<SetStateColor,Cam1,red,,blue>"}, "<SetStateColor,OK,3>"},
      {{"<SetStateColor,Cam1,>"}, "<SetStateColor,OK,0>"},
      // value2 of 0 is the nominal width of 30; the chipping is sized from it
      {{"<KerfCheck,ta,tb,1,0,-3,1,1,1,2,1,1,1,1,1,1,1,1,1,1,1,true,td,1,tc>"},
       "<KerfCheck,OK,1.125000,30.250000,35.250000,17.625000,12.500000,5.000000,14.184397,"
       "33.250000>"},
      {{"<FixCircle,4,1,0,0,1,-1,0,0,-1>"}, "<FixCircle,OK,0.000000&0.000000,1.000000>"},
      // the best focus is the middle of [v1, v2]; the text holds a comma
      {{"<AutoFocus,Cam1,2,0.5,1.5,0.01,3,0>"},
       "<AutoFocus,OK,1.000000,focus done on Cam1, 2 passes, step 0.010000>"},
      // refusals
      {{"GetGain,Cam1"}, "<Unknown,NG,request is not framed by '<' and '>'>"},
      {{""}, "empty request line"}, {{"<>"}, "request has no command word"},
      {{"<SetGian,Cam1,1>"}, "unknown command word 'SetGian'"},
      {{"<SetGain,Cam1,fast>"}, "gain is not a number: 'fast'"},
      {{"<SetIntensity,Cam1,2.5>"}, "intensity is not a whole number"},
      {{"<SetGain,,1>"}, "camera is empty"},
      {{"<AdjustBrightness,B,A,120,true>"}, "flag must be 1 or 0"},
      {{"<WaferEdge,ta,tb,1,2,TRUE>"}, "flag must be true or false"},
      {{"<ShowBaseLineWidth,Cam1,-1>"}, "width must not be negative"},
      {{"<GetLineAngle,1,1,1,1>"}, "the two points coincide"},
      {{"<FixCircle,3,0,0,1,1>"}, "point count 3 does not match the number of coordinates 4"},
      {{"<FixCircle,3,5,5,5,5,5,5>"}, "points are collinear"},
      {{"<FixCircle,3,0,0,1,1,2,2>"}, "points are collinear"},
      {{"<FixCircle,0,>"}, "a circle needs at least three points"},
      // templates are keyed by the first two fields of both requests
      {{"<Template_Create,Cam1,mark,r,3>",
        "<Template_Match,mark,Cam1,r,1,0,0,0,0,0,0,true,false,t>"},
       "no template 'Cam1' on mark"},
      // clang-format on
  };
  for (const auto& [requests, expected] : cases) {
    SCOPED_TRACE(requests.back());
    SimConfig cfg;
    cfg.calibrations["CamR"] = Calibration{0.01, 0.02, 5.0, -3.0, 90.0};
    cfg.rotate_centers["CamR"] = Point2{10.0, 20.0};
    Simulator sim(cfg);
    std::string reply;
    for (const auto& request : requests) reply = sim.Handle(request);
    EXPECT_THAT(reply, HasSubstr(*expected == '<' ? expected : ",NG," + std::string(expected)));
  }
}

TEST(SimProtocol, VocabularyAndFieldCountsAreTheProtocols) {
  // Each word with the count of its fields after the word ('+': or more).
  std::istringstream table(
      "SetGain 2 SetExposure 2 SetIntensity 2 AdjustBrightness 4 GetGain 1 GetExposure 1 "
      "GetIntensity 1 StartGrab 1 StopGrab 1 ClearCameraIamge 1 SwitchToTheCamera 2 "
      "CameraWinVisibleControl 3 ShowBaseLineWidth 2 SetStateColor 2+ GetScale 1 AutoFocus 7 "
      "Template_Create 4 Template_Match 13 SmallCellTemMatch 13 WaferEdge 5 KerfCheck 24 "
      "FixCircle 2+ GetReal 3 GetRuler 3 GetRealByPixelPoint 5 CovertPointCameraAToB 4 "
      "MwCalAnotherPointReal 5 GetRotateCenter 1 GetLineAngle 4 GetPointAfterRotate_Real 5");
  Simulator sim;
  std::size_t words = 0;
  for (std::string word, count; table >> word >> count; ++words) {
    SCOPED_TRACE(word);
    const auto count_refused = [&](std::size_t n) {
      std::string line = "<" + word;
      for (std::size_t i = 0; i < n; ++i) line += ",1";
      return sim.Handle(line + ">").find(" expects ") != std::string::npos;
    };
    const std::size_t fields = std::stoul(count);
    EXPECT_FALSE(count_refused(fields));
    EXPECT_TRUE(count_refused(fields - 1));
    EXPECT_EQ(count_refused(fields + 1), count.back() != '+');
  }
  EXPECT_EQ(Simulator::CommandWords().size(), words) << "words the table lacks";
  // An echoed unknown word is cut to the client's head buffer.
  EXPECT_EQ(sim.Handle("<" + std::string(200, 'W') + ",1>").substr(0, 65),
            "<" + std::string(63, 'W') + ",");
}

// List replies are cut to whole entries so as to fit the client's buffer.
TEST(SimLists, EdgePointsLieOnTheEdgeWithSeededNoiseAndMatchesComeBestFirst) {
  SimConfig cfg;
  cfg.wafer_center = {10.0, -5.0};
  cfg.wafer_radius = 150.0;
  cfg.edge_noise = 0.02;
  cfg.edge_points = 5000;  // more than a reply holds
  const std::string edge = "<WaferEdge,ta,tb,100,200.5,true>", reply = Simulator(cfg).Handle(edge);
  std::vector<double> radii;
  for (const auto& e : ListEntries(reply, 2)) radii.push_back(std::hypot(e[0] - 10.0, e[1] + 5.0));
  ASSERT_GT(radii.size(), 100u);
  const auto [lo, hi] = std::minmax_element(radii.begin(), radii.end());
  EXPECT_TRUE(*lo >= 150.0 - 0.02 - 1e-6 && *hi <= 150.0 + 0.02 + 1e-6) << *lo << " " << *hi;
  EXPECT_GT(*hi - *lo, 0.005) << "the edge should not be a perfect circle";
  cfg.seed = 2;
  EXPECT_NE(Simulator(cfg).Handle(edge), reply);

  Simulator sim;
  sim.Handle("<Template_Create,Cam1,mark,region,3>");
  const auto m = ListEntries(
      sim.Handle("<SmallCellTemMatch,Cam1,mark,region,100000,10,20,0.5,0,0,0,true,false,td>"), 4);
  ASSERT_GT(m.size(), 100u);
  EXPECT_NEAR(m[0][0], 10.0, 0.5);  // the best instance lies at the search point
  EXPECT_NEAR(m[0][1], 20.0, 0.5);
  for (std::size_t i = 1; i < m.size(); ++i) {
    EXPECT_LT(m[i][3], m[i - 1][3]) << "best first";
    EXPECT_TRUE(m[i][0] != m[i - 1][0] || m[i][1] != m[i - 1][1]) << "distinct instances";
  }
  EXPECT_TRUE(m.back()[3] > 0.5 && m.front()[3] <= 1.0);
}

TEST(SimFaultPlan, FirstMatchingRuleWithUsesLeftApplies) {
  FaultPlan plan({ParseFault("GetGain/2:close-after:3"), ParseFault("GetReal/1:ng"),
                  ParseFault("*:bad-type")});
  EXPECT_EQ(plan.Take("GetGain")->kind, FaultKind::kBadType) << "close-after is no reply rule";
  EXPECT_EQ(plan.Take("GetReal")->kind, FaultKind::kNg);
  EXPECT_EQ(plan.Take("GetReal")->kind, FaultKind::kBadType) << "the /1 budget is spent";
}

// A camera a command line names in UTF-8 is the one a request names in GBK.
TEST(SimCommandLine, CameraNamesAreGbk) {
  const char* argv[] = {"kestrel-sim", "--calibration", "\xE7\x9B\xB8\xE6\x9C\xBA=2,2,0,0,0"};
  Settings s;
  std::ostringstream out, err;
  ASSERT_EQ(ParseCommandLine(3, argv, s, out, err), -1) << err.str();
  EXPECT_EQ(s.sim.calibrations.count("\xCF\xE0\xBB\xFA"), 1u);
}

// Bad command lines, fault rules and scenario files, each refused with its reason.
TEST(SimCommandLine, RefusesBadValuesWithAReason) {
  // Comments, blank lines and blanks round a rule are skipped, but a '#'
  // after a rule is part of it.
  const std::string scenario = testing::TempDir() + "sim_scenario.txt";
  std::ofstream(scenario)
      << "# scenario\n\n  GetReal:delay:100  \n\t# comment\nGetReal:wobble #2\n";
  const std::pair<std::vector<const char*>, std::string> cases[] = {
      // clang-format off
      {{"--fault", "GetReal"}, "WORD[/K]:KIND"},
      {{"--fault", "GetRael:silent"}, "unknown command word 'GetRael'"},
      {{"--fault", "GetReal/0:silent"}, "at least 1"}, {{"--fault", "GetReal:delay"}, "delay:MS"},
      {{"--fault", "GetReal:delay:-5"}, "at least 0"},
      {{"--fault", "GetReal:silent:3"}, "takes no argument"},
      {{"--fault", "GetReal:chunks:3"}, "chunks:N:MS"},
      {{"--fault", "GetReal:bad-type:OK"}, "differ from OK and NG"},
      {{"--fault", "GetReal:wrong-head:a,b"}, "without ','"},
      {{"--scenario", scenario.c_str()},
       scenario + ":5: fault 'GetReal:wobble #2': unknown fault kind"},
      {{"--calibration", "Cam1=1,2,3"}, "NAME=sx,sy,ox,oy,deg"},
      {{"--calibration", "Cam1=0,1,0,0,0"}, "scale of zero"},
      {{"--rotate-center", "Cam1=1,x"}, "'x' in 'Cam1=1,x' is not a number"},
      {{"--fault", "GetReal:ng:\xF0\x9F\x98\x80"}, "has a character that GBK cannot hold"},
      {{"--rotate-center", "\xF0\x9F\x98\x80=1,2"}, "has a character that GBK cannot hold"},
      // clang-format on
  };
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
