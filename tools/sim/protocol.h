// The vision-server side of the line protocol, without any sockets: one
// request line in, one reply line out, over a simulated camera and
// inspection state that every connection of the simulator shares.
#ifndef KESTREL_SIM_PROTOCOL_H
#define KESTREL_SIM_PROTOCOL_H

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace kestrel::sim {

// Longest request line the server takes, CR LF included; also the size of the
// client's reply buffer, which every reply must fit with room to spare.
inline constexpr std::size_t kMaxLineBytes = 10240;
// Replies that carry lists are cut to whole entries so that the framed reply
// with its CR LF stays within this many bytes.
inline constexpr std::size_t kListReplyBudget = 10000;
// Head used when a line cannot be parsed far enough to find a command word.
inline constexpr std::string_view kUnknownHead = "Unknown";

// The whole of `text` as a number of type T, as std::from_chars reads it;
// false when it is empty, malformed, out of range or followed by anything.
template <typename T>
bool ParseNumber(std::string_view text, T& v) {
  const char* const end = text.data() + text.size();
  const std::from_chars_result r = std::from_chars(text.data(), end, v);
  return r.ec == std::errc() && r.ptr == end;
}

// Pixel-to-real model of one camera: a pixel (px, py) is scaled to
// (scale_x * px, scale_y * py), rotated by rotation_deg counter-clockwise and
// shifted by (offset_x, offset_y).
struct Calibration {
  double scale_x = 0.0025;
  double scale_y = 0.0025;
  double offset_x = 0.0;
  double offset_y = 0.0;
  double rotation_deg = 0.0;
};

struct Point2 {
  double x = 0.0;
  double y = 0.0;
};

// The simulated server's set-up: given at start-up, changed by the control
// plane (PATCH /api/state) and put back by its reset.
struct SimConfig {
  int autofocus_ms = 7000;          // time an AutoFocus cycle takes
  Calibration default_calibration;  // for cameras with none of their own
  Point2 default_rotate_center{1024.0, 768.0};
  std::map<std::string, Calibration, std::less<>> calibrations;
  std::map<std::string, Point2, std::less<>> rotate_centers;
  Point2 wafer_center{0.0, 0.0};  // wafer edge circle, in mm
  double wafer_radius = 100.0;
  int edge_points = 36;
  double edge_noise = 0.005;  // largest radial deviation, mm
  std::uint64_t seed = 1;
};

// A request line taken apart: views into the line, valid while it lives.
// The scratch members are work space of the handlers; a connection keeps one
// Request for its lifetime so that their capacity is reused.
struct Request {
  std::string_view word;
  std::vector<std::string_view> fields;  // after the command word
  std::string scratch;
  std::vector<Point2> points;
};

// Splits "<WORD,f1,f2,...>" (CR LF already removed). Returns nullptr, or why
// the line is no request: it is empty, not framed by '<' and '>' or has an
// empty command word. `req.fields` keeps its capacity between calls.
const char* ParseRequest(std::string_view line, Request& req);

// What the server has to do with a handled request besides sending the reply.
struct Outcome {
  std::string_view head;  // command word the reply carries (kUnknownHead if none)
  int delay_ms = 0;       // wait this long before replying (AutoFocus)
};

// The simulated vision server. Thread-safe: connections share one instance.
class Simulator {
 public:
  explicit Simulator(SimConfig config = {});

  // Answers one request line (without CR LF). `reply` receives the reply line
  // without CR LF; it is cleared first and keeps its capacity. `req` is the
  // caller's scratch space, reused between calls so that a connection does
  // not allocate per request. The returned head views into `line` or static
  // storage.
  Outcome Handle(std::string_view line, Request& req, std::string& reply);

  // Convenience for tests and one-off use.
  std::string Handle(std::string_view line);

  // The set-up as it is now.
  SimConfig config() const;

  // The recognised command words: those of the tools' catalogue, in its
  // order.
  static std::vector<std::string_view> CommandWords();
  static bool IsCommandWord(std::string_view word);

  struct Camera {
    double gain = 1.0;
    double exposure = 10000.0;
    int intensity = 128;
    bool grabbing = false;
    bool visible = true;
    double base_line_width = 0.0;
    std::vector<std::string> state_colors;
    std::string shown_window;  // last SwitchToTheCamera / CameraWinVisibleControl peer
  };
  struct Template {
    std::string region;
    int number = 0;
  };

  // Snapshot of one camera's remembered settings (defaults when unknown).
  Camera CameraState(std::string_view name) const;

  // Snapshot of everything the requests have changed: the cameras the
  // requests named, and the templates by camera (or window), then by name.
  struct State {
    std::map<std::string, Camera, std::less<>> cameras;
    std::map<std::string, std::map<std::string, Template, std::less<>>, std::less<>> templates;
  };
  State Snapshot() const;
  // Forgets every change: back to the state and the set-up the simulator
  // was made with.
  void Reset();
  // Runs `change` on the state and the set-up with no request under way:
  // the requests that follow see all of it.
  void Update(const std::function<void(State&, SimConfig&)>& change);

 private:
  friend struct Ctx;  // one call: its handlers reach the state below

  const SimConfig initial_;
  mutable std::shared_mutex mu_;
  SimConfig config_;  // under mu_
  State state_;
};

}  // namespace kestrel::sim

#endif  // KESTREL_SIM_PROTOCOL_H
