// Request parsing, dispatch over the catalogue's command words and the
// simulated vision-server state.
#include "sim/protocol.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <type_traits>
#include <unordered_map>

#include "catalogue/catalogue.h"
#include "common/circle_fit.h"

namespace kestrel::sim {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;
// The client holds a reply head in 64 bytes; an echoed word is cut to fit.
constexpr std::size_t kMaxHead = 63;
// Field text quoted in an NG message is cut to this many bytes.
constexpr std::size_t kMaxQuote = 40;

using Camera = Simulator::Camera;
using Template = Simulator::Template;

// A whole number as it is. Any other in fixed notation with six decimals, the
// form the client itself sends; values too large for that are written in
// their shortest exact form so that no number runs past the client's 64-byte
// field texts.
template <typename T>
void AppendNumber(std::string& out, T v) {
  std::array<char, 64> buf;
  std::to_chars_result r;
  if constexpr (std::is_integral_v<T>) {
    r = std::to_chars(buf.data(), buf.data() + buf.size(), v);
  } else {
    if (std::fabs(v) < 5e-7) v = 0.0;  // no "-0.000000"
    if (std::isfinite(v) && std::fabs(v) < 1e15) {
      r = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::fixed, 6);
    } else {
      r = std::to_chars(buf.data(), buf.data() + buf.size(), v);  // shortest exact form
    }
  }
  out.append(buf.data(), r.ptr);
}

void AppendPoint(std::string& out, Point2 p) {
  AppendNumber(out, p.x);
  out += '&';
  AppendNumber(out, p.y);
}

std::string_view Quote(std::string_view text) { return text.substr(0, kMaxQuote); }

// splitmix64: a portable, seedable source of the simulator's "noise", so that
// the same configuration gives the same replies on every platform.
std::uint64_t Mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// Uniform in [-1, 1].
double Jitter(std::uint64_t seed, std::uint64_t i) {
  return static_cast<double>(Mix(seed * 0x100000001B3ull + i) >> 11) * (2.0 / 9007199254740992.0) -
         1.0;
}

std::uint64_t HashText(std::string_view a, std::string_view b) {
  std::uint64_t h = 0xCBF29CE484222325ull;  // FNV-1a
  for (char ch : a) h = (h ^ static_cast<unsigned char>(ch)) * 0x100000001B3ull;
  h = (h ^ 0x1F) * 0x100000001B3ull;
  for (char ch : b) h = (h ^ static_cast<unsigned char>(ch)) * 0x100000001B3ull;
  return h;
}

// ---------------------------------------------------------------------------
// Geometry

// `p` rotated about `center` by `deg` degrees, counter-clockwise for a
// positive angle (from +X towards +Y).
Point2 RotateAbout(Point2 p, Point2 center, double deg) {
  const double c = std::cos(deg * kDeg);
  const double s = std::sin(deg * kDeg);
  const double dx = p.x - center.x;
  const double dy = p.y - center.y;
  return {center.x + c * dx - s * dy, center.y + s * dx + c * dy};
}

// A pixel point of a camera to real coordinates (scaled, rotated about the
// origin, shifted), and back.
Point2 PixelToReal(const Calibration& cal, Point2 px) {
  const Point2 r = RotateAbout({cal.scale_x * px.x, cal.scale_y * px.y}, {}, cal.rotation_deg);
  return {r.x + cal.offset_x, r.y + cal.offset_y};
}

Point2 RealToPixel(const Calibration& cal, Point2 real) {
  const Point2 r =
      RotateAbout({real.x - cal.offset_x, real.y - cal.offset_y}, {}, -cal.rotation_deg);
  return {r.x / cal.scale_x, r.y / cal.scale_y};
}

}  // namespace

// ---------------------------------------------------------------------------
// Request parsing

const char* ParseRequest(std::string_view line, Request& req) {
  req.word = {};
  req.fields.clear();
  if (line.empty()) return "empty request line";
  if (line.size() < 2 || line.front() != '<' || line.back() != '>')
    return "request is not framed by '<' and '>'";
  std::string_view inner = line.substr(1, line.size() - 2);
  std::size_t comma = inner.find(',');
  req.word = inner.substr(0, comma);
  if (req.word.empty()) return "request has no command word";
  while (comma != std::string_view::npos) {
    const std::size_t start = comma + 1;
    comma = inner.find(',', start);
    req.fields.push_back(inner.substr(start, comma - start));
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// One call: the simulator's state, the request, the reply being built and the
// field converters, each of which writes the NG reply itself when its field is
// unusable. The handlers below are free functions over it.

struct Ctx {
  Simulator& sim;
  Request& req;
  std::string& out;
  Outcome& outcome;
  std::string_view sample;  // the command's usual OK payload
  bool failed = false;
  const SimConfig& config = sim.config_;
  std::shared_mutex& mu = sim.mu_;
  decltype(Simulator::State::templates)& templates = sim.state_.templates;

  std::string_view Field(std::size_t i) const { return req.fields[i]; }

  // The configuration's parts: the caller holds mu (shared will do), as a
  // control-plane update may change them between requests.
  const Calibration& CalibrationOf(std::string_view cam) const {
    auto it = config.calibrations.find(cam);
    return it == config.calibrations.end() ? config.default_calibration : it->second;
  }
  Point2 RotateCenterOf(std::string_view cam) const {
    auto it = config.rotate_centers.find(cam);
    return it == config.rotate_centers.end() ? config.default_rotate_center : it->second;
  }
  // The camera (or window) named in field 0, created on first use. The caller
  // holds mu exclusively.
  Camera& CameraForWrite() {
    auto it = sim.state_.cameras.find(Field(0));
    if (it == sim.state_.cameras.end()) it = sim.state_.cameras.emplace(std::string(Field(0)), Camera{}).first;
    return it->second;
  }

  void Ok() { out += ",OK,"; }
  // ",OK," and the number or point that a query answers.
  template <typename T>
  void Ok(T v) {
    Ok();
    AppendNumber(out, v);
  }
  void Ok(Point2 p) {
    Ok();
    AppendPoint(out, p);
  }
  // The usual reply of a command that only changes state: "done", "grabbing".
  void Done() {
    Ok();
    out += sample;
  }
  // An NG reply instead of what was written so far, its message the texts
  // one after the other.
  template <typename... Text>
  void Ng(const Text&... text) {
    out.resize(1 + outcome.head.size());  // keep "<WORD"
    out += ",NG,";
    ((out += text), ...);
    failed = true;
  }
  // A finite number, or a whole number where the handler wants an int.
  template <typename T>
  bool Num(std::size_t i, std::string_view name, T& v) {
    if (ParseNumber(Field(i), v) && std::isfinite(static_cast<double>(v))) return true;
    Ng(name, std::is_integral_v<T> ? " is not a whole number: '" : " is not a number: '",
       Quote(Field(i)), "'");
    return false;
  }
  bool Bool(std::size_t i, std::string_view name, bool& v) {
    v = Field(i) == "true";
    if (v || Field(i) == "false") return true;
    Ng(name, " must be true or false: '", Quote(Field(i)), "'");
    return false;
  }
  // A camera, window or template name: any text but an empty one.
  bool Name(std::size_t i, std::string_view what) {
    if (!Field(i).empty()) return true;
    Ng(what, " is empty");
    return false;
  }
  // One point (x, y) or two (x1, y1, x2, y2) from consecutive fields.
  bool Points(std::size_t first, std::size_t count, Point2* dst) {
    static constexpr std::array<std::string_view, 6> kNames{"x", "y", "x1", "y1", "x2", "y2"};
    const std::size_t names = count == 1 ? 0 : 2;
    for (std::size_t k = 0; k < count; ++k) {
      if (!Num(first + 2 * k, kNames[names + 2 * k], dst[k].x)) return false;
      if (!Num(first + 2 * k + 1, kNames[names + 2 * k + 1], dst[k].y)) return false;
    }
    return true;
  }
  // Replies ",OK,<n>" and then up to `wanted` entries, each written by
  // `entry(list, i)` after its comma, as many as keep the framed reply
  // within kListReplyBudget.
  template <typename Entry>
  void List(long long wanted, Entry entry) {
    std::string& list = req.scratch;
    list.clear();
    const std::size_t fixed = out.size() + 4 /* ",OK," */ + 11 /* count */ + 3 /* ">\r\n" */;
    long long n = 0;
    for (; n < wanted; ++n) {
      const std::size_t mark = list.size();
      list += ',';
      entry(list, n);
      if (fixed + list.size() > kListReplyBudget) {
        list.resize(mark);
        break;
      }
    }
    Ok(n);
    out += list;
  }
};

namespace {

// ---------------------------------------------------------------------------
// Camera settings, remembered per camera (or window) named in field 0

template <typename T>
void Store(Ctx& c, T Camera::*parameter, T value) {
  std::unique_lock lock(c.mu);
  c.CameraForWrite().*parameter = std::move(value);
  c.Done();
}

template <typename T>
void SetParameter(Ctx& c, std::string_view what, T Camera::*parameter) {
  T v;
  if (!c.Name(0, "camera") || !c.Num(1, what, v)) return;
  Store(c, parameter, v);
}

template <typename T>
void GetParameter(Ctx& c, T Camera::*parameter) {
  if (!c.Name(0, "camera")) return;
  c.Ok(c.sim.CameraState(c.Field(0)).*parameter);
}

// StartGrab and StopGrab.
void Grab(Ctx& c) {
  if (c.Name(0, "camera")) Store(c, &Camera::grabbing, c.outcome.head == "StartGrab");
}

void AdjustBrightness(Ctx& c) {
  int v;
  if (!c.Name(0, "camera") || !c.Num(2, "intensity", v)) return;
  if (c.Field(3) != "0" && c.Field(3) != "1") {
    c.Ng("flag must be 1 or 0: '", Quote(c.Field(3)), "'");
    return;
  }
  std::unique_lock lock(c.mu);
  Camera& cam = c.CameraForWrite();
  cam.intensity = v;
  // With the flag set the exposure follows the light: back to its default.
  if (c.Field(3) == "1") cam.exposure = Camera{}.exposure;
  c.Done();
}

void CameraWinVisibleControl(Ctx& c) {
  bool visible;
  if (!c.Name(0, "window") || !c.Bool(1, "visible", visible)) return;
  std::unique_lock lock(c.mu);
  Camera& cam = c.CameraForWrite();
  cam.visible = visible;
  cam.shown_window = std::string(c.Field(2));
  c.Done();
}

void ShowBaseLineWidth(Ctx& c) {
  double width;
  if (!c.Name(0, "camera") || !c.Num(1, "width", width)) return;
  if (width < 0) {
    c.Ng("width must not be negative");
    return;
  }
  Store(c, &Camera::base_line_width, width);
}

void SetStateColor(Ctx& c) {
  if (!c.Name(0, "camera")) return;
  std::unique_lock lock(c.mu);
  auto& colors = c.CameraForWrite().state_colors;
  // A single empty field is the client's form of an empty list.
  const bool none = c.req.fields.size() == 2 && c.Field(1).empty();
  colors.assign(c.req.fields.begin() + (none ? 2 : 1), c.req.fields.end());
  c.Ok(colors.size());
}

void GetScale(Ctx& c) {
  if (!c.Name(0, "camera")) return;
  std::shared_lock lock(c.mu);
  const Calibration& cal = c.CalibrationOf(c.Field(0));
  c.Ok({cal.scale_x, cal.scale_y});
}

// ---------------------------------------------------------------------------
// Auto focus: the best position is the middle of the search range [v1, v2].

void AutoFocus(Ctx& c) {
  int number;
  std::array<double, 5> v;
  if (!c.Name(0, "camera") || !c.Num(1, "number", number)) return;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (!c.Num(2 + i, "v" + std::to_string(i + 1), v[i])) return;
  }
  c.Ok(v[0] + (v[1] - v[0]) / 2.0);
  c.out += ",focus done on ";
  c.out += c.Field(0);
  c.out += ", ";
  AppendNumber(c.out, number);
  c.out += " passes, step ";
  AppendNumber(c.out, v[2]);
  std::shared_lock lock(c.mu);
  c.outcome.delay_ms = c.config.autofocus_ms;
}

// ---------------------------------------------------------------------------
// Templates, keyed by the first two fields of both requests (camera or
// window, then template name).

void TemplateCreate(Ctx& c) {
  int number;
  if (!c.Name(0, "camera") || !c.Name(1, "template name") || !c.Num(3, "number", number)) return;
  std::unique_lock lock(c.mu);
  Template& t = c.templates[std::string(c.Field(0))][std::string(c.Field(1))];
  t.region = std::string(c.Field(2));
  t.number = number;
  c.Done();
}

void TemplateMatch(Ctx& c) {
  std::string_view cam = c.Field(0), name = c.Field(1);
  int requested;
  double x, y, value, e1, e2, e3;
  bool fa, fb;
  if (!c.Num(3, "count", requested) || !c.Num(4, "x", x) || !c.Num(5, "y", y) ||
      !c.Num(6, "value", value) || !c.Num(7, "extra1", e1) || !c.Num(8, "extra2", e2) ||
      !c.Num(9, "extra3", e3) || !c.Bool(10, "flagA", fa) || !c.Bool(11, "flagB", fb))
    return;
  {
    std::shared_lock lock(c.mu);
    const auto on_camera = c.templates.find(cam);
    if (on_camera == c.templates.end() || on_camera->second.count(name) == 0) {
      c.Ng("no template '", Quote(name), "' on ", Quote(cam));
      return;
    }
  }
  // Instances lie on a grid that starts at the search point, nudged by a
  // template-specific sub-pixel offset; scores fall with the index.
  const bool small_cell = c.outcome.head == "SmallCellTemMatch";
  const double pitch = small_cell ? 16.0 : 64.0;
  const std::uint64_t h = HashText(cam, name);
  const double dx = 0.5 * Jitter(h, 0), dy = 0.5 * Jitter(h, 1);
  // An entry is its centre, then its angle and score.
  c.List(requested, [&](std::string& list, long long i) {
    const double k = static_cast<double>(i);
    AppendPoint(list, {x + dx + pitch * static_cast<double>(i % 8),
                       y + dy + pitch * static_cast<double>(i / 8)});
    list += '&';
    AppendPoint(list, {0.05 * static_cast<double>((i * 7) % 11 - 5), 0.98 - 0.4 * k / (k + 10)});
  });
}

// ---------------------------------------------------------------------------
// Wafer edge: points evenly spread round the configured circle, each moved
// radially by a seeded deviation of at most edge_noise.

void WaferEdge(Ctx& c) {
  double x, y;
  bool flag;
  if (!c.Name(0, "camera") || !c.Num(2, "x", x) || !c.Num(3, "y", y) || !c.Bool(4, "flag", flag))
    return;
  std::shared_lock lock(c.mu);
  c.List(std::max(0, c.config.edge_points), [&](std::string& list, long long i) {
    const double a = 2.0 * kPi * static_cast<double>(i) / c.config.edge_points;
    const double r = c.config.wafer_radius +
                     c.config.edge_noise * Jitter(c.config.seed, static_cast<unsigned>(i));
    AppendPoint(list, {c.config.wafer_center.x + r * std::cos(a),
                       c.config.wafer_center.y + r * std::sin(a)});
  });
}

// ---------------------------------------------------------------------------
// Kerf check: value1 is taken as the expected kerf centre and value2 as the
// blade's nominal kerf width (30 when not positive); the chipping is sized
// from that width.

void KerfCheck(Ctx& c) {
  if (!c.Name(0, "camera")) return;
  std::array<double, 16> v;  // value1..value16
  int n1, n2;
  double v18;
  bool flag;
  // Field positions of value1..value16 after the command word.
  static constexpr std::array<std::size_t, 16> kPos{2,  3,  5,  6,  7,  9,  10, 11,
                                                    12, 13, 14, 15, 16, 17, 18, 19};
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (!c.Num(kPos[i], "value" + std::to_string(i + 1), v[i])) return;
  }
  if (!c.Num(4, "number1", n1) || !c.Num(8, "number2", n2) || !c.Bool(20, "flag", flag) ||
      !c.Num(22, "value18", v18))
    return;
  const double width = v[1] > 0 ? v[1] : 30.0;
  const double center = v[0] + 0.125;
  const double without = width + 0.25;
  const double chip_h = 0.15 * width + 0.5;
  const double chip_w = 2.5 * chip_h;
  const double with = without + chip_h;
  const double distance = without / 2.0 + chip_h / 2.0;
  const double share = 100.0 * chip_h / with;  // chipping share of the kerf, percent
  const double with2 = without + 0.6 * chip_h;
  c.Ok();
  for (double r : {center, without, with, distance, chip_w, chip_h, share, with2}) {
    AppendNumber(c.out, r);
    c.out += ',';
  }
  c.out.pop_back();
}

// ---------------------------------------------------------------------------
// Circle fit

void FixCircle(Ctx& c) {
  int count;
  if (!c.Num(0, "count", count)) return;
  std::size_t coords = c.req.fields.size() - 1;
  if (coords == 1 && c.Field(1).empty()) coords = 0;  // "<FixCircle,0,>"
  if (count < 0 || coords != 2 * static_cast<std::size_t>(count)) {
    c.Ng("point count ", std::to_string(count), " does not match the number of coordinates ",
         std::to_string(coords));
    return;
  }
  auto& pts = c.req.points;
  pts.clear();
  for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
    Point2 p;
    if (!c.Num(1 + 2 * i, "x", p.x) || !c.Num(2 + 2 * i, "y", p.y)) return;
    pts.push_back(p);
  }
  if (count < 3) {
    c.Ng("a circle needs at least three points");
    return;
  }
  geometry::KasaCircle fit;
  if (!geometry::FitKasaCircle(
          pts, [](const Point2& p) { return p.x; }, [](const Point2& p) { return p.y; }, fit) ||
      !std::isfinite(fit.radius)) {
    c.Ng("points are collinear, no circle fits");
    return;
  }
  c.Ok({fit.x, fit.y});
  c.out += ',';
  AppendNumber(c.out, fit.radius);
}

// ---------------------------------------------------------------------------
// Point conversion

void GetReal(Ctx& c) {
  Point2 p;
  if (!c.Name(0, "camera") || !c.Points(1, 1, &p)) return;
  std::shared_lock lock(c.mu);
  c.Ok(PixelToReal(c.CalibrationOf(c.Field(0)), p));
}

// Ruler reading: the pixel scaled by the camera, without rotation or offset.
void GetRuler(Ctx& c) {
  Point2 p;
  if (!c.Name(0, "camera") || !c.Points(1, 1, &p)) return;
  std::shared_lock lock(c.mu);
  const Calibration& cal = c.CalibrationOf(c.Field(0));
  c.Ok({cal.scale_x * p.x, cal.scale_y * p.y});
}

// Real position of the midpoint of two pixel points.
void GetRealByPixelPoint(Ctx& c) {
  Point2 p[2];
  if (!c.Name(0, "camera") || !c.Points(1, 2, p)) return;
  std::shared_lock lock(c.mu);
  c.Ok(PixelToReal(c.CalibrationOf(c.Field(0)), {(p[0].x + p[1].x) / 2, (p[0].y + p[1].y) / 2}));
}

// A pixel of camera A to the pixel of camera B that sees the same real point.
void ConvertPointCameraAToB(Ctx& c) {
  Point2 p;
  if (!c.Name(0, "cameraA") || !c.Name(1, "cameraB") || !c.Points(2, 1, &p)) return;
  std::shared_lock lock(c.mu);
  c.Ok(RealToPixel(c.CalibrationOf(c.Field(1)), PixelToReal(c.CalibrationOf(c.Field(0)), p)));
}

// The real point at `distance` from the point's real position, in the
// direction `angle` (degrees, counter-clockwise from +X).
void MwCalAnotherPointReal(Ctx& c) {
  Point2 p;
  double dist, angle;
  if (!c.Name(0, "camera") || !c.Points(1, 1, &p) || !c.Num(3, "distance", dist) ||
      !c.Num(4, "angle", angle))
    return;
  std::shared_lock lock(c.mu);
  Point2 r = PixelToReal(c.CalibrationOf(c.Field(0)), p);
  c.Ok({r.x + dist * std::cos(angle * kDeg), r.y + dist * std::sin(angle * kDeg)});
}

// ---------------------------------------------------------------------------
// Rotation and line geometry

void GetRotateCenter(Ctx& c) {
  if (!c.Name(0, "camera")) return;
  std::shared_lock lock(c.mu);
  c.Ok(c.RotateCenterOf(c.Field(0)));
}

void GetLineAngle(Ctx& c) {
  Point2 p[2];
  if (!c.Points(0, 2, p)) return;
  if (p[0].x == p[1].x && p[0].y == p[1].y) {
    c.Ng("the two points coincide, the line has no angle");
    return;
  }
  c.Ok(std::atan2(p[1].y - p[0].y, p[1].x - p[0].x) / kDeg);
}

void GetPointAfterRotate(Ctx& c) {
  Point2 p[2];
  double angle;
  if (!c.Points(0, 2, p) || !c.Num(4, "angle", angle)) return;
  c.Ok(RotateAbout(p[0], p[1], angle));
}

// ---------------------------------------------------------------------------
// Dispatch

using HandlerFn = void (*)(Ctx&);

struct Command {
  std::string_view word;
  std::size_t min_fields;
  std::size_t max_fields;
  std::string usage;  // names of the fields, for the field-count message
  HandlerFn fn;       // null: the word is answered with its sample reply
  std::string_view sample;
};

constexpr std::size_t kAny = catalogue::kAnyFields;

// The protocol's vocabulary is the catalogue's: each command word with the
// field counts and names of the first operation that sends it. The words the
// simulator models have a handler; any other is answered with the
// catalogue's sample reply.
const std::vector<Command>& Table() {
  static const std::vector<Command> table = [] {
    const std::unordered_map<std::string_view, HandlerFn> handlers{
        {"SetGain", [](Ctx& c) { SetParameter(c, "gain", &Camera::gain); }},
        {"SetExposure", [](Ctx& c) { SetParameter(c, "exposure", &Camera::exposure); }},
        {"SetIntensity", [](Ctx& c) { SetParameter(c, "intensity", &Camera::intensity); }},
        {"AdjustBrightness", AdjustBrightness},
        {"GetGain", [](Ctx& c) { GetParameter(c, &Camera::gain); }},
        {"GetExposure", [](Ctx& c) { GetParameter(c, &Camera::exposure); }},
        {"GetIntensity", [](Ctx& c) { GetParameter(c, &Camera::intensity); }},
        {"StartGrab", Grab},
        {"StopGrab", Grab},
        {"ClearCameraIamge",
         [](Ctx& c) {
           if (c.Name(0, "camera")) c.Done();
         }},
        {"SwitchToTheCamera",
         [](Ctx& c) {
           if (c.Name(0, "window")) Store(c, &Camera::shown_window, std::string(c.Field(1)));
         }},
        {"CameraWinVisibleControl", CameraWinVisibleControl},
        {"ShowBaseLineWidth", ShowBaseLineWidth},
        {"SetStateColor", SetStateColor},
        {"GetScale", GetScale},
        {"AutoFocus", AutoFocus},
        {"Template_Create", TemplateCreate},
        {"Template_Match", TemplateMatch},
        {"SmallCellTemMatch", TemplateMatch},
        {"WaferEdge", WaferEdge},
        {"KerfCheck", KerfCheck},
        {"FixCircle", FixCircle},
        {"GetReal", GetReal},
        {"GetRuler", GetRuler},
        {"GetRealByPixelPoint", GetRealByPixelPoint},
        {"CovertPointCameraAToB", ConvertPointCameraAToB},
        {"MwCalAnotherPointReal", MwCalAnotherPointReal},
        {"GetRotateCenter", GetRotateCenter},
        {"GetLineAngle", GetLineAngle},
        {"GetPointAfterRotate_Real", GetPointAfterRotate},
    };
    std::vector<Command> words;
    for (const catalogue::Command& row : catalogue::Commands()) {
      const std::string_view word = row.word;
      const auto known = [&](const Command& c) { return c.word == word; };
      if (word.empty() || std::any_of(words.begin(), words.end(), known)) continue;
      const catalogue::FieldCount fields = catalogue::Fields(row);
      const auto handler = handlers.find(word);
      words.push_back({word, fields.min, fields.max, catalogue::FieldUsage(row),
                       handler == handlers.end() ? nullptr : handler->second, row.sample});
    }
    return words;
  }();
  return table;
}

const Command* Find(std::string_view word) {
  static const std::unordered_map<std::string_view, const Command*> index = [] {
    std::unordered_map<std::string_view, const Command*> m;
    for (const auto& c : Table()) m.emplace(c.word, &c);
    return m;
  }();
  auto it = index.find(word);
  return it == index.end() ? nullptr : it->second;
}

}  // namespace

std::vector<std::string_view> Simulator::CommandWords() {
  std::vector<std::string_view> words;
  for (const auto& c : Table()) words.push_back(c.word);
  return words;
}

bool Simulator::IsCommandWord(std::string_view word) { return Find(word) != nullptr; }

// ---------------------------------------------------------------------------

Simulator::Simulator(SimConfig config) : initial_(std::move(config)), config_(initial_) {}

std::string Simulator::Handle(std::string_view line) {
  Request req;
  std::string reply;
  Handle(line, req, reply);
  return reply;
}

Outcome Simulator::Handle(std::string_view line, Request& req, std::string& reply) {
  Outcome outcome;
  const char* why = ParseRequest(line, req);
  outcome.head = why != nullptr ? kUnknownHead : req.word.substr(0, kMaxHead);
  reply.clear();
  reply += '<';
  reply += outcome.head;
  const Command* cmd = why != nullptr ? nullptr : Find(req.word);
  Ctx ctx{*this, req, reply, outcome, cmd == nullptr ? "" : cmd->sample};
  if (why != nullptr) {
    ctx.Ng(why);
  } else if (cmd == nullptr) {
    ctx.Ng("unknown command word '", Quote(req.word), "'");
  } else if (req.fields.size() < cmd->min_fields || req.fields.size() > cmd->max_fields) {
    ctx.Ng(cmd->word, " expects ", cmd->max_fields == kAny ? "at least " : "",
           std::to_string(cmd->min_fields) + " fields (" + cmd->usage + "), got " +
               std::to_string(req.fields.size()));
  } else if (cmd->fn == nullptr) {
    ctx.Done();
  } else {
    cmd->fn(ctx);
  }
  if (ctx.failed) outcome.delay_ms = 0;
  reply += '>';
  return outcome;
}

Simulator::Camera Simulator::CameraState(std::string_view name) const {
  std::shared_lock lock(mu_);
  auto it = state_.cameras.find(name);
  return it == state_.cameras.end() ? Camera{} : it->second;
}

Simulator::State Simulator::Snapshot() const {
  std::shared_lock lock(mu_);
  return state_;
}

void Simulator::Reset() {
  std::unique_lock lock(mu_);
  state_ = {};
  config_ = initial_;
}

SimConfig Simulator::config() const {
  std::shared_lock lock(mu_);
  return config_;
}

void Simulator::Update(const std::function<void(State&, SimConfig&)>& change) {
  std::unique_lock lock(mu_);
  change(state_, config_);
}

}  // namespace kestrel::sim
