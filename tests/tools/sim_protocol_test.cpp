// The simulator's protocol handler, driven directly with request lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "sim/protocol.h"

namespace kestrel::sim {
namespace {

struct Reply {
  std::string head, type, payload;
};

Reply Split(const std::string& line) {
  EXPECT_GE(line.size(), 2u);
  EXPECT_EQ(line.front(), '<') << line;
  EXPECT_EQ(line.back(), '>') << line;
  std::string inner = line.substr(1, line.size() - 2);
  std::size_t a = inner.find(',');
  std::size_t b = inner.find(',', a + 1);
  if (a == std::string::npos || b == std::string::npos) return {inner, "", ""};
  return {inner.substr(0, a), inner.substr(a + 1, b - a - 1), inner.substr(b + 1)};
}

std::vector<std::string> Fields(const std::string& text, char sep) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    std::size_t at = text.find(sep, start);
    out.push_back(text.substr(start, at - start));
    if (at == std::string::npos) return out;
    start = at + 1;
  }
}

std::vector<double> Numbers(const std::string& text, char sep) {
  std::vector<double> out;
  for (const auto& f : Fields(text, sep)) out.push_back(std::stod(f));
  return out;
}

SimConfig TestConfig() {
  SimConfig cfg;
  cfg.autofocus_ms = 250;
  cfg.calibrations["CamR"] = Calibration{0.01, 0.02, 5.0, -3.0, 90.0};
  cfg.rotate_centers["CamR"] = Point2{10.0, 20.0};
  return cfg;
}

// ---------------------------------------------------------------------------
// Exact replies of the stateless commands.

struct Exchange {
  const char* request;
  const char* reply;
};
std::ostream& operator<<(std::ostream& os, const Exchange& e) { return os << e.request; }

class SimExactReply : public ::testing::TestWithParam<Exchange> {};

TEST_P(SimExactReply, MatchesTheModel) {
  Simulator sim(TestConfig());
  EXPECT_EQ(sim.Handle(GetParam().request), GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    Conversions, SimExactReply,
    ::testing::Values(
        // (100, 50) px -> scaled (1, 1) -> rotated 90 deg (-1, 1) -> shifted (4, -2)
        Exchange{"<GetReal,CamR,100.000000,50.000000>", "<GetReal,OK,4.000000&-2.000000>"},
        Exchange{"<GetReal,Cam1,100.000000,-20.500000>", "<GetReal,OK,0.250000&-0.051250>"},
        Exchange{"<GetRuler,CamR,100.000000,50.000000>", "<GetRuler,OK,1.000000&1.000000>"},
        Exchange{"<GetRealByPixelPoint,CamR,0.000000,0.000000,200.000000,100.000000>",
                 "<GetRealByPixelPoint,OK,4.000000&-2.000000>"},
        // real (4, -2) seen by a default camera (0.0025 mm/px)
        Exchange{"<CovertPointCameraAToB,CamR,Cam1,100.000000,50.000000>",
                 "<CovertPointCameraAToB,OK,1600.000000&-800.000000>"},
        Exchange{"<CovertPointCameraAToB,Cam1,CamR,1600.000000,-800.000000>",
                 "<CovertPointCameraAToB,OK,100.000000&50.000000>"},
        Exchange{"<MwCalAnotherPointReal,CamR,100.000000,50.000000,2.000000,180.000000>",
                 "<MwCalAnotherPointReal,OK,2.000000&-2.000000>"},
        Exchange{"<GetScale,CamR>", "<GetScale,OK,0.010000&0.020000>"},
        Exchange{"<GetScale,Other>", "<GetScale,OK,0.002500&0.002500>"},
        Exchange{"<GetRotateCenter,CamR>", "<GetRotateCenter,OK,10.000000&20.000000>"},
        Exchange{"<GetRotateCenter,Other>", "<GetRotateCenter,OK,1024.000000&768.000000>"}));

INSTANTIATE_TEST_SUITE_P(
    Geometry, SimExactReply,
    ::testing::Values(
        Exchange{"<GetLineAngle,0.000000,0.000000,10.000000,10.000000>",
                 "<GetLineAngle,OK,45.000000>"},
        Exchange{"<GetLineAngle,0,0,-1,0>", "<GetLineAngle,OK,180.000000>"},
        Exchange{"<GetLineAngle,3,4,3,-1>", "<GetLineAngle,OK,-90.000000>"},
        // (1, 2) about (3, 4): +90 is counter-clockwise, -90 clockwise
        Exchange{"<GetPointAfterRotate_Real,1.000000,2.000000,3.000000,4.000000,90.000000>",
                 "<GetPointAfterRotate_Real,OK,5.000000&2.000000>"},
        Exchange{"<GetPointAfterRotate_Real,1,2,3,4,-90>",
                 "<GetPointAfterRotate_Real,OK,1.000000&6.000000>"},
        Exchange{"<FixCircle,4,1,0,0,1,-1,0,0,-1>", "<FixCircle,OK,0.000000&0.000000,1.000000>"}));

// ---------------------------------------------------------------------------
// NG replies: the head names the word received, the message says why.

struct Refusal {
  const char* request;
  const char* head;
  const char* message_part;
};
std::ostream& operator<<(std::ostream& os, const Refusal& r) { return os << r.request; }

class SimRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(SimRefusal, AnswersNgWithReason) {
  Simulator sim(TestConfig());
  Reply r = Split(sim.Handle(GetParam().request));
  EXPECT_EQ(r.head, GetParam().head);
  EXPECT_EQ(r.type, "NG");
  EXPECT_NE(r.payload.find(GetParam().message_part), std::string::npos) << r.payload;
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, SimRefusal,
    ::testing::Values(Refusal{"GetGain,Cam1", "Unknown", "not framed"},
                      Refusal{"<GetGain,Cam1", "Unknown", "not framed"},
                      Refusal{"", "Unknown", "empty"}, Refusal{"<>", "Unknown", "no command word"},
                      Refusal{"<SetGian,Cam1,1>", "SetGian", "unknown command word 'SetGian'"}));

INSTANTIATE_TEST_SUITE_P(
    BadFields, SimRefusal,
    ::testing::Values(
        Refusal{"<SetGain,Cam1>", "SetGain", "expects 2 fields (camera,gain), got 1"},
        Refusal{"<SetGain,Cam1,fast>", "SetGain", "gain is not a number: 'fast'"},
        Refusal{"<SetIntensity,Cam1,2.5>", "SetIntensity", "not a whole number"},
        Refusal{"<SetGain,,1>", "SetGain", "camera is empty"},
        Refusal{"<AdjustBrightness,B,A,120,true>", "AdjustBrightness", "1 or 0"},
        Refusal{"<CameraWinVisibleControl,W1,1,C1>", "CameraWinVisibleControl", "true or false"},
        Refusal{"<ShowBaseLineWidth,Cam1,-1>", "ShowBaseLineWidth", "negative"},
        Refusal{"<WaferEdge,ta,tb,1,2,TRUE>", "WaferEdge", "flag must be true or false"},
        Refusal{"<GetLineAngle,1,1,1,1>", "GetLineAngle", "coincide"},
        Refusal{"<AutoFocus,Cam1,2,0.5,1.5,0.01,x,0>", "AutoFocus", "v4 is not a number"},
        Refusal{"<KerfCheck,ta,tb,1,30,-3,1,1,1,2,1,1,1,1,1,1,1,1,1,1,1,yes,td,1,tc>", "KerfCheck",
                "flag"},
        Refusal{"<KerfCheck,ta,tb,1,30,-3.5,1,1,1,2,1,1,1,1,1,1,1,1,1,1,1,true,td,1,tc>",
                "KerfCheck", "number1"}));

INSTANTIATE_TEST_SUITE_P(
    CircleAndTemplates, SimRefusal,
    ::testing::Values(Refusal{"<FixCircle,0,>", "FixCircle", "at least three points"},
                      Refusal{"<FixCircle,3,0,0,1,1>", "FixCircle",
                              "point count 3 does not match the number of coordinates 4"},
                      Refusal{"<FixCircle,-1,>", "FixCircle", "does not match"},
                      Refusal{"<FixCircle,3,0,0,1,1,2,2>", "FixCircle", "collinear"},
                      Refusal{"<FixCircle,3,5,5,5,5,5,5>", "FixCircle", "collinear"},
                      Refusal{"<Template_Match,Cam1,none,r,1,0,0,0,0,0,0,true,false,t>",
                              "Template_Match", "no template 'none' on Cam1"},
                      Refusal{"<Template_Create,Cam1,,r,1>", "Template_Create", "empty"}));

TEST(SimProtocol, EchoedUnknownWordIsCutToTheClientsHeadBuffer) {
  Simulator sim;
  Reply r = Split(sim.Handle("<" + std::string(200, 'W') + ",1>"));
  EXPECT_EQ(r.head, std::string(63, 'W'));
  EXPECT_EQ(r.type, "NG");
}

// ---------------------------------------------------------------------------
// Field counts of the whole vocabulary.

struct Arity {
  const char* word;
  std::size_t fields;  // after the word; the smallest accepted for list commands
  bool open_ended;
};

const Arity kArities[] = {
    {"SetGain", 2, false},
    {"SetExposure", 2, false},
    {"SetIntensity", 2, false},
    {"AdjustBrightness", 4, false},
    {"GetGain", 1, false},
    {"GetExposure", 1, false},
    {"GetIntensity", 1, false},
    {"StartGrab", 1, false},
    {"StopGrab", 1, false},
    {"ClearCameraIamge", 1, false},
    {"SwitchToTheCamera", 2, false},
    {"CameraWinVisibleControl", 3, false},
    {"ShowBaseLineWidth", 2, false},
    {"SetStateColor", 2, true},
    {"GetScale", 1, false},
    {"AutoFocus", 7, false},
    {"Template_Create", 4, false},
    {"Template_Match", 13, false},
    {"SmallCellTemMatch", 13, false},
    {"WaferEdge", 5, false},
    {"KerfCheck", 24, false},
    {"FixCircle", 2, true},
    {"GetReal", 3, false},
    {"GetRuler", 3, false},
    {"GetRealByPixelPoint", 5, false},
    {"CovertPointCameraAToB", 4, false},
    {"MwCalAnotherPointReal", 5, false},
    {"GetRotateCenter", 1, false},
    {"GetLineAngle", 4, false},
    {"GetPointAfterRotate_Real", 5, false},
};

std::string RequestWith(const char* word, std::size_t fields) {
  std::string line = std::string("<") + word;
  for (std::size_t i = 0; i < fields; ++i) line += ",1";
  return line + ">";
}

TEST(SimProtocol, VocabularyIsExactlyTheProtocolsWords) {
  std::set<std::string> expected, actual;
  for (const auto& a : kArities) expected.insert(a.word);
  for (auto w : Simulator::CommandWords()) actual.insert(std::string(w));
  EXPECT_EQ(actual, expected);
  EXPECT_EQ(Simulator::CommandWords().size(), std::size(kArities));
}

TEST(SimProtocol, EveryWordChecksItsFieldCount) {
  Simulator sim;
  for (const auto& a : kArities) {
    SCOPED_TRACE(a.word);
    auto count_message = [&](std::size_t n) {
      Reply r = Split(sim.Handle(RequestWith(a.word, n)));
      EXPECT_EQ(r.head, a.word);
      return r.type == "NG" && r.payload.find(" expects ") != std::string::npos;
    };
    EXPECT_FALSE(count_message(a.fields));
    EXPECT_TRUE(count_message(a.fields - 1));
    EXPECT_EQ(count_message(a.fields + 1), !a.open_ended);
  }
}

// ---------------------------------------------------------------------------
// Remembered camera settings.

struct ReadBack {
  const char* set;
  const char* get;
  const char* expected;
};
std::ostream& operator<<(std::ostream& os, const ReadBack& r) { return os << r.set; }

class SimReadBack : public ::testing::TestWithParam<ReadBack> {};

TEST_P(SimReadBack, GetterReturnsWhatWasSet) {
  Simulator sim;
  for (const auto& set : Fields(GetParam().set, '|')) EXPECT_EQ(Split(sim.Handle(set)).type, "OK");
  EXPECT_EQ(sim.Handle(GetParam().get), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Camera, SimReadBack,
    ::testing::Values(
        ReadBack{"<SetGain,Cam1,2.500000>", "<GetGain,Cam1>", "<GetGain,OK,2.500000>"},
        // too large for fixed notation within the client's 64-byte field texts
        ReadBack{"<SetExposure,Cam1,100000000000000000000.000000>", "<GetExposure,Cam1>",
                 "<GetExposure,OK,1e+20>"},
        ReadBack{"<SetExposure,Cam1,-0.125000>", "<GetExposure,Cam1>",
                 "<GetExposure,OK,-0.125000>"},
        ReadBack{"<SetIntensity,Cam1,-5>", "<GetIntensity,Cam1>", "<GetIntensity,OK,-5>"},
        ReadBack{"<SetIntensity,Cam1,200>", "<GetIntensity,Other>", "<GetIntensity,OK,128>"},
        ReadBack{"<AdjustBrightness,Cam1,A,120,0>", "<GetIntensity,Cam1>", "<GetIntensity,OK,120>"},
        // flag 1 puts the exposure back to its default, 0 leaves it
        ReadBack{"<SetExposure,Cam1,5>|<AdjustBrightness,Cam1,A,120,1>", "<GetExposure,Cam1>",
                 "<GetExposure,OK,10000.000000>"},
        ReadBack{"<SetExposure,Cam1,5>|<AdjustBrightness,Cam1,A,120,0>", "<GetExposure,Cam1>",
                 "<GetExposure,OK,5.000000>"}));

TEST(SimProtocol, DisplayCommandsAreRemembered) {
  Simulator sim;
  EXPECT_EQ(sim.Handle("<SetStateColor,Cam1,red,,blue>"), "<SetStateColor,OK,3>");
  EXPECT_EQ(sim.CameraState("Cam1").state_colors, (std::vector<std::string>{"red", "", "blue"}));
  EXPECT_EQ(sim.Handle("<SetStateColor,Cam1,>"), "<SetStateColor,OK,0>");
  EXPECT_TRUE(sim.CameraState("Cam1").state_colors.empty());

  EXPECT_EQ(Split(sim.Handle("<StartGrab,Cam1>")).type, "OK");
  EXPECT_TRUE(sim.CameraState("Cam1").grabbing);
  EXPECT_EQ(Split(sim.Handle("<StopGrab,Cam1>")).type, "OK");
  EXPECT_FALSE(sim.CameraState("Cam1").grabbing);

  EXPECT_EQ(Split(sim.Handle("<CameraWinVisibleControl,W1,false,C1>")).type, "OK");
  EXPECT_FALSE(sim.CameraState("W1").visible);
  EXPECT_EQ(sim.CameraState("W1").shown_window, "C1");
  EXPECT_EQ(Split(sim.Handle("<ShowBaseLineWidth,Cam1,0.030000>")).type, "OK");
  EXPECT_DOUBLE_EQ(sim.CameraState("Cam1").base_line_width, 0.03);
}

// ---------------------------------------------------------------------------
// Auto focus

TEST(SimProtocol, AutoFocusTakesTheConfiguredTimeAndAnswersValueAndText) {
  Simulator sim(TestConfig());
  Request req;
  std::string reply;
  Outcome o =
      sim.Handle("<AutoFocus,Cam1,2,0.500000,1.500000,0.010000,3.000000,0.000000>", req, reply);
  EXPECT_EQ(o.head, "AutoFocus");
  EXPECT_EQ(o.delay_ms, 250);
  Reply r = Split(reply);
  ASSERT_EQ(r.type, "OK");
  std::size_t comma = r.payload.find(',');
  EXPECT_DOUBLE_EQ(std::stod(r.payload.substr(0, comma)), 1.0);  // middle of [0.5, 1.5]
  EXPECT_NE(r.payload.find(',', comma + 1), std::string::npos) << "text should hold a comma";

  o = sim.Handle("<AutoFocus,Cam1,2,x,1,1,1,1>", req, reply);
  EXPECT_EQ(o.delay_ms, 0) << "a refused request is answered at once";
}

// ---------------------------------------------------------------------------
// Circle fit

TEST(SimCircleFit, ExactPointsGiveTheirCircle) {
  Simulator sim;
  std::string req = "<FixCircle,7";
  for (int i = 0; i < 7; ++i) {
    const double a = 0.3 + i * 0.4;  // an arc, not the whole circle
    req += "," + std::to_string(120.5 + 75.125 * std::cos(a)) + "," +
           std::to_string(-30.25 + 75.125 * std::sin(a));
  }
  Reply r = Split(sim.Handle(req + ">"));
  ASSERT_EQ(r.type, "OK") << r.payload;
  auto parts = Fields(r.payload, ',');
  ASSERT_EQ(parts.size(), 2u);
  auto c = Numbers(parts[0], '&');
  ASSERT_EQ(c.size(), 2u);
  EXPECT_NEAR(c[0], 120.5, 1e-5);
  EXPECT_NEAR(c[1], -30.25, 1e-5);
  EXPECT_NEAR(std::stod(parts[1]), 75.125, 1e-5);
}

TEST(SimCircleFit, LeastSquaresOverNoisyPointsFarFromTheOrigin) {
  std::vector<Point2> pts;
  for (int i = 0; i < 40; ++i) {
    const double a = i * 0.157;
    const double r = 50.0 + ((i % 2) ? 0.01 : -0.01);  // alternating radial error
    pts.push_back({1e5 + r * std::cos(a), -2e5 + r * std::sin(a)});
  }
  CircleFit fit;
  ASSERT_TRUE(FitCircle(pts, fit));
  EXPECT_NEAR(fit.center.x, 1e5, 2e-3);
  EXPECT_NEAR(fit.center.y, -2e5, 2e-3);
  EXPECT_NEAR(fit.radius, 50.0, 2e-3);

  // Moving one point off the circle pulls the fit, less than the move itself.
  pts[0].x += 1.0;
  ASSERT_TRUE(FitCircle(pts, fit));
  EXPECT_GT(std::fabs(fit.center.x - 1e5) + std::fabs(fit.radius - 50.0), 1e-3);
  EXPECT_LT(std::fabs(fit.radius - 50.0), 0.5);
}

// ---------------------------------------------------------------------------
// Lists: a count, then entries of `width` numbers joined by '&'.

std::vector<std::vector<double>> ListEntries(const std::string& reply, std::size_t width,
                                             int& count) {
  Reply r = Split(reply);
  EXPECT_EQ(r.type, "OK") << r.payload;
  auto entries = Fields(r.payload, ',');
  count = std::stoi(entries.at(0));
  std::vector<std::vector<double>> out;
  for (std::size_t i = 1; i < entries.size(); ++i) {
    out.push_back(Numbers(entries[i], '&'));
    EXPECT_EQ(out.back().size(), width) << entries[i];
    out.back().resize(width);
  }
  return out;
}

std::string MatchRequest(const char* word, const char* cam, const char* name, int count) {
  return std::string("<") + word + "," + cam + "," + name + ",region," + std::to_string(count) +
         ",10.000000,20.000000,0.500000,0.000000,0.000000,0.000000,true,false,td>";
}

TEST(SimLists, LongListsAreCutToWholeEntriesWithinTheClientsBuffer) {
  SimConfig cfg;
  cfg.edge_points = 5000;
  Simulator sim(cfg);
  sim.Handle("<Template_Create,Cam1,mark,region,3>");
  const std::pair<std::string, std::size_t> cases[] = {
      {"<WaferEdge,ta,tb,0,0,true>", 2},
      {MatchRequest("Template_Match", "Cam1", "mark", 100000), 4},
      {MatchRequest("SmallCellTemMatch", "Cam1", "mark", 100000), 4}};
  for (const auto& [request, width] : cases) {
    SCOPED_TRACE(request);
    std::string reply = sim.Handle(request);
    EXPECT_LE(reply.size() + 2, kListReplyBudget);
    int count = 0;
    EXPECT_EQ(static_cast<std::size_t>(count), ListEntries(reply, width, count).size());
    EXPECT_GT(count, 100);
  }
  cfg.edge_points = 0;
  EXPECT_EQ(Simulator(cfg).Handle("<WaferEdge,ta,tb,0,0,true>"), "<WaferEdge,OK,0>");
}

TEST(SimWaferEdge, PointsLieOnTheConfiguredEdgeWithBoundedNoise) {
  SimConfig cfg;
  cfg.wafer_center = {10.0, -5.0};
  cfg.wafer_radius = 150.0;
  cfg.edge_noise = 0.02;
  Simulator sim(cfg);
  int count = 0;
  auto entries = ListEntries(sim.Handle("<WaferEdge,ta,tb,100.000000,200.500000,true>"), 2, count);
  ASSERT_EQ(count, 36);
  ASSERT_EQ(entries.size(), 36u);
  std::vector<Point2> pts;
  double lo = 1e9, hi = -1e9;
  for (const auto& e : entries) {
    pts.push_back({e[0], e[1]});
    const double r = std::hypot(e[0] - 10.0, e[1] + 5.0);
    lo = std::min(lo, r);
    hi = std::max(hi, r);
  }
  EXPECT_GE(lo, 150.0 - 0.02 - 1e-6);
  EXPECT_LE(hi, 150.0 + 0.02 + 1e-6);
  EXPECT_GT(hi - lo, 0.005) << "the edge should not be a perfect circle";
  CircleFit fit;
  ASSERT_TRUE(FitCircle(pts, fit));
  EXPECT_NEAR(fit.radius, 150.0, 0.02);

  // The deviations are seeded: same seed, same edge; another seed, another.
  const char* req = "<WaferEdge,ta,tb,0,0,false>";
  EXPECT_EQ(Simulator(cfg).Handle(req), sim.Handle(req));
  cfg.seed = 2;
  EXPECT_NE(Simulator(cfg).Handle(req), sim.Handle(req));
}

TEST(SimTemplates, MatchFindsTheTemplateUnderTheSameFirstTwoFields) {
  Simulator sim;
  EXPECT_EQ(Split(sim.Handle(MatchRequest("Template_Match", "Cam1", "mark", 1))).type, "NG");
  EXPECT_EQ(sim.Handle("<Template_Create,Cam1,mark,region,3>"), "<Template_Create,OK,created>");
  EXPECT_EQ(Split(sim.Handle(MatchRequest("Template_Match", "mark", "Cam1", 1))).type, "NG");
  EXPECT_EQ(Split(sim.Handle(MatchRequest("Template_Match", "Cam2", "mark", 1))).type, "NG");
  for (const char* word : {"Template_Match", "SmallCellTemMatch"}) {
    SCOPED_TRACE(word);
    int count = 0;
    auto m = ListEntries(sim.Handle(MatchRequest(word, "Cam1", "mark", 12)), 4, count);
    ASSERT_EQ(count, 12);
    ASSERT_EQ(m.size(), 12u);
    EXPECT_NEAR(m[0][0], 10.0, 0.5);  // the best instance lies at the search point
    EXPECT_NEAR(m[0][1], 20.0, 0.5);
    for (std::size_t i = 1; i < m.size(); ++i) {
      EXPECT_LT(m[i][3], m[i - 1][3]) << "best first";
      EXPECT_TRUE(m[i][0] != m[i - 1][0] || m[i][1] != m[i - 1][1]) << "distinct instances";
    }
    EXPECT_GT(m.back()[3], 0.5);
    EXPECT_LE(m.front()[3], 1.0);
    for (int n : {0, -2})
      EXPECT_EQ(sim.Handle(MatchRequest(word, "Cam1", "mark", n)),
                std::string("<") + word + ",OK,0>");
  }
}

// ---------------------------------------------------------------------------
// Kerf check

TEST(SimKerfCheck, EightConsistentMeasures) {
  Simulator sim;
  for (const char* width : {"30.000000", "55.500000", "0.000000"}) {
    SCOPED_TRACE(width);
    std::string req = std::string("<KerfCheck,Cam1,tb,1.500000,") + width +
                      ",-3,1,1,1,2,1,1,1,1,1,1,1,1,1,1,1,true,td,1.000000,tc>";
    Reply r = Split(sim.Handle(req));
    ASSERT_EQ(r.type, "OK") << r.payload;
    auto v = Numbers(r.payload, ',');
    ASSERT_EQ(v.size(), 8u);
    const double nominal = std::stod(width) > 0 ? std::stod(width) : 30.0;
    EXPECT_NEAR(v[0], 1.5, 1.0);      // centre near the expected one
    EXPECT_NEAR(v[1], nominal, 1.0);  // width without chipping near nominal
    EXPECT_GE(v[2], v[1]);            // with chipping >= without
    EXPECT_GE(v[7], v[1]);            // second width with chipping >= without
    EXPECT_LE(v[7], v[2]);
    EXPECT_GT(v[4], 0.0);  // chipping width and height
    EXPECT_GT(v[5], 0.0);
    EXPECT_NEAR(v[2] - v[1], v[5], 1e-5);  // the chipping adds its height to the kerf
    EXPECT_GT(v[3], v[1] / 2);             // chipping lies outside the clean kerf half
  }
}

}  // namespace
}  // namespace kestrel::sim
