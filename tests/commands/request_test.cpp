// The exact request line of every operation, as the server receives it: one
// row per operation, so that a wrong field order shows at once. Arguments the
// operation ignores (the kerf check's value17, the wafer edge's two ints, the
// auto-focus flag) are given values that would show.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "kestrel/kestrel.h"
#include "support/canned.h"
#include "support/console.h"

namespace {

using kestrel_test::CannedReplies;
using kestrel_test::ConsoleCapture;

struct Row {
  const char* name;
  std::function<void(Kestrel&)> call;
  const char* request;
};

double d = 0, e = 0;
int n = 0;
Point p;
std::string s;
std::vector<Point> pts;
std::vector<double> v1, v2;

const std::vector<Row>& Rows() {
  // clang-format off
  static const std::vector<Row> rows = {
      {"SetGain", [](Kestrel& k) { k.Kestrel_SetGain("Cam1", 2.5); }, "<SetGain,Cam1,2.500000>"},
      {"SetExposure", [](Kestrel& k) { k.Kestrel_SetExposure("Cam1", 1e20); },
       "<SetExposure,Cam1,100000000000000000000.000000>"},
      {"SetLight", [](Kestrel& k) { k.Kestrel_SetLight("Cam1", -5); }, "<SetIntensity,Cam1,-5>"},
      {"SetLightAndExposure", [](Kestrel& k) { k.Kestrel_SetLightAndExposure("A", "B", 120, true); },
       "<AdjustBrightness,B,A,120,1>"},
      {"SetLightAndExposureOff",
       [](Kestrel& k) { k.Kestrel_SetLightAndExposure("A", "B", 120, false); },
       "<AdjustBrightness,B,A,120,0>"},
      {"GetGain", [](Kestrel& k) { k.Kestrel_GetGain("Cam1", d); }, "<GetGain,Cam1>"},
      {"GetExposure", [](Kestrel& k) { k.Kestrel_GetExposure("Cam1", d); }, "<GetExposure,Cam1>"},
      {"GetLight", [](Kestrel& k) { k.Kestrel_GetLight("Cam1", n); }, "<GetIntensity,Cam1>"},
      {"StartGrab", [](Kestrel& k) { k.Kestrel_StartGrab("Cam1"); }, "<StartGrab,Cam1>"},
      {"StopGrab", [](Kestrel& k) { k.Kestrel_StopGrab("Cam1"); }, "<StopGrab,Cam1>"},
      {"ClearCameraIamge", [](Kestrel& k) { k.Kestrel_ClearCameraIamge("Cam1"); },
       "<ClearCameraIamge,Cam1>"},
      {"GetCameraScale", [](Kestrel& k) { k.Kestrel_GetCameraScale("Cam1", d, e); },
       "<GetScale,Cam1>"},
      {"SetTargetColor", [](Kestrel& k) { k.Kestrel_SetTargetColor("Cam1", {"red", "", "blue"}); },
       "<SetStateColor,Cam1,red,,blue>"},
      {"SetTargetColorNone", [](Kestrel& k) { k.Kestrel_SetTargetColor("Cam1", {}); },
       "<SetStateColor,Cam1,>"},
      {"SwitchToCamera", [](Kestrel& k) { k.Kestrel_SwitchToCamera("A", "B"); },
       "<SwitchToTheCamera,A,B>"},
      {"SetCamControlVisiable", [](Kestrel& k) { k.Kestrel_SetCamControlVisiable("W1", "C1", false); },
       "<CameraWinVisibleControl,W1,false,C1>"},
      {"ShowCutLine", [](Kestrel& k) { k.Kestrel_ShowCutLine("Cam1", 0.03); },
       "<ShowBaseLineWidth,Cam1,0.030000>"},
      {"AutoFocus",
       [](Kestrel& k) { k.Kestrel_AutoFocus("Cam1", 2, 0.5, 1.5, 0.01, 3, 0, d, s, true); },
       "<AutoFocus,Cam1,2,0.500000,1.500000,0.010000,3.000000,0.000000>"},
      {"Template_Create", [](Kestrel& k) { k.Kestrel_Template_Create("ta", "tb", "tc", 3); },
       "<Template_Create,tb,ta,tc,3>"},
      {"MultTemplate_Match",
       [](Kestrel& k) {
         k.Kestrel_MultTemplate_Match("ta", "tb", -4, "tc", {10, 20}, 0.5, n, pts, v1, v2, false,
                                      true, "td", 1, 2, 3);
       },
       "<Template_Match,ta,tb,tc,-4,10.000000,20.000000,0.500000,1.000000,2.000000,3.000000,"
       "false,true,td>"},
      {"Template_Match",
       [](Kestrel& k) {
         k.Kestrel_Template_Match("ta", "tb", "tc", {10, 20}, 0.5, p, d, e, true, false, "td");
       },
       "<Template_Match,ta,tb,tc,1,10.000000,20.000000,0.500000,0.000000,0.000000,0.000000,"
       "true,false,td>"},
      {"Template_Match_SCell",
       [](Kestrel& k) {
         k.Kestrel_Template_Match_SCell("ta", "tb", "tc", {10, 20}, 0.5, p, d, e, true, false,
                                        "td");
       },
       "<SmallCellTemMatch,ta,tb,tc,1,10.000000,20.000000,0.500000,0.000000,0.000000,0.000000,"
       "true,false,td>"},
      {"WaferEdge",
       [](Kestrel& k) { k.Kestrel_WaferEdge("ta", "tb", {100, 200.5}, true, 7, 8, pts); },
       "<WaferEdge,ta,tb,100.000000,200.500000,true>"},
      {"KerfCheck",
       [](Kestrel& k) {
         double o[8];
         k.Kestrel_KerfCheck("ta", "tb", "tc", 1, 2, -3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                             16, 17, 18, 999, 19, o[0], o[1], o[2], o[3], o[4], o[5], o[6], o[7],
                             true, "td");
       },
       "<KerfCheck,ta,tb,1.000000,2.000000,-3,4.000000,5.000000,6.000000,7,8.000000,9.000000,"
       "10.000000,11.000000,12.000000,13.000000,14.000000,15.000000,16.000000,17.000000,"
       "18.000000,true,td,19.000000,tc>"},
      {"FixCircle", [](Kestrel& k) { k.Kestrel_FixCircle({{1, 2}, {3.5, -4}}, p, d); },
       "<FixCircle,2,1.000000,2.000000,3.500000,-4.000000>"},
      {"FixCircleEmpty", [](Kestrel& k) { k.Kestrel_FixCircle({}, p, d); }, "<FixCircle,0,>"},
      {"GetReal", [](Kestrel& k) { k.Kestrel_GetReal("Cam1", {100, -20.5}, p); },
       "<GetReal,Cam1,100.000000,-20.500000>"},
      {"GetRuler", [](Kestrel& k) { k.Kestrel_GetRuler("Cam1", {100, -20.5}, p); },
       "<GetRuler,Cam1,100.000000,-20.500000>"},
      {"GetRealByPixelPoint",
       [](Kestrel& k) { k.Kestrel_GetRealByPixelPoint("Cam1", {1, 2}, {3, 4}, p); },
       "<GetRealByPixelPoint,Cam1,1.000000,2.000000,3.000000,4.000000>"},
      {"GetTargetCamReal", [](Kestrel& k) { k.Kestrel_GetTargetCamReal("CamA", "CamB", {1, 2}, p); },
       "<CovertPointCameraAToB,CamA,CamB,1.000000,2.000000>"},
      {"MwCalAnotherPointReal",
       [](Kestrel& k) { k.Kestrel_MwCalAnotherPointReal("Cam1", {1, 2}, 0.5, -7, p); },
       "<MwCalAnotherPointReal,Cam1,1.000000,2.000000,0.500000,-7.000000>"},
      {"GetRotateCenter", [](Kestrel& k) { k.Kestrel_GetRotateCenter("Cam1", d, e); },
       "<GetRotateCenter,Cam1>"},
      {"GetLineAngle", [](Kestrel& k) { k.Kestrel_GetLineAngle({0, 0}, {10, 10}, d); },
       "<GetLineAngle,0.000000,0.000000,10.000000,10.000000>"},
      {"GetPointAfterRotate_Real",
       [](Kestrel& k) { k.Kestrel_GetPointAfterRotate_Real({1, 2}, {3, 4}, -90, p); },
       "<GetPointAfterRotate_Real,1.000000,2.000000,3.000000,4.000000,-90.000000>"},
  };
  // clang-format on
  return rows;
}

TEST(Requests, EveryOperationSendsItsExactLine) {
  Kestrel client;
  CannedReplies canned(client);
  ConsoleCapture console;
  for (const Row& row : Rows()) {
    const std::size_t before = canned.requests().size();
    row.call(client);
    ASSERT_EQ(canned.requests().size(), before + 1) << row.name;
    EXPECT_EQ(canned.requests().back(), row.request) << row.name;
  }
}

// A request over 10237 characters is refused before anything is sent; one of
// exactly 10237 goes out.
TEST(Requests, TooLongIsRefusedBeforeSending) {
  Kestrel client;
  CannedReplies canned(client);
  ConsoleCapture console;
  const std::string head = "<SetStateColor,Cam1,>";
  const std::string fits(10237 - head.size(), 'c');
  canned.Reply("SetStateColor,OK,");
  EXPECT_TRUE(client.Kestrel_SetTargetColor("Cam1", {fits.c_str()}));
  ASSERT_EQ(canned.requests().size(), 1u);
  EXPECT_EQ(canned.requests()[0].size(), 10237u);

  const std::string over = fits + "c";
  client.Kestrel_ClearErrorString();
  EXPECT_FALSE(client.Kestrel_SetTargetColor("Cam1", {over.c_str()}));
  EXPECT_EQ(canned.requests().size(), 1u);
  const std::string refused =
      "Request too long:10238 characters (at most 10237), not sent[Kestrel::Kestrel_SetTargetColor]";
  EXPECT_EQ(console.lines().back(), kestrel_test::Red("Kestrel", refused));
  EXPECT_EQ(client.Kestrel_GetErrorString(), refused);
}

}  // namespace
