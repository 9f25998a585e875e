// Reply handling of every command operation on hostile reply text.
//
// Input: the first byte picks the operation (the thirty command operations
// and Kestrel_Template_Match, in the order of seeds.py); the rest is the
// unframed reply text that the client's exchange hands back, so the whole
// public operation (verdict, payload split, conversions, output writes,
// console lines, error text) runs on it. (The unframing of the text is the
// string toolkit's, checked in yarn_fuzz.cpp.)
//
// Checked besides the sanitizers: one exchange per operation, every console
// line and the error text stay bounded, the outputs of the list operations
// stay consistent with what they report, and the free auto-focus text stays
// within its 511 characters.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/record.h"
#include "support/canned.h"
#include "fuzz_check.h"
#include "kestrel/host.h"
#include "kestrel/kestrel.h"

namespace {

using kestrel::kTextCapacity;

// The longest console line the reply handling may print: a whole reply or
// payload and a function name.
constexpr std::size_t kLongestLine = kTextCapacity + 256;

// One input: the reply text and the outputs the operations write (fresh for
// every input).
struct Input {
  std::string reply;
  double d[8] = {};
  int i = 0;
  Point p{};
};

void CheckLine(Corvus::HeraldColor, const char* title, const char* text, void*) {
  FUZZ_CHECK(title != nullptr && text != nullptr);
  FUZZ_CHECK(std::strlen(text) < kLongestLine);
}

Point P(double x, double y) { return Point{x, y}; }

using Operation = void (*)(Kestrel& c, Input& o);

// One row per operation, in the order of seeds.py; each runs the operation
// once with fixed arguments and checks what its outputs promise.
const Operation kOperations[] = {
    [](Kestrel& c, Input&) { c.Kestrel_SetGain("Cam1", 1.5); },
    [](Kestrel& c, Input&) { c.Kestrel_SetExposure("Cam1", 2000.0); },
    [](Kestrel& c, Input&) { c.Kestrel_SetLight("Cam1", 128); },
    [](Kestrel& c, Input&) { c.Kestrel_SetLightAndExposure("A", "B", 3, true); },
    [](Kestrel& c, Input& o) { c.Kestrel_GetGain("Cam1", o.d[0]); },
    [](Kestrel& c, Input& o) { c.Kestrel_GetExposure("Cam1", o.d[0]); },
    [](Kestrel& c, Input& o) { c.Kestrel_GetLight("Cam1", o.i); },
    [](Kestrel& c, Input&) { c.Kestrel_StartGrab("Cam1"); },
    [](Kestrel& c, Input&) { c.Kestrel_StopGrab("Cam1"); },
    [](Kestrel& c, Input&) { c.Kestrel_ClearCameraIamge("Cam1"); },
    [](Kestrel& c, Input& o) { c.Kestrel_GetCameraScale("Cam1", o.d[0], o.d[1]); },
    [](Kestrel& c, Input&) { c.Kestrel_SetTargetColor("Cam1", {"red", "green"}); },
    [](Kestrel& c, Input&) { c.Kestrel_SwitchToCamera("Cam1", "Win1"); },
    [](Kestrel& c, Input&) { c.Kestrel_SetCamControlVisiable("Cam1", "Win1", true); },
    [](Kestrel& c, Input&) { c.Kestrel_ShowCutLine("Cam1", 0.25); },
    [](Kestrel& c, Input& o) {
      std::string text = "unchanged";
      c.Kestrel_AutoFocus("Cam1", 1, 1, 2, 3, 4, 5, o.d[0], text, false);
      FUZZ_CHECK(text.size() <= 511);
    },
    [](Kestrel& c, Input&) { c.Kestrel_Template_Create("T1", "Cam1", "model", 2); },
    [](Kestrel& c, Input&) {
      // Each list grows as its field converts: centres at most one ahead of
      // the angles, angles at most one ahead of the scores.
      int count = -7;
      std::vector<Point> centers(3);
      std::vector<double> angles(2), scores(1);
      const bool ok =
          c.Kestrel_MultTemplate_Match("Cam1", "T1", 5, "model", P(1, 2), 0.5, count, centers,
                                       angles, scores, true, false, "d", 1, 2, 3);
      FUZZ_CHECK(angles.size() <= centers.size() && centers.size() <= angles.size() + 1);
      FUZZ_CHECK(scores.size() <= angles.size() && angles.size() <= scores.size() + 1);
      FUZZ_CHECK(centers.size() <= static_cast<std::size_t>(count > 0 ? count : 0));
      if (ok && count > 0) FUZZ_CHECK(scores.size() == static_cast<std::size_t>(count));
    },
    [](Kestrel& c, Input& o) {
      // Only a score strictly above 0 is taken: the score stays 0 or becomes
      // positive, never NaN, whatever the result.
      double score = -1;
      c.Kestrel_Template_Match("Cam1", "T1", "model", P(1, 2), 0.5, o.p, o.d[0], score, true, false,
                               "d");
      FUZZ_CHECK(score >= 0.0);
    },
    [](Kestrel& c, Input&) {
      // Outputs are written only once the whole list has parsed.
      Point center{7, 7};
      double angle = 7, score = -1;
      if (!c.Kestrel_Template_Match_SCell("Cam1", "T1", "model", P(1, 2), 0.5, center, angle, score,
                                          false, true, "d")) {
        FUZZ_CHECK(score == 0.0 && angle == 7 && center.X == 7 && center.Y == 7);
      }
    },
    [](Kestrel& c, Input& o) {
      // On success the list holds the count announced after "WaferEdge,OK,".
      std::vector<Point> points(4);
      if (c.Kestrel_WaferEdge("Cam1", "W", P(3, 4), true, 0, 0, points)) {
        FUZZ_CHECK(o.reply.rfind("WaferEdge,OK,", 0) == 0);
        FUZZ_CHECK(static_cast<long>(points.size()) ==
                   std::strtol(o.reply.c_str() + 13, nullptr, 10));
      }
    },
    [](Kestrel& c, Input& o) {
      double* d = o.d;
      c.Kestrel_KerfCheck("A", "B", "C", 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17,
                          18, 19, 20, d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], true, "D");
    },
    [](Kestrel& c, Input& o) { c.Kestrel_FixCircle({P(1, 2), P(3, 4), P(5, 7)}, o.p, o.d[0]); },
    [](Kestrel& c, Input& o) { c.Kestrel_MwCalAnotherPointReal("Cam1", P(1, 2), 3, 4, o.p); },
    [](Kestrel& c, Input& o) { c.Kestrel_GetReal("Cam1", P(1, 2), o.p); },
    [](Kestrel& c, Input& o) { c.Kestrel_GetRuler("Cam1", P(1, 2), o.p); },
    [](Kestrel& c, Input& o) { c.Kestrel_GetRealByPixelPoint("Cam1", P(1, 2), P(3, 4), o.p); },
    [](Kestrel& c, Input& o) { c.Kestrel_GetTargetCamReal("CamA", "CamB", P(1, 2), o.p); },
    [](Kestrel& c, Input& o) { c.Kestrel_GetRotateCenter("Cam1", o.d[0], o.d[1]); },
    [](Kestrel& c, Input& o) { c.Kestrel_GetLineAngle(P(0, 0), P(1, 1), o.d[0]); },
    [](Kestrel& c, Input& o) { c.Kestrel_GetPointAfterRotate_Real(P(0, 0), P(1, 1), 90, o.p); },
};
constexpr std::size_t kOperationCount = sizeof kOperations / sizeof kOperations[0];
static_assert(kOperationCount == 31, "thirty command operations and Template_Match");

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Kestrel* client = [] {
    Corvus::Herald_Set_Sink(&CheckLine, nullptr);
    return new Kestrel;
  }();
  if (size == 0) return 0;
  // The reply as a read leaves it: up to its first NUL, within the buffer.
  const char* text = reinterpret_cast<const char*>(data + 1);
  Input in{std::string(text, strnlen(text, std::min<std::size_t>(size - 1, kTextCapacity - 1)))};
  kestrel_test::CannedReplies canned(*client);  // hands the text back as the reply
  canned.Reply(in.reply);
  client->Kestrel_ClearErrorString();
  kOperations[data[0] % kOperationCount](*client, in);
  FUZZ_CHECK(canned.requests().size() == 1);
  FUZZ_CHECK(canned.requests()[0].size() <= static_cast<std::size_t>(kestrel::kMaxRequestLength));
  FUZZ_CHECK(std::strlen(client->Kestrel_GetErrorString()) < kLongestLine);
  return 0;
}
