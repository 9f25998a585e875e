#include "commands.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <sstream>
#include <system_error>
#include <utility>

#include "output.h"

namespace kestrel_cli {

// ---- Typed access to converted arguments --------------------------------------

template <typename T>
const T& Args::get(std::size_t i) const {
  const T* value = i < values_.size() ? std::get_if<T>(&values_[i]) : nullptr;
  if (value == nullptr) {
    throw std::logic_error("command table: argument " + std::to_string(i) +
                           " is missing or has another type");
  }
  return *value;
}

const char* Args::text(std::size_t i) const { return get<std::string>(i).c_str(); }
int Args::integer(std::size_t i) const { return get<int>(i); }
double Args::number(std::size_t i) const { return get<double>(i); }
bool Args::flag(std::size_t i) const { return get<bool>(i); }
Point Args::point(std::size_t i) const { return get<Point>(i); }
const std::vector<std::string>& Args::texts(std::size_t i) const {
  return get<std::vector<std::string>>(i);
}
const std::vector<Point>& Args::points(std::size_t i) const { return get<std::vector<Point>>(i); }

namespace {

// ---- Table helpers ------------------------------------------------------------

ArgInfo Text(const char* name) { return {name, ArgType::kText}; }
ArgInfo Int(const char* name) { return {name, ArgType::kInt}; }
ArgInfo Num(const char* name) { return {name, ArgType::kDouble}; }
ArgInfo Flag(const char* name) { return {name, ArgType::kBool}; }
ArgInfo Pt(const char* name) { return {name, ArgType::kPoint}; }
ArgInfo Texts(const char* name) { return {name, ArgType::kTextList}; }
ArgInfo Pts(const char* name) { return {name, ArgType::kPointList}; }

// Arguments of the two kerf operations, in their parameter order. value17 is
// left out: the library does not send it.
std::vector<ArgInfo> KerfArgs() {
  return {Text("text_a"), Text("text_b"), Text("text_c"), Num("value1"),  Num("value2"),
          Int("number1"), Num("value3"),  Num("value4"),  Num("value5"),  Int("number2"),
          Num("value6"),  Num("value7"),  Num("value8"),  Num("value9"),  Num("value10"),
          Num("value11"), Num("value12"), Num("value13"), Num("value14"), Num("value15"),
          Num("value16"), Num("value18"), Flag("flag"),   Text("text_d")};
}

constexpr const char* kKerfExample =
    "Cam1 Kerf1 Blade1 0.5 1.5 2 10 20 30 3 0.1 0.2 0.3 0.4 0.5 0.6 0.7 0.8 0.9 1.0 1.1 1.2 "
    "true Lane1";

// Kestrel_KerfCheck and Kestrel_LGKerfCheck share their parameter list; only
// the real measurement reports outputs (the other writes none).
template <auto kOperation, bool kMeasures>
bool RunKerf(Kestrel& k, const Args& a, Outputs& out) {
  double v[8] = {};
  const bool ok = (k.*kOperation)(a.text(0), a.text(1), a.text(2), a.number(3), a.number(4),
                                  a.integer(5), a.number(6), a.number(7), a.number(8), a.integer(9),
                                  a.number(10), a.number(11), a.number(12), a.number(13),
                                  a.number(14), a.number(15), a.number(16), a.number(17),
                                  a.number(18), a.number(19), a.number(20), 0.0, a.number(21), v[0],
                                  v[1], v[2], v[3], v[4], v[5], v[6], v[7], a.flag(22), a.text(23));
  if (kMeasures) {
    static const char* const kNames[8] = {"center",
                                          "kerf_width_without_chipp",
                                          "kerf_width_with_chipp",
                                          "center_chipp_distance",
                                          "chipp_size_width",
                                          "chipp_size_height",
                                          "kerf_measure7",
                                          "kerf_width_with_chipp2"};
    for (int i = 0; i < 8; ++i) out.push_back({kNames[i], v[i]});
  }
  return ok;
}

// Kestrel_Template_Match and Kestrel_Template_Match_SCell share their
// parameter list and both hand back one match.
template <auto kOperation>
bool RunSingleMatch(Kestrel& k, const Args& a, Outputs& out) {
  Match m;
  const bool ok = (k.*kOperation)(a.text(0), a.text(1), a.text(2), a.point(3), a.number(4),
                                  m.center, m.angle, m.score, a.flag(5), a.flag(6), a.text(7));
  out.push_back({"match", m});
  return ok;
}

// One row per command reads better than one line per field.
// clang-format off
std::vector<CommandInfo> BuildTable() {
  return {
      // ---- Camera parameters ----
      {"set-gain", "Kestrel_SetGain", "SetGain", {Text("camera"), Num("gain")},
       "Sets the gain of a camera.", "Cam1 2.5", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs&) {
         return k.Kestrel_SetGain(a.text(0), a.number(1));
       }},
      {"set-exposure", "Kestrel_SetExposure", "SetExposure", {Text("camera"), Num("exposure")},
       "Sets the exposure of a camera.", "Cam1 1500", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs&) {
         return k.Kestrel_SetExposure(a.text(0), a.number(1));
       }},
      {"set-light", "Kestrel_SetLight", "SetIntensity", {Text("camera"), Int("intensity")},
       "Sets the light intensity of a camera.", "Cam1 120", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs&) {
         return k.Kestrel_SetLight(a.text(0), a.integer(1));
       }},
      {"set-light-and-exposure", "Kestrel_SetLightAndExposure", "AdjustBrightness",
       {Text("text_a"), Text("text_b"), Int("number"), Flag("flag")},
       "Adjusts brightness (TEXT_B goes out before TEXT_A, the flag as 1 or 0).", "A B 120 true",
       false, nullptr,
       [](Kestrel& k, const Args& a, Outputs&) {
         return k.Kestrel_SetLightAndExposure(a.text(0), a.text(1), a.integer(2), a.flag(3));
       }},
      {"get-gain", "Kestrel_GetGain", "GetGain", {Text("camera")}, "Reads the gain of a camera.",
       "Cam1", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs& out) {
         double gain = 0.0;
         const bool ok = k.Kestrel_GetGain(a.text(0), gain);
         out.push_back({"gain", gain});
         return ok;
       }},
      {"get-exposure", "Kestrel_GetExposure", "GetExposure", {Text("camera")},
       "Reads the exposure of a camera.", "Cam1", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs& out) {
         double exposure = 0.0;
         const bool ok = k.Kestrel_GetExposure(a.text(0), exposure);
         out.push_back({"exposure", exposure});
         return ok;
       }},
      {"get-light", "Kestrel_GetLight", "GetIntensity", {Text("camera")},
       "Reads the light intensity of a camera.", "Cam1", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs& out) {
         int intensity = 0;
         const bool ok = k.Kestrel_GetLight(a.text(0), intensity);
         out.push_back({"intensity", intensity});
         return ok;
       }},

      // ---- Acquisition and display ----
      {"start-grab", "Kestrel_StartGrab", "StartGrab", {Text("camera")},
       "Starts grabbing images on a camera.", "Cam1", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs&) { return k.Kestrel_StartGrab(a.text(0)); }},
      {"stop-grab", "Kestrel_StopGrab", "StopGrab", {Text("camera")},
       "Stops grabbing images on a camera.", "Cam1", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs&) { return k.Kestrel_StopGrab(a.text(0)); }},
      {"clear-camera-image", "Kestrel_ClearCameraIamge", "ClearCameraIamge", {Text("camera")},
       "Clears the image shown for a camera.", "Cam1", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs&) { return k.Kestrel_ClearCameraIamge(a.text(0)); }},
      {"get-camera-scale", "Kestrel_GetCameraScale", "GetScale", {Text("camera")},
       "Reads the X and Y scale of a camera.", "Cam1", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs& out) {
         double sx = 0.0;
         double sy = 0.0;
         const bool ok = k.Kestrel_GetCameraScale(a.text(0), sx, sy);
         out.push_back({"scale_x", sx});
         out.push_back({"scale_y", sy});
         return ok;
       }},
      {"set-target-color", "Kestrel_SetTargetColor", "SetStateColor",
       {Text("camera"), Texts("colors")},
       "Sets the target (state) colours of a camera; each colour becomes a field.",
       "Cam1 red green blue", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs&) {
         std::vector<const char*> colors;
         for (const std::string& c : a.texts(1)) colors.push_back(c.c_str());
         return k.Kestrel_SetTargetColor(a.text(0), colors);
       }},
      {"switch-to-camera", "Kestrel_SwitchToCamera", "SwitchToTheCamera",
       {Text("text_a"), Text("text_b")}, "Switches the display to a camera.", "Win1 Cam1", false,
       nullptr,
       [](Kestrel& k, const Args& a, Outputs&) {
         return k.Kestrel_SwitchToCamera(a.text(0), a.text(1));
       }},
      {"set-cam-control-visible", "Kestrel_SetCamControlVisiable", "CameraWinVisibleControl",
       {Text("text_a"), Text("text_b"), Flag("visible")},
       "Shows or hides a camera window control.", "Win1 Cam1 true", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs&) {
         return k.Kestrel_SetCamControlVisiable(a.text(0), a.text(1), a.flag(2));
       }},
      {"show-cut-line", "Kestrel_ShowCutLine", "ShowBaseLineWidth",
       {Text("camera"), Num("width")}, "Shows the cut (base) line of a camera with a width.",
       "Cam1 0.03", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs&) {
         return k.Kestrel_ShowCutLine(a.text(0), a.number(1));
       }},

      // ---- Auto focus ----
      {"auto-focus", "Kestrel_AutoFocus", "AutoFocus",
       {Text("camera"), Int("number"), Num("value1"), Num("value2"), Num("value3"),
        Num("value4"), Num("value5")},
       "Runs an auto-focus cycle (waits up to a minute) and reads its result.",
       "Cam1 2 0.5 1.5 0.01 3 0", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs& out) {
         double result = 0.0;
         std::string text;
         const bool ok = k.Kestrel_AutoFocus(a.text(0), a.integer(1), a.number(2), a.number(3),
                                             a.number(4), a.number(5), a.number(6), result, text,
                                             false);
         out.push_back({"result", result});
         out.push_back({"result_text", GbkToUtf8(text)});
         return ok;
       }},

      // ---- Template matching ----
      {"template-create", "Kestrel_Template_Create", "Template_Create",
       {Text("text_a"), Text("text_b"), Text("text_c"), Int("number")},
       "Creates a template (TEXT_B goes out before TEXT_A).", "Mark1 Cam1 Roi1 3", false,
       nullptr,
       [](Kestrel& k, const Args& a, Outputs&) {
         return k.Kestrel_Template_Create(a.text(0), a.text(1), a.text(2), a.integer(3));
       }},
      {"mult-template-match", "Kestrel_MultTemplate_Match", "Template_Match",
       {Text("text_a"), Text("text_b"), Int("count"), Text("text_c"), Pt("point"), Num("value"),
        Flag("flag_a"), Flag("flag_b"), Text("text_d"), Num("extra1"), Num("extra2"),
        Num("extra3")},
       "Matches up to COUNT instances of a template: centres, angles, scores.",
       "Cam1 Mark1 5 Roi1 320 240 0.7 true false none 0 0 0", true, nullptr,
       [](Kestrel& k, const Args& a, Outputs& out) {
         int count = 0;
         std::vector<Point> centers;
         std::vector<double> angles;
         std::vector<double> scores;
         const bool ok = k.Kestrel_MultTemplate_Match(
             a.text(0), a.text(1), a.integer(2), a.text(3), a.point(4), a.number(5), count,
             centers, angles, scores, a.flag(6), a.flag(7), a.text(8), a.number(9),
             a.number(10), a.number(11));
         std::vector<Match> matches;
         const std::size_t n = std::min({centers.size(), angles.size(), scores.size()});
         for (std::size_t i = 0; i < n; ++i) matches.push_back({centers[i], angles[i], scores[i]});
         out.push_back({"count", count});
         out.push_back({"matches", std::move(matches)});
         return ok;
       }},
      {"template-match", "Kestrel_Template_Match", "Template_Match",
       {Text("text_a"), Text("text_b"), Text("text_c"), Pt("point"), Num("value"),
        Flag("flag_a"), Flag("flag_b"), Text("text_d")},
       "Matches one instance of a template and keeps the best score above 0.",
       "Cam1 Mark1 Roi1 320 240 0.7 true false none", true, "no match found",
       &RunSingleMatch<&Kestrel::Kestrel_Template_Match>},
      {"template-match-scell", "Kestrel_Template_Match_SCell", "SmallCellTemMatch",
       {Text("text_a"), Text("text_b"), Text("text_c"), Pt("point"), Num("value"),
        Flag("flag_a"), Flag("flag_b"), Text("text_d")},
       "Matches one small-cell instance and keeps the first match.",
       "Cam1 Cell1 Roi1 320 240 0.7 true false none", true, "no match found",
       &RunSingleMatch<&Kestrel::Kestrel_Template_Match_SCell>},

      // ---- Wafer inspection ----
      {"wafer-edge", "Kestrel_WaferEdge", "WaferEdge",
       {Text("text_a"), Text("text_b"), Pt("point"), Flag("flag")},
       "Reads points on the wafer edge.", "Cam1 Edge1 100 200.5 true", true, nullptr,
       [](Kestrel& k, const Args& a, Outputs& out) {
         std::vector<Point> points;
         const bool ok = k.Kestrel_WaferEdge(a.text(0), a.text(1), a.point(2), a.flag(3), 0, 0,
                                             points);
         out.push_back({"points", std::move(points)});
         return ok;
       }},
      {"kerf-check", "Kestrel_KerfCheck", "KerfCheck", KerfArgs(),
       "Measures a cut kerf and its chipping: eight values.", kKerfExample, false, nullptr,
       &RunKerf<&Kestrel::Kestrel_KerfCheck, true>},
      {"lg-kerf-check", "Kestrel_LGKerfCheck", "", KerfArgs(),
       "Does nothing and succeeds (sends nothing, measures nothing).", kKerfExample, false,
       nullptr, &RunKerf<&Kestrel::Kestrel_LGKerfCheck, false>},
      {"fix-circle", "Kestrel_FixCircle", "FixCircle", {Pts("points")},
       "Has the server fit a circle through points: centre and radius.", "0 10 10 0 0 -10",
       false, nullptr,
       [](Kestrel& k, const Args& a, Outputs& out) {
         Point center;
         double radius = 0.0;
         const bool ok = k.Kestrel_FixCircle(a.points(0), center, radius);
         out.push_back({"center", center});
         out.push_back({"radius", radius});
         return ok;
       }},

      // ---- Point conversion ----
      {"get-real", "Kestrel_GetReal", "GetReal", {Text("camera"), Pt("point")},
       "Converts a camera point into real coordinates.", "Cam1 100 -20.5", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs& out) {
         Point real;
         const bool ok = k.Kestrel_GetReal(a.text(0), a.point(1), real);
         out.push_back({"real", real});
         return ok;
       }},
      {"get-ruler", "Kestrel_GetRuler", "GetRuler", {Text("camera"), Pt("point")},
       "Converts a camera point into ruler coordinates.", "Cam1 100 -20.5", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs& out) {
         Point ruler;
         const bool ok = k.Kestrel_GetRuler(a.text(0), a.point(1), ruler);
         out.push_back({"ruler", ruler});
         return ok;
       }},
      {"get-real-by-pixel-point", "Kestrel_GetRealByPixelPoint", "GetRealByPixelPoint",
       {Text("camera"), Pt("first"), Pt("second")},
       "Computes real coordinates from two camera points.", "Cam1 100 200 300 400", false,
       nullptr,
       [](Kestrel& k, const Args& a, Outputs& out) {
         Point real;
         const bool ok = k.Kestrel_GetRealByPixelPoint(a.text(0), a.point(1), a.point(2), real);
         out.push_back({"real", real});
         return ok;
       }},
      {"get-target-cam-real", "Kestrel_GetTargetCamReal", "CovertPointCameraAToB",
       {Text("camera_a"), Text("camera_b"), Pt("point")},
       "Expresses a point of camera A for camera B.", "CamA CamB 1 2", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs& out) {
         Point res;
         const bool ok = k.Kestrel_GetTargetCamReal(a.text(0), a.text(1), a.point(2), res);
         out.push_back({"point", res});
         return ok;
       }},
      {"mw-cal-another-point-real", "Kestrel_MwCalAnotherPointReal", "MwCalAnotherPointReal",
       {Text("camera"), Pt("point"), Num("first_value"), Num("second_value")},
       "Computes a further real point from a camera point and two values.",
       "Cam1 10 20 1.5 -2", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs& out) {
         Point target;
         const bool ok = k.Kestrel_MwCalAnotherPointReal(a.text(0), a.point(1), a.number(2),
                                                         a.number(3), target);
         out.push_back({"point", target});
         return ok;
       }},

      // ---- Rotation and line geometry ----
      {"get-rotate-center", "Kestrel_GetRotateCenter", "GetRotateCenter", {Text("camera")},
       "Reads the rotation centre of a camera.", "Cam1", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs& out) {
         Point center;
         const bool ok = k.Kestrel_GetRotateCenter(a.text(0), center.X, center.Y);
         out.push_back({"center", center});
         return ok;
       }},
      {"get-line-angle", "Kestrel_GetLineAngle", "GetLineAngle", {Pt("first"), Pt("second")},
       "Reads the angle of the line through two points.", "0 0 10 10", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs& out) {
         double angle = 0.0;
         const bool ok = k.Kestrel_GetLineAngle(a.point(0), a.point(1), angle);
         out.push_back({"angle", angle});
         return ok;
       }},
      {"get-point-after-rotate-real", "Kestrel_GetPointAfterRotate_Real",
       "GetPointAfterRotate_Real", {Pt("first"), Pt("second"), Num("angle")},
       "Reads the real position of a point after a rotation.", "1 2 3 4 90", false, nullptr,
       [](Kestrel& k, const Args& a, Outputs& out) {
         Point rotated;
         const bool ok = k.Kestrel_GetPointAfterRotate_Real(a.point(0), a.point(1), a.number(2),
                                                            rotated);
         out.push_back({"point", rotated});
         return ok;
       }},
  };
}
// clang-format on

// ---- Argument conversion --------------------------------------------------------

std::string Upper(const char* name) {
  std::string s(name);
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

[[noreturn]] void Bad(const CommandInfo& cmd, const std::string& arg, const std::string& word,
                      const char* why) {
  throw UsageError(std::string(cmd.name) + ": " + arg + ": '" + word + "' " + why);
}

double ToDouble(const CommandInfo& cmd, const std::string& arg, const std::string& word) {
  double value = 0.0;
  const char* end = word.data() + word.size();
  const auto [ptr, ec] = std::from_chars(word.data(), end, value);
  if (word.empty() || ec == std::errc::invalid_argument || ptr != end) {
    Bad(cmd, arg, word, "is not a number");
  }
  if (ec == std::errc::result_out_of_range || !std::isfinite(value)) {
    Bad(cmd, arg, word, "is not a finite number");
  }
  return value;
}

int ToInt(const CommandInfo& cmd, const std::string& arg, const std::string& word) {
  int value = 0;
  const char* end = word.data() + word.size();
  const auto [ptr, ec] = std::from_chars(word.data(), end, value);
  if (ec == std::errc::result_out_of_range) Bad(cmd, arg, word, "is out of range");
  if (word.empty() || ec != std::errc() || ptr != end) {
    Bad(cmd, arg, word, "is not a whole number");
  }
  return value;
}

bool ToBool(const CommandInfo& cmd, const std::string& arg, const std::string& word) {
  if (word == "true" || word == "1") return true;
  if (word == "false" || word == "0") return false;
  Bad(cmd, arg, word, "is not true, false, 1 or 0");
}

std::string ToText(const CommandInfo& cmd, const std::string& arg, const std::string& word) {
  std::optional<std::string> gbk = Utf8ToGbk(word);
  if (!gbk) Bad(cmd, arg, word, "has a character that GBK cannot hold");
  return *gbk;
}

const char* TypeHelp(ArgType type) {
  switch (type) {
    case ArgType::kText:
      return "text";
    case ArgType::kInt:
      return "whole number";
    case ArgType::kDouble:
      return "number";
    case ArgType::kBool:
      return "true, false, 1 or 0";
    case ArgType::kPoint:
      return "point: two numbers, X Y";
    case ArgType::kTextList:
      return "the remaining words, any number of them";
    case ArgType::kPointList:
      return "the remaining numbers, as X Y pairs";
  }
  return "";
}

// The client's error text after a failed exchange ("communication failed").
constexpr const char* kNoReply = "\xE9\x80\x9A\xE8\xAE\xAF\xE5\xA4\xB1\xE8\xB4\xA5!";

}  // namespace

const std::vector<CommandInfo>& Commands() {
  static const std::vector<CommandInfo> table = BuildTable();
  return table;
}

const CommandInfo* FindCommand(std::string_view name) {
  for (const CommandInfo& cmd : Commands()) {
    if (name == cmd.name) return &cmd;
  }
  return nullptr;
}

Args ParseArgs(const CommandInfo& cmd, const std::vector<std::string>& words) {
  std::size_t fixed = 0;
  bool list = false;
  for (const ArgInfo& arg : cmd.args) {
    if (arg.type == ArgType::kTextList || arg.type == ArgType::kPointList) {
      list = true;
    } else {
      fixed += arg.type == ArgType::kPoint ? 2 : 1;
    }
  }
  if (words.size() < fixed || (!list && words.size() > fixed)) {
    throw UsageError(std::string(cmd.name) + " takes " + (list ? "at least " : "") +
                     std::to_string(fixed) + (fixed == 1 ? " value" : " values") + ", got " +
                     std::to_string(words.size()) + "\nusage: kestrel " + UsageLine(cmd));
  }

  std::vector<ArgValue> values;
  std::size_t pos = 0;
  for (const ArgInfo& arg : cmd.args) {
    const std::string name = Upper(arg.name);
    switch (arg.type) {
      case ArgType::kText:
        values.emplace_back(ToText(cmd, name, words[pos++]));
        break;
      case ArgType::kInt:
        values.emplace_back(ToInt(cmd, name, words[pos++]));
        break;
      case ArgType::kDouble:
        values.emplace_back(ToDouble(cmd, name, words[pos++]));
        break;
      case ArgType::kBool:
        values.emplace_back(ToBool(cmd, name, words[pos++]));
        break;
      case ArgType::kPoint: {
        Point p;
        p.X = ToDouble(cmd, name + ".X", words[pos++]);
        p.Y = ToDouble(cmd, name + ".Y", words[pos++]);
        values.emplace_back(p);
        break;
      }
      case ArgType::kTextList: {
        std::vector<std::string> texts;
        for (; pos < words.size(); ++pos) texts.push_back(ToText(cmd, name, words[pos]));
        values.emplace_back(std::move(texts));
        break;
      }
      case ArgType::kPointList: {
        const std::size_t rest = words.size() - pos;
        if (rest % 2 != 0) {
          throw UsageError(std::string(cmd.name) + ": " + name + ": X Y pairs expected, got " +
                           std::to_string(rest) + " numbers");
        }
        std::vector<Point> points;
        for (std::size_t i = 0; pos < words.size(); ++i) {
          const std::string at = name + "[" + std::to_string(i) + "]";
          Point p;
          p.X = ToDouble(cmd, at + ".X", words[pos++]);
          p.Y = ToDouble(cmd, at + ".Y", words[pos++]);
          points.push_back(p);
        }
        values.emplace_back(std::move(points));
        break;
      }
    }
  }
  return Args(std::move(values));
}

std::string UsageLine(const CommandInfo& cmd) {
  std::string line = cmd.name;
  for (const ArgInfo& arg : cmd.args) {
    const std::string name = Upper(arg.name);
    switch (arg.type) {
      case ArgType::kPoint:
        line += " " + name + "(X Y)";
        break;
      case ArgType::kTextList:
        line += " [" + name + "...]";
        break;
      case ArgType::kPointList:
        line += " [" + name + "(X Y)...]";
        break;
      default:
        line += " " + name;
        break;
    }
  }
  return line;
}

std::string CommandHelp(const CommandInfo& cmd) {
  std::ostringstream out;
  out << "usage: kestrel " << UsageLine(cmd) << "\n"
      << cmd.summary << "\n"
      << "Calls " << cmd.operation;
  if (*cmd.word != '\0') {
    out << ", which sends " << cmd.word;
  } else {
    out << ", which sends nothing";
  }
  out << ".\n";
  if (!cmd.args.empty()) {
    std::size_t width = 0;
    for (const ArgInfo& arg : cmd.args) width = std::max(width, std::string(arg.name).size());
    out << "arguments:\n";
    for (const ArgInfo& arg : cmd.args) {
      const std::string name = Upper(arg.name);
      out << "  " << name << std::string(width - name.size() + 2, ' ') << TypeHelp(arg.type)
          << "\n";
    }
  }
  out << "example: kestrel " << cmd.name << " " << cmd.example << "\n";
  if (cmd.drawable) out << "With --svg FILE the result is also drawn.\n";
  return out.str();
}

std::string CommandListing() {
  std::string out;
  for (const CommandInfo& cmd : Commands()) {
    out += "  " + UsageLine(cmd) + "\n      " + cmd.summary + "\n";
  }
  return out;
}

std::vector<std::string> SplitScriptLine(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
        word += line[++i];
      } else if (c == '"') {
        quoted = false;
      } else {
        word += c;
      }
    } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else if (c == '#' && !in_word) {
      break;
    } else if (c == '"') {
      quoted = true;
      in_word = true;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (quoted) throw UsageError("unterminated quote");
  if (in_word) words.push_back(std::move(word));
  return words;
}

std::vector<Invocation> ParseScript(std::istream& in) {
  std::vector<Invocation> script;
  std::string text;
  for (int line = 1; std::getline(in, text); ++line) {
    try {
      std::vector<std::string> words = SplitScriptLine(text);
      if (words.empty()) continue;
      const CommandInfo* cmd = FindCommand(words.front());
      if (cmd == nullptr) throw UsageError("unknown command '" + words.front() + "'");
      words.erase(words.begin());
      script.push_back({cmd, ParseArgs(*cmd, words), line});
    } catch (const UsageError& e) {
      throw UsageError("line " + std::to_string(line) + ": " + e.what());
    }
  }
  return script;
}

Result Execute(Kestrel& client, const Invocation& invocation,
               const std::function<std::string()>& console_failure) {
  const CommandInfo& cmd = *invocation.cmd;
  Result result;
  result.command = cmd.name;
  result.line = invocation.line;
  // The error text survives successes and payload failures; clearing it
  // first makes whatever is there afterwards this call's own.
  client.Kestrel_ClearErrorString();
  Outputs outputs;
  result.ok = cmd.run(client, invocation.args, outputs);
  if (result.ok) {
    result.outputs = std::move(outputs);
    return result;
  }
  result.error = GbkToUtf8(client.Kestrel_GetErrorString());
  if (result.error == kNoReply) result.error += " (no valid reply from the server)";
  if (result.error.empty() && console_failure) result.error = console_failure();
  if (result.error.empty() && cmd.no_reason != nullptr) result.error = cmd.no_reason;
  if (result.error.empty()) result.error = "failed";
  return result;
}

}  // namespace kestrel_cli
