// A guided tour of every command of the library against a vision server
// (normally the bundled simulator). The library's console lines are shown as
// they come; each step then prints what the caller got back.
//
//   kestrel-demo --port PORT [--address ADDR] [--part tour|late-focus|silent]
#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "kestrel/kestrel.h"
#include "platform/text.h"

namespace {

int failures = 0;

void step(const char* title, const std::function<bool(std::string&)>& call) {
  std::printf("\n\033[1m== %s\033[0m\n", title);
  std::fflush(stdout);
  std::string result;
  const bool ok = call(result);
  if (!ok) ++failures;
  std::printf("   -> %s%s%s\n", ok ? "ok" : "FAILED", result.empty() ? "" : ": ",
              result.c_str());
  std::fflush(stdout);
}

std::string fmt(const char* format, double a, double b = 0, double c = 0) {
  char text[256];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

std::string points(const std::vector<Point>& list, std::size_t most) {
  std::string text = std::to_string(list.size()) + " points";
  for (std::size_t i = 0; i < list.size() && i < most; ++i) {
    text += fmt(i == 0 ? " (%.3f, %.3f)" : ", (%.3f, %.3f)", list[i].X, list[i].Y);
  }
  if (list.size() > most) text += ", ...";
  return text;
}

void tour(Kestrel& k) {
  step("Camera parameters: set and read back gain, exposure and light", [&](std::string& r) {
    double gain = 0, exposure = 0;
    int light = 0;
    const bool ok = k.Kestrel_SetGain("Cam1", 2.5) && k.Kestrel_SetExposure("Cam1", 1200) &&
                    k.Kestrel_SetLight("Cam1", 180) &&
                    k.Kestrel_SetLightAndExposure("Ring", "Cam1", 120, true) &&
                    k.Kestrel_GetGain("Cam1", gain) && k.Kestrel_GetExposure("Cam1", exposure) &&
                    k.Kestrel_GetLight("Cam1", light);
    r = fmt("gain %.3f, exposure %.1f, ", gain, exposure) + "light " + std::to_string(light);
    return ok;
  });
  step("Acquisition and display", [&](std::string& r) {
    double sx = 0, sy = 0;
    const bool ok = k.Kestrel_StartGrab("Cam1") && k.Kestrel_SwitchToCamera("Main", "Cam1") &&
                    k.Kestrel_SetCamControlVisiable("Main", "Cam1", true) &&
                    k.Kestrel_ShowCutLine("Cam1", 0.03) &&
                    k.Kestrel_SetTargetColor("Cam1", {"red", "green", "blue"}) &&
                    k.Kestrel_GetCameraScale("Cam1", sx, sy) && k.Kestrel_StopGrab("Cam1") &&
                    k.Kestrel_ClearCameraIamge("Cam1");
    r = fmt("scale %.6f x %.6f", sx, sy);
    return ok;
  });
  step("Template creation and matching", [&](std::string& r) {
    int count = 0;
    std::vector<Point> centers;
    std::vector<double> angles, scores;
    Point best;
    double angle = 0, score = 0, first_score = 0;
    Point first;
    const bool ok =
        k.Kestrel_Template_Create("Mark1", "Cam1", "cross", 1) &&
        k.Kestrel_MultTemplate_Match("Cam1", "Mark1", 3, "roi", {320, 240}, 0.7, count, centers,
                                     angles, scores, true, false, "fast", 0, 0, 0) &&
        k.Kestrel_Template_Match("Cam1", "Mark1", "roi", {320, 240}, 0.7, best, angle, score,
                                 true, false, "fast") &&
        k.Kestrel_Template_Match_SCell("Cam1", "Mark1", "roi", {320, 240}, 0.7, first, angle,
                                       first_score, true, false, "fast");
    r = std::to_string(count) + " matches; best " + fmt("(%.2f, %.2f) score %.3f", best.X, best.Y, score);
    return ok;
  });
  step("Wafer edge, then a circle fitted through it", [&](std::string& r) {
    std::vector<Point> edge;
    Point center;
    double radius = 0;
    const bool ok = k.Kestrel_WaferEdge("Cam1", "edge", {0, 0}, true, 0, 0, edge) &&
                    k.Kestrel_FixCircle(edge, center, radius);
    r = points(edge, 3) + fmt("; centre (%.3f, %.3f), radius %.3f", center.X, center.Y, radius);
    return ok;
  });
  step("Kerf check (and the line-group kerf check, which does nothing)", [&](std::string& r) {
    double o[8] = {};
    const bool ok =
        k.Kestrel_KerfCheck("Cam1", "kerf", "deep", 0.03, 0.05, 2, 1, 1, 1, 3, 0, 0, 0, 0, 0, 0,
                            0, 0, 0, 0, 0, 0, 0, o[0], o[1], o[2], o[3], o[4], o[5], o[6], o[7],
                            true, "std") &&
        k.Kestrel_LGKerfCheck("Cam1", "kerf", "deep", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                              0, 0, 0, 0, 0, o[0], o[1], o[2], o[3], o[4], o[5], o[6], o[7], true,
                              "std");
    r = fmt("centre %.4f, width %.4f, with chipping %.4f", o[0], o[1], o[2]);
    return ok;
  });
  step("Point conversion", [&](std::string& r) {
    Point real, ruler, byPixel, target, another;
    const bool ok = k.Kestrel_GetReal("Cam1", {100, -20.5}, real) &&
                    k.Kestrel_GetRuler("Cam1", {100, -20.5}, ruler) &&
                    k.Kestrel_GetRealByPixelPoint("Cam1", {100, 100}, {200, 200}, byPixel) &&
                    k.Kestrel_GetTargetCamReal("Cam1", "Cam2", {100, -20.5}, target) &&
                    k.Kestrel_MwCalAnotherPointReal("Cam1", {100, -20.5}, 1.0, 2.0, another);
    r = fmt("real (%.4f, %.4f)", real.X, real.Y) + fmt(", on Cam2 (%.4f, %.4f)", target.X, target.Y);
    return ok;
  });
  step("Rotation and line geometry", [&](std::string& r) {
    double cx = 0, cy = 0, angle = 0;
    Point rotated;
    const bool ok = k.Kestrel_GetRotateCenter("Cam1", cx, cy) &&
                    k.Kestrel_GetLineAngle({0, 0}, {10, 10}, angle) &&
                    k.Kestrel_GetPointAfterRotate_Real({1, 0}, {0, 0}, 90, rotated);
    r = fmt("centre (%.2f, %.2f), angle %.2f", cx, cy, angle) +
        fmt(", (1,0) turned 90 about (0,0) -> (%.3f, %.3f)", rotated.X, rotated.Y);
    return ok;
  });
  step("Auto focus (the server answers only when the focus cycle is over)", [&](std::string& r) {
    double value = 0;
    std::string text;
    const bool ok = k.Kestrel_AutoFocus("Cam1", 1, 0.5, 1.5, 0.01, 3, 0, value, text, false);
    r = fmt("value %.3f, ", value) + "text \"" + text + "\"";
    return ok;
  });
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Guided tour of the Kestrel library against a vision server"};
  std::string address = "127.0.0.1";
  int port = 8000;
  std::string part = "tour";
  app.add_option("--address", address, "server address");
  app.add_option("--port", port, "server port");
  app.add_option("--part", part, "tour | late-focus | silent")
      ->check(CLI::IsMember({"tour", "late-focus", "silent"}));
  CLI11_PARSE(app, argc, argv);
  kestrel::platform::UseUtf8Console();

  Kestrel client;
  if (!client.Kestrel_Connect_Port(address.c_str(), port)) return 3;
  if (part == "tour") {
    tour(client);
  } else if (part == "late-focus") {
    step("Auto focus that answers after the 5000 ms timeout, within its 60000 ms wait",
         [&](std::string& r) {
           double value = 0;
           std::string text;
           const bool ok = client.Kestrel_AutoFocus("Cam1", 1, 0, 0, 0, 0, 0, value, text, false);
           r = fmt("value %.3f", value);
           return ok;
         });
  } else {
    step("A server that stays silent: the call gives up after its timeout", [&](std::string& r) {
      Point real;
      const bool ok = client.Kestrel_GetReal("Cam1", {1, 2}, real);
      r = std::string("error text: ") + kestrel::platform::GbkToUtf8(client.Kestrel_GetErrorString());
      return !ok;  // the failure is what this part shows
    });
  }
  client.Kestrel_Disconnect_Port();
  std::printf("\n%s: %d step(s) failed\n", part.c_str(), failures);
  return failures == 0 ? 0 : 1;
}
