#include "sim/state_patch.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "platform/text.h"

namespace kestrel::sim {

namespace {

using nlohmann::json;

[[noreturn]] void Bad(const std::string& at, const std::string& why) {
  throw BadPatch((at.empty() ? std::string("the body") : at) + ": " + why);
}

// Gives each member of the object `j` (at `at`) to `member(name, value, its
// path)`.
template <typename Member>
void Members(const json& j, const std::string& at, Member member) {
  if (!j.is_object()) Bad(at, "expected an object");
  for (const auto& [name, value] : j.items())
    member(name, value, at.empty() ? name : at + "." + name);
}

double Number(const json& v, const std::string& at) {
  if (!v.is_number()) Bad(at, "expected a number");
  return v.get<double>();
}

int Whole(const json& v, const std::string& at, double min, double max) {
  if (!v.is_number_integer()) Bad(at, "expected a whole number");
  const double n = v.get<double>();
  if (n < min || n > max) Bad(at, "out of range");
  return static_cast<int>(n);
}

bool Flag(const json& v, const std::string& at) {
  if (!v.is_boolean()) Bad(at, "expected true or false");
  return v.get<bool>();
}

void MergePoint(const json& j, const std::string& at, Point2& p) {
  Members(j, at, [&](const std::string& name, const json& v, const std::string& field) {
    if (name != "x" && name != "y") Bad(field, "unknown field");
    (name == "x" ? p.x : p.y) = Number(v, field);
  });
}

void MergeCalibration(const json& j, const std::string& at, Calibration& c) {
  static const std::pair<const char*, double Calibration::*> kFields[] = {
      {"scale_x", &Calibration::scale_x},
      {"scale_y", &Calibration::scale_y},
      {"offset_x", &Calibration::offset_x},
      {"offset_y", &Calibration::offset_y},
      {"rotation_deg", &Calibration::rotation_deg}};
  Members(j, at, [&](const std::string& name, const json& v, const std::string& field) {
    const auto* f = std::find_if(std::begin(kFields), std::end(kFields),
                                 [&](const auto& k) { return name == k.first; });
    if (f == std::end(kFields)) Bad(field, "unknown field");
    c.*(f->second) = Number(v, field);
    if (f->first[0] == 's' && c.*(f->second) == 0.0)
      Bad(field, "a scale of zero cannot be inverted");
  });
}

void MergeCamera(const json& j, const std::string& at, Simulator::Camera& c) {
  Members(j, at, [&](const std::string& name, const json& v, const std::string& field) {
    if (name == "gain")
      c.gain = Number(v, field);
    else if (name == "exposure")
      c.exposure = Number(v, field);
    else if (name == "intensity")
      c.intensity =
          Whole(v, field, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
    else if (name == "grabbing")
      c.grabbing = Flag(v, field);
    else if (name == "visible")
      c.visible = Flag(v, field);
    else if (name == "base_line_width" || name == "state_colors" || name == "shown_window" ||
             name == "templates")
      Bad(field, "set by requests only");
    else
      Bad(field, "unknown field");
  });
}

// Entries by camera name (any text a request can carry): an object merges
// into the camera's own entry, made from `made` when it has none; null
// removes it.
template <typename T, typename Merge>
void MergeByName(const json& j, const std::string& at, std::map<std::string, T, std::less<>>& map,
                 const T& made, Merge merge) {
  Members(j, at, [&](const std::string& name, const json& v, const std::string& field) {
    const std::optional<std::string> gbk = platform::Utf8ToGbk(name);
    if (!gbk || gbk->empty()) Bad(field, "a camera name is non-empty text that GBK can hold");
    if (v.is_null()) {
      map.erase(*gbk);
      return;
    }
    const auto it = map.find(*gbk);
    T value = it == map.end() ? made : it->second;
    merge(v, field, value);
    map[*gbk] = value;
  });
}

}  // namespace

void MergeState(const json& body, Simulator::State& state, SimConfig& config) {
  Members(body, "", [&](const std::string& name, const json& v, const std::string& at) {
    if (name == "cameras") {
      MergeByName(v, at, state.cameras, Simulator::Camera{}, MergeCamera);
    } else if (name == "wafer") {
      Members(v, at, [&](const std::string& part, const json& w, const std::string& field) {
        if (part == "center") {
          MergePoint(w, field, config.wafer_center);
        } else if (part == "radius") {
          config.wafer_radius = Number(w, field);
          if (config.wafer_radius <= 0) Bad(field, "must be above 0");
        } else if (part == "points") {
          config.edge_points = Whole(w, field, 0, 100000);
        } else if (part == "noise") {
          config.edge_noise = Number(w, field);
          if (config.edge_noise < 0) Bad(field, "must not be negative");
        } else {
          Bad(field, part == "seed" ? "set on the command line only" : "unknown field");
        }
      });
    } else if (name == "calibrations" || name == "rotate_centers") {
      const bool cal = name == "calibrations";
      Members(v, at, [&](const std::string& part, const json& w, const std::string& field) {
        if (part == "default" && cal)
          MergeCalibration(w, field, config.default_calibration);
        else if (part == "default")
          MergePoint(w, field, config.default_rotate_center);
        else if (part == "cameras" && cal)
          MergeByName(w, field, config.calibrations, config.default_calibration, MergeCalibration);
        else if (part == "cameras")
          MergeByName(w, field, config.rotate_centers, config.default_rotate_center, MergePoint);
        else
          Bad(field, "unknown field");
      });
    } else if (name == "autofocus_ms") {
      config.autofocus_ms = Whole(v, at, 0, std::numeric_limits<int>::max());
    } else {
      Bad(at, "unknown field");
    }
  });
}

}  // namespace kestrel::sim
