// Reply handling of the command families on given reply texts: what each
// payload shape yields, the red line of each failure and what it leaves in
// the outputs.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "kestrel/host.h"
#include "kestrel/kestrel.h"
#include "support/canned.h"
#include "support/console.h"

namespace {

using kestrel_test::CannedReplies;
using kestrel_test::ConsoleCapture;
using kestrel_test::Gbk;

constexpr double kUntouched = -777.0;

// One client with canned replies and a console capture per case.
class Replies : public ::testing::Test {
 protected:
  Replies() : canned(client) { canned.core().set_error("earlier"); }
  // The red lines, read back as UTF-8 text was written in the test.
  std::vector<std::string> Red() const { return console.texts(Corvus::HeraldColor::Red); }
  static std::vector<std::string> Lines(std::initializer_list<const char*> utf8) {
    std::vector<std::string> out;
    for (const char* line : utf8) out.push_back(Gbk(line));
    return out;
  }
  void ExpectErrorUntouched() { EXPECT_STREQ(client.Kestrel_GetErrorString(), "earlier"); }

  Kestrel client;
  CannedReplies canned;
  ConsoleCapture console;
};

TEST_F(Replies, SingleNumberGetters) {
  double gain = kUntouched;
  canned.Reply("GetGain,OK,1.25");
  EXPECT_TRUE(client.Kestrel_GetGain("Cam1", gain));
  EXPECT_EQ(gain, 1.25);
  for (const char* payload : {"abc", "", "1.25,2"}) {
    gain = kUntouched;
    canned.Reply(std::string("GetGain,OK,") + payload);
    EXPECT_FALSE(client.Kestrel_GetGain("Cam1", gain));
    EXPECT_EQ(Red().back(), Gbk(std::string("Gain:") + payload + "，不能转换double"));
    EXPECT_EQ(gain, kUntouched);
  }
  int intensity = 0;
  canned.Reply("GetIntensity,OK,200");
  EXPECT_TRUE(client.Kestrel_GetLight("Cam1", intensity));
  EXPECT_EQ(intensity, 200);
  canned.Reply("GetIntensity,OK,2.5");
  EXPECT_FALSE(client.Kestrel_GetLight("Cam1", intensity));
  EXPECT_EQ(Red().back(), Gbk("Intensity:2.5，不能转换int"));
  double angle = 0;
  canned.Reply("GetLineAngle,OK,");
  EXPECT_FALSE(client.Kestrel_GetLineAngle({0, 0}, {1, 1}, angle));
  EXPECT_EQ(Red().back(), Gbk("Angle:，不能转换double"));
  ExpectErrorUntouched();
}

TEST_F(Replies, PointPayloads) {
  const struct {
    const char* payload;
    bool ok;
    double x, y;
    const char* line;
  } cases[] = {
      {"12.5&-3.25", true, 12.5, -3.25, ""},
      {"0&1e300", true, 0, 1e300, ""},
      {"12.5", false, 12.5, kUntouched, "RealPoint.Y:，不能转换double"},
      {"1&2&3", false, 1, kUntouched, "RealPoint.Y:2&3，不能转换double"},
      {"", false, kUntouched, kUntouched, "RealPoint.X:，不能转换double"},
      {"x&2", false, kUntouched, kUntouched, "RealPoint.X:x，不能转换double"},
      {"nan&1", false, kUntouched, kUntouched, "RealPoint.X:nan，不能转换double"},
      {"1&-Infinity", false, 1, kUntouched, "RealPoint.Y:-Infinity，不能转换double"},
  };
  for (const auto& c : cases) {
    Point real{kUntouched, kUntouched};
    canned.Reply(std::string("GetReal,OK,") + c.payload);
    EXPECT_EQ(client.Kestrel_GetReal("Cam1", {1, 2}, real), c.ok) << c.payload;
    EXPECT_EQ(real.X, c.x) << c.payload;
    EXPECT_EQ(real.Y, c.y) << c.payload;
    if (*c.line) {
      EXPECT_EQ(Red().back(), Gbk(c.line)) << c.payload;
    }
  }
  // A foreign head leaves the output alone, even with a valid point.
  Point real{kUntouched, kUntouched};
  canned.Reply("GetRuler,OK,1&2");
  EXPECT_FALSE(client.Kestrel_GetReal("Cam1", {1, 2}, real));
  EXPECT_EQ(real.X, kUntouched);
  // The scale names the whole payload in both of its lines.
  double sx = kUntouched, sy = kUntouched;
  canned.Reply("GetScale,OK,0.0025&x");
  EXPECT_FALSE(client.Kestrel_GetCameraScale("Cam1", sx, sy));
  EXPECT_EQ(sx, 0.0025);
  EXPECT_EQ(sy, kUntouched);
  EXPECT_EQ(Red().back(), Gbk("scaleY:0.0025&x，不能转换double"));
  double cx = 0, cy = 0;
  canned.Reply("GetRotateCenter,OK,512.25&384.5");
  EXPECT_TRUE(client.Kestrel_GetRotateCenter("Cam1", cx, cy));
  EXPECT_EQ(cx, 512.25);
  EXPECT_EQ(cy, 384.5);
}

TEST_F(Replies, NumberFieldsLongerThanSixtyThreeAreRefused) {
  const std::string fits = "1." + std::string(61, '0');   // 63 characters
  const std::string over = "1." + std::string(62, '0');   // 64 characters
  Point real;
  canned.Reply("GetReal,OK," + fits + "&" + fits);
  EXPECT_TRUE(client.Kestrel_GetReal("Cam1", {}, real));
  EXPECT_EQ(real.Y, 1.0);
  canned.Reply("GetReal,OK,1&" + over);
  EXPECT_FALSE(client.Kestrel_GetReal("Cam1", {}, real));
  EXPECT_EQ(Red().back(), "RealPoint.Y:" + over + Gbk("，不能转换double"));
  // A wafer-edge entry longer than 63 characters: its cut falls into Y.
  std::vector<Point> edge;
  const std::string x(30, '1'), y = "2." + std::string(40, '0');
  canned.Reply("WaferEdge,OK,1," + x + "&" + y);
  EXPECT_FALSE(client.Kestrel_WaferEdge("a", "b", {}, true, 0, 0, edge));
  EXPECT_NE(Red().back().find("edge_point.Y:"), std::string::npos);
  EXPECT_TRUE(edge.empty());
}

TEST_F(Replies, AutoFocusHandsOverTheTextBeforeTheValue) {
  double result = kUntouched;
  std::string text = "old";
  canned.Reply("AutoFocus,OK,12.345,focus done");
  EXPECT_TRUE(client.Kestrel_AutoFocus("Cam1", 1, 0, 0, 0, 0, 0, result, text, false));
  EXPECT_EQ(result, 12.345);
  EXPECT_EQ(text, "focus done");
  canned.Reply("AutoFocus,OK,12.345,a,b");
  EXPECT_TRUE(client.Kestrel_AutoFocus("Cam1", 1, 0, 0, 0, 0, 0, result, text, false));
  EXPECT_EQ(text, "a,b");
  result = kUntouched;
  canned.Reply("AutoFocus,OK,abc,done");
  EXPECT_FALSE(client.Kestrel_AutoFocus("Cam1", 1, 0, 0, 0, 0, 0, result, text, false));
  EXPECT_EQ(text, "done");
  EXPECT_EQ(result, kUntouched);
  EXPECT_EQ(Red().back(), Gbk("res.X:abc，不能转换double"));
  canned.Reply("AutoFocus,OK,1," + std::string(600, 't'));
  EXPECT_TRUE(client.Kestrel_AutoFocus("Cam1", 1, 0, 0, 0, 0, 0, result, text, false));
  EXPECT_EQ(text, std::string(511, 't'));
  text = "kept";
  canned.Reply("AutoFocus,NG,lens error");
  EXPECT_FALSE(client.Kestrel_AutoFocus("Cam1", 1, 0, 0, 0, 0, 0, result, text, false));
  EXPECT_EQ(text, "kept");
  EXPECT_STREQ(client.Kestrel_GetErrorString(), "lens error");
}

struct Matches {
  int count = -99;
  std::vector<Point> centers{{9, 9}};
  std::vector<double> angles{9}, scores{9};
};

TEST_F(Replies, MatchListsAndWhatFailuresLeave) {
  const struct {
    const char* payload;
    bool ok;
    int count;
    std::size_t centers, angles, scores;
    const char* line;
  } cases[] = {
      {"0", true, 0, 0, 0, 0, ""},
      {"-2", true, -2, 0, 0, 0, ""},
      {"1,1&2&3&0.9&7", true, 1, 1, 1, 1, ""},
      {"1,1&2&3&0.9,5&6&7&0.8", true, 1, 1, 1, 1, ""},
      {"2,1&2&3&0.9,5&6&7&0.8", true, 2, 2, 2, 2, ""},
      {"2,1&2&3&0.9", false, 2, 1, 1, 1, "Center.X:，不能转换double"},
      {"1,1&2&x&0.9", false, 1, 1, 0, 0, "Angle:x，不能转换double"},
      {"1,1&2&3", false, 1, 1, 1, 0, "Scores:，不能转换double"},
      {"1,1", false, 1, 0, 0, 0, "Center.Y:，不能转换double"},
      {"n,1&2&3&4", false, -99, 0, 0, 0, "Length:n，不能转换int"},
  };
  for (const auto& c : cases) {
    Matches m;
    canned.Reply(std::string("Template_Match,OK,") + c.payload);
    EXPECT_EQ(client.Kestrel_MultTemplate_Match("a", "b", 2, "c", {}, 0, m.count, m.centers,
                                                m.angles, m.scores, false, false, "d", 0, 0, 0),
              c.ok)
        << c.payload;
    EXPECT_EQ(m.count, c.count) << c.payload;
    EXPECT_EQ(m.centers.size(), c.centers) << c.payload;
    EXPECT_EQ(m.angles.size(), c.angles) << c.payload;
    EXPECT_EQ(m.scores.size(), c.scores) << c.payload;
    if (*c.line) {
      EXPECT_EQ(Red().back(), Gbk(c.line)) << c.payload;
    }
  }
  Matches m;
  canned.Reply("Template_Match,OK,2,100.5&200.25&0.5&0.93,300&400&-1.2&0.88");
  ASSERT_TRUE(client.Kestrel_MultTemplate_Match("a", "b", 2, "c", {}, 0, m.count, m.centers,
                                                m.angles, m.scores, false, false, "d", 0, 0, 0));
  EXPECT_EQ(m.centers[1].X, 300);
  EXPECT_EQ(m.angles[1], -1.2);
  EXPECT_EQ(m.scores[0], 0.93);
  // Lists are emptied before anything is sent, even when the exchange fails.
  Matches failed;
  EXPECT_FALSE(client.Kestrel_MultTemplate_Match("a", "b", 2, "c", {}, 0, failed.count,
                                                 failed.centers, failed.angles, failed.scores,
                                                 false, false, "d", 0, 0, 0));
  EXPECT_TRUE(failed.centers.empty() && failed.angles.empty() && failed.scores.empty());
  EXPECT_EQ(failed.count, -99);
}

TEST_F(Replies, SingleMatchBestScoreAndFirstEntry) {
  const struct {
    const char* payload;
    bool best_ok;
    double best_x, best_score;
    bool first_ok;
    double first_x, first_score;
  } cases[] = {
      {"2,1&1&0&0.7,2&2&0&0.9", true, 2, 0.9, true, 1, 0.7},
      {"2,1&1&0&0.9,2&2&0&0.9", true, 1, 0.9, true, 1, 0.9},
      {"1,1&1&0&-0.5", true, kUntouched, 0.0, true, 1, -0.5},
      {"2,1&1&0&nan,2&2&0&0.1", false, kUntouched, 0.0, false, kUntouched, 0.0},
      {"0", false, kUntouched, 0.0, false, kUntouched, 0.0},
      {"2,1&1&0&0.8,x", false, 1, 0.8, false, kUntouched, 0.0},
      // The second centre converts but its angle does not: it never counts.
      {"2,1&1&0&0.5,9&9&bad&0.9", false, 1, 0.5, false, kUntouched, 0.0},
      {"3,1&1&0&0.5,9&9&0&0.9,4&4&0&0.95", true, 4, 0.95, true, 1, 0.5},
  };
  for (const auto& c : cases) {
    for (const bool first : {false, true}) {
      Point center{kUntouched, kUntouched};
      double angle = kUntouched, score = 5.0;
      canned.Reply(std::string(first ? "SmallCellTemMatch" : "Template_Match") + ",OK," +
                   c.payload);
      console.clear();
      const bool ok = first ? client.Kestrel_Template_Match_SCell("a", "b", "c", {}, 0, center,
                                                                  angle, score, false, false, "d")
                            : client.Kestrel_Template_Match("a", "b", "c", {}, 0, center, angle,
                                                            score, false, false, "d");
      EXPECT_EQ(ok, first ? c.first_ok : c.best_ok) << c.payload << first;
      EXPECT_EQ(center.X, first ? c.first_x : c.best_x) << c.payload << first;
      EXPECT_EQ(score, first ? c.first_score : c.best_score) << c.payload << first;
      if (std::string(c.payload) == "0") {
        EXPECT_TRUE(console.lines().empty());
      }
    }
  }
}

// Kestrel_Template_Match takes the verdict of Kestrel_MultTemplate_Match: its
// lines name that operation, its command word is Template_Match.
TEST_F(Replies, SingleMatchVerdictIsThatOfTheMultipleMatch) {
  Point center{kUntouched, kUntouched};
  double angle = kUntouched, score = 5.0;
  canned.Reply("Template_Match,NG,no template, here");
  EXPECT_FALSE(client.Kestrel_Template_Match("a", "b", "c", {}, 0, center, angle, score, false,
                                             false, "d"));
  EXPECT_EQ(Red(), Lines({"ERRMESSAGE:no template, here[Kestrel::Kestrel_MultTemplate_Match]"}));
  EXPECT_STREQ(client.Kestrel_GetErrorString(), "no template, here");
  EXPECT_EQ(score, 0.0);
  EXPECT_EQ(center.X, kUntouched);
  console.clear();
  canned.Reply("SmallCellTemMatch,OK,1,1&2&3&0.5");
  EXPECT_FALSE(client.Kestrel_Template_Match("a", "b", "c", {}, 0, center, angle, score, false,
                                             false, "d"));
  EXPECT_EQ(Red(), Lines({"UNKNOWN RECV COMMAND HEAD:SmallCellTemMatch(Template_Match)"
                          "[Kestrel::Kestrel_MultTemplate_Match]"}));
  console.clear();
  canned.Reply("Template_Match,OK,1,1&2&3&0.5,7&8&9&0.99");
  EXPECT_TRUE(client.Kestrel_Template_Match("a", "b", "c", {}, 0, center, angle, score, false,
                                            false, "d"));
  EXPECT_EQ(center.X, 1.0);
  EXPECT_EQ(center.Y, 2.0);
  EXPECT_EQ(angle, 3.0);
  EXPECT_EQ(score, 0.5);  // the second entry lies beyond the count
  EXPECT_TRUE(console.texts(Corvus::HeraldColor::Red).empty());
}

TEST_F(Replies, WaferEdgeIsWalkedByThePayloadAndCheckedAgainstTheCount) {
  const struct {
    const char* payload;
    bool ok;
    std::size_t points;
    const char* line;
  } cases[] = {
      {"0", true, 0, ""},
      {"2,1&2,3&4", true, 2, ""},
      {"2,1&2,3&4,", true, 2, ""},
      {"3,1&2,3&4", false, 2, "Edges Length:3，解析后长度:2 不一致."},
      {"1,1&2,3&4", false, 2, "Edges Length:1，解析后长度:2 不一致."},
      {"-1", false, 0, "Edges Length:-1，解析后长度:0 不一致."},
      {"1,5", false, 0, "edge_point.Y:，不能转换double"},
      {"2,1&2,,3&4", false, 1, "edge_point.X:，不能转换double"},
      {"x,1&2", false, 0, "Length:x，不能转换int"},
  };
  for (const auto& c : cases) {
    std::vector<Point> edge{{9, 9}};
    canned.Reply(std::string("WaferEdge,OK,") + c.payload);
    EXPECT_EQ(client.Kestrel_WaferEdge("a", "b", {}, true, 0, 0, edge), c.ok) << c.payload;
    EXPECT_EQ(edge.size(), c.points) << c.payload;
    if (*c.line) {
      EXPECT_EQ(Red().back(), Gbk(c.line)) << c.payload;
    }
  }
  std::vector<Point> edge{{9, 9}};
  canned.Reply("WaferEdge,NG,no wafer");
  EXPECT_FALSE(client.Kestrel_WaferEdge("a", "b", {}, true, 0, 0, edge));
  ASSERT_EQ(edge.size(), 1u);
  EXPECT_EQ(edge[0].X, 9);
}

TEST_F(Replies, KerfCheckEightFields) {
  const struct {
    const char* payload;
    bool ok;
    int written;  // outputs written, in order
    const char* line;
  } cases[] = {
      {"1.5,30.2,41.7,3.1,8.0,5.5,0.4,40.9", true, 8, ""},
      {"1.5,30.2,41.7", false, 3, "CenterChippDistance:，不能转换double"},
      {"1,2,3,4,5,6,7,8.0,9.0", false, 7, "kerfWidthWithChipp2:8.0,9.0，不能转换double"},
      {"1.5,x,3,4,5,6,7,8", false, 1, "KerfWidthWithoutChipp:x，不能转换double"},
      {"1,2,3,4,5,6,q,8", false, 6, "KerfMeasure7:q，不能转换double"},
  };
  for (const auto& c : cases) {
    double o[8];
    for (double& value : o) value = kUntouched;
    canned.Reply(std::string("KerfCheck,OK,") + c.payload);
    EXPECT_EQ(client.Kestrel_KerfCheck("a", "b", "c", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                       0, 0, 0, 0, 0, o[0], o[1], o[2], o[3], o[4], o[5], o[6],
                                       o[7], false, "d"),
              c.ok)
        << c.payload;
    for (int i = 0; i < 8; ++i) EXPECT_EQ(o[i] != kUntouched, i < c.written) << c.payload << i;
    if (*c.line) {
      EXPECT_EQ(Red().back(), Gbk(c.line)) << c.payload;
    }
  }
  double o[8] = {kUntouched, kUntouched, kUntouched, kUntouched,
                 kUntouched, kUntouched, kUntouched, kUntouched};
  Kestrel never_connected;
  console.clear();
  EXPECT_TRUE(never_connected.Kestrel_LGKerfCheck("a", "b", "c", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                  0, 0, 0, 0, 0, 0, 0, 0, 0, o[0], o[1], o[2],
                                                  o[3], o[4], o[5], o[6], o[7], true, "d"));
  EXPECT_EQ(o[0], kUntouched);
  EXPECT_TRUE(console.lines().empty());
}

TEST_F(Replies, CircleFit) {
  const struct {
    const char* payload;
    bool ok;
    double x, y, radius;
    const char* line;
  } cases[] = {
      {"120.5&-30.25,75.125", true, 120.5, -30.25, 75.125, ""},
      {"1&2,3,4", true, 1, 2, 3, ""},
      {"1&2,r", false, 1, 2, kUntouched, "Radius:r，不能转换double"},
      {"1,2,3", false, kUntouched, kUntouched, kUntouched, "Center.X:1,2,3，不能转换double"},
  };
  for (const auto& c : cases) {
    Point center{kUntouched, kUntouched};
    double radius = kUntouched;
    canned.Reply(std::string("FixCircle,OK,") + c.payload);
    const std::vector<Point> points{{1, 2}, {3, 4}, {5, 7}};
    EXPECT_EQ(client.Kestrel_FixCircle(points, center, radius), c.ok) << c.payload;
    EXPECT_EQ(center.X, c.x);
    EXPECT_EQ(center.Y, c.y);
    EXPECT_EQ(radius, c.radius);
    if (*c.line) {
      EXPECT_EQ(Red().back(), Gbk(c.line)) << c.payload;
    }
  }
  ExpectErrorUntouched();
}

// ---- Memory running out ------------------------------------------------------

// Allocations above this many bytes fail while it is not 0: a long list or
// text in a reply cannot get its memory, short things still can.
std::atomic<std::size_t> fail_above{0};

// The last red line, kept without allocating.
char last_red[512];
void KeepLastRed(Corvus::HeraldColor color, const char*, const char* text, void*) {
  if (color == Corvus::HeraldColor::Red) std::snprintf(last_red, sizeof last_red, "%s", text);
}

TEST(OutOfMemory, EndsTheOperationWithARedLineAndFalse) {
#ifdef _WIN32
  GTEST_SKIP() << "the DLL's allocations do not go through this program's operator new";
#endif
  const std::string edge = [] {
    std::string list = "100";
    for (int i = 0; i < 100; ++i) list += ",1&2";
    return list;
  }();
  // Passed by value: moved in, so that the caller's copy needs no memory.
  std::vector<Point> circle(2000, Point{1, 2});
  std::vector<const char*> colors(3000, "red");
  const struct {
    const char* name;
    std::string reply;
    bool (*call)(Kestrel&, std::vector<Point>&, std::vector<const char*>&);
    const char* red;
  } cases[] = {
      {"wafer edge", "WaferEdge,OK," + edge,
       [](Kestrel& k, auto&, auto&) {
         std::vector<Point> points;
         return k.Kestrel_WaferEdge("a", "b", {}, true, 0, 0, points);
       },
       "Out of memory[Kestrel::Kestrel_WaferEdge]"},
      {"match list", "Template_Match,OK,40" + [] {
         std::string list;
         for (int i = 0; i < 40; ++i) list += ",1&1&0&0.5";
         return list;
       }(),
       [](Kestrel& k, auto&, auto&) {
         int count = 0;
         std::vector<Point> centers;
         std::vector<double> angles, scores;
         return k.Kestrel_MultTemplate_Match("a", "b", 40, "c", {}, 0, count, centers, angles,
                                             scores, false, false, "d", 0, 0, 0);
       },
       "Out of memory[Kestrel::Kestrel_MultTemplate_Match]"},
      {"focus text", "AutoFocus,OK,1," + std::string(400, 't'),
       [](Kestrel& k, auto&, auto&) {
         double result = 0;
         std::string text;
         return k.Kestrel_AutoFocus("Cam1", 1, 0, 0, 0, 0, 0, result, text, false);
       },
       "Out of memory[Kestrel::Kestrel_AutoFocus]"},
      {"error text", "GetGain,NG," + std::string(300, 'e'),
       [](Kestrel& k, auto&, auto&) {
         double gain = 0;
         return k.Kestrel_GetGain("Cam1", gain);
       },
       "Out of memory[Kestrel::Kestrel_GetGain]"},
      // Long lists are measured, not built: refused without a large allocation.
      {"circle points", "",
       [](Kestrel& k, auto& points, auto&) {
         Point center;
         double radius = 0;
         return k.Kestrel_FixCircle(std::move(points), center, radius);
       },
       "Request too long:36016 characters (at most 10237), not sent[Kestrel::Kestrel_FixCircle]"},
      {"colours", "",
       [](Kestrel& k, auto&, auto& names) {
         return k.Kestrel_SetTargetColor("Cam1", std::move(names));
       },
       "Request too long:12020 characters (at most 10237), not sent"
       "[Kestrel::Kestrel_SetTargetColor]"},
  };
  Corvus::Herald_Set_Sink(&KeepLastRed, nullptr);
  for (const auto& c : cases) {
    Kestrel client;
    CannedReplies canned(client);
    canned.core().set_error("earlier");
    if (!c.reply.empty()) canned.Reply(c.reply);
    last_red[0] = '\0';
    fail_above = 256;
    const bool ok = c.call(client, circle, colors);
    fail_above = 0;
    EXPECT_FALSE(ok) << c.name;
    EXPECT_STREQ(last_red, c.red) << c.name;
    if (std::string(c.name) == "error text") {
      EXPECT_STREQ(client.Kestrel_GetErrorString(), "earlier");
    }
  }
  Corvus::Herald_Set_Sink(nullptr, nullptr);
}

}  // namespace

// Replaces the program's allocator so that fail_above can make it fail.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  const std::size_t limit = fail_above.load(std::memory_order_relaxed);
  if (limit != 0 && size > limit) throw std::bad_alloc();
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
