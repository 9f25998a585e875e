#include "output.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "common/circle_fit.h"

using Json = nlohmann::ordered_json;

// How a point and a match convert to JSON (found by argument-dependent lookup,
// so that lists of them convert as well).
static void to_json(Json& j, const Point& p) { j = Json{{"x", p.X}, {"y", p.Y}}; }

namespace kestrel_cli {

static void to_json(Json& j, const Match& m) {
  j = Json{{"center", m.center}, {"angle", m.angle}, {"score", m.score}};
}

namespace {

// ---- Text and JSON --------------------------------------------------------------

// A number with `digits` significant digits, or by default the shortest text
// that reads back as exactly `value`.
std::string FormatNumber(double value, int digits = 0) {
  char buffer[64];
  const auto r = digits > 0 ? std::to_chars(buffer, buffer + sizeof buffer, value,
                                            std::chars_format::general, digits)
                            : std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, r.ptr);
}

std::string Text(int v) { return std::to_string(v); }
std::string Text(double v) { return FormatNumber(v); }
std::string Text(const std::string& v) { return v; }
std::string Text(const Point& p) {
  return "(" + FormatNumber(p.X) + ", " + FormatNumber(p.Y) + ")";
}
std::string Text(const Match& m) {
  return "center " + Text(m.center) + "  angle " + FormatNumber(m.angle) + "  score " +
         FormatNumber(m.score);
}

// Appends the line of one output to `lines`.
template <typename T>
void OutputLines(const std::string& name, const T& v, std::vector<std::string>& lines) {
  lines.push_back(name + ": " + Text(v));
}

// A list: its size, then one numbered line per item.
template <typename T>
void OutputLines(const std::string& name, const std::vector<T>& v,
                 std::vector<std::string>& lines) {
  lines.push_back(name + ": " + std::to_string(v.size()));
  for (std::size_t i = 0; i < v.size(); ++i) {
    lines.push_back("  [" + std::to_string(i) + "] " + Text(v[i]));
  }
}

// ---- SVG --------------------------------------------------------------------------

// A box [x0, x1] x [y0, y1].
struct Box {
  double x0, x1, y0, y1;

  // The larger side, or `fallback` for a box of one point (or none).
  double Side(double fallback) const {
    const double side = std::max(x1 - x0, y1 - y0);
    return side > 0 ? side : fallback;
  }
};

Box PointBox(const Point& p) { return {p.X, p.X, p.Y, p.Y}; }

// The box that holds all of `boxes`; inverted when there are none.
Box Enclosing(const std::vector<Box>& boxes) {
  const double inf = std::numeric_limits<double>::infinity();
  Box all{inf, -inf, inf, -inf};
  for (const Box& b : boxes) {
    all = {std::min(all.x0, b.x0), std::max(all.x1, b.x1), std::min(all.y0, b.y0),
           std::max(all.y1, b.y1)};
  }
  return all;
}

// The region a drawing shows, with the sizes of its strokes and texts.
struct Frame {
  double min_x = 0, min_y = 0, width = 100, height = 100;
  double unit = 0.5;  // one two-hundredth of the larger side

  // Widens the frame to hold every box given, with a margin; a frame of one
  // point gets a side of `fallback`.
  static Frame Around(const std::vector<Box>& boxes, double fallback) {
    Frame f;
    if (boxes.empty()) return f;
    const Box b = Enclosing(boxes);
    const double side = b.Side(fallback);
    // A thin set (points on a line) still gets a quarter of its length across.
    const double w = std::max(b.x1 - b.x0, side * 0.25);
    const double h = std::max(b.y1 - b.y0, side * 0.25);
    const double margin = side * 0.08;
    f.min_x = (b.x0 + b.x1 - w) / 2 - margin;
    f.min_y = (b.y0 + b.y1 - h) / 2 - margin;
    f.width = w + 2 * margin;
    f.height = h + 2 * margin;
    f.unit = std::max(f.width, f.height) / 200;
    return f;
  }
};

// Numbers in a drawing: nine significant digits are more than a picture
// needs and keep the file readable; captions make do with six.
std::string N(double v, int digits = 9) { return FormatNumber(v, digits); }

// The drawing around a frame: axes in millimetres along its left and bottom
// edges, and below them the caption lines and the legend, whose entries
// stand in as many columns as the frame's width takes. The view grows to
// hold every text, with widths as TextWidth estimates them.
std::string Document(const Frame& f, const std::string& title, const std::string& body,
                     const std::vector<std::string>& caption,
                     const std::vector<std::string>& legend = {}) {
  const double u = f.unit, axis_font = u * 4, font = u * 5, line = u * 7, tick = u * 1.5;
  const double right = f.min_x + f.width, bottom = f.min_y + f.height;
  const auto ticks = [](double from, double to) {
    const auto [step, decimals] = TickStep(to - from);
    std::vector<std::pair<double, std::string>> out;
    for (long k = std::lround(std::ceil(from / step)); k * step <= to; ++k)
      out.push_back({k * step, Fixed(k * step, decimals)});
    return out;
  };
  const auto x_ticks = ticks(f.min_x, right), y_ticks = ticks(f.min_y, bottom);
  double label_w = 0;
  for (const auto& [y, text] : y_ticks) label_w = std::max(label_w, TextWidth(text, axis_font));
  const double left = f.min_x - tick - u - label_w - u * 2, top = f.min_y - axis_font;
  const double caption_top = bottom + tick + axis_font * 1.6;
  // The legend in columns as wide as its widest entry.
  double entry_w = 0;
  for (const std::string& e : legend) entry_w = std::max(entry_w, TextWidth(e, font) + font);
  const std::size_t columns =
      entry_w > 0 ? std::max<std::size_t>(1, static_cast<std::size_t>((right - left) / entry_w))
                  : 1;
  const std::size_t rows = caption.size() + (legend.size() + columns - 1) / columns;
  double view_right = right + u * 3;
  if (!x_ticks.empty()) view_right += TextWidth(x_ticks.back().second, axis_font) / 2;
  for (const std::string& c : caption)
    view_right = std::max(view_right, left + u * 3 + TextWidth(c, font) + u * 3);
  view_right = std::max(view_right, left + u * 3 + static_cast<double>(columns) * entry_w);
  const double view_h = caption_top + line * static_cast<double>(rows) + u * 3 - top;
  const double view_w = view_right - left;
  std::ostringstream s;
  s << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"800\" height=\""
    << N(std::round(800 * view_h / view_w)) << "\" viewBox=\"" << N(left) << " " << N(top) << " "
    << N(view_w) << " " << N(view_h) << "\" font-family=\"sans-serif\">\n"
    << "  <title>" << title << "</title>\n"
    << "  <rect x=\"" << N(left) << "\" y=\"" << N(top) << "\" width=\"" << N(view_w)
    << "\" height=\"" << N(view_h) << "\" fill=\"white\"/>\n"
    << "  <g class=\"axes\" stroke=\"#555555\" stroke-width=\"" << N(u * 0.3) << "\">\n"
    << "    <path d=\"M" << N(f.min_x) << " " << N(f.min_y) << " V" << N(bottom) << " H" << N(right)
    << "\" fill=\"none\"/>\n";
  for (const auto& [x, text] : x_ticks)
    s << "    <path d=\"M" << N(x) << " " << N(bottom) << " v" << N(tick) << "\"/>\n";
  for (const auto& [y, text] : y_ticks)
    s << "    <path d=\"M" << N(f.min_x) << " " << N(y) << " h" << N(-tick) << "\"/>\n";
  s << "  </g>\n";
  for (const auto& [x, text] : x_ticks) {
    s << "  <text class=\"x-tick\" x=\"" << N(x) << "\" y=\"" << N(bottom + tick + axis_font)
      << "\" font-size=\"" << N(axis_font) << "\" text-anchor=\"middle\">" << text << "</text>\n";
  }
  for (const auto& [y, text] : y_ticks) {
    s << "  <text class=\"y-tick\" x=\"" << N(f.min_x - tick - u) << "\" y=\""
      << N(y + axis_font * 0.35) << "\" font-size=\"" << N(axis_font) << "\" text-anchor=\"end\">"
      << text << "</text>\n";
  }
  s << body;
  const auto text_at = [&](double x, std::size_t row, const std::string& text) {
    s << "  <text class=\"caption\" x=\"" << N(x) << "\" y=\""
      << N(caption_top + line * static_cast<double>(row) + font) << "\" font-size=\"" << N(font)
      << "\">" << text << "</text>\n";
  };
  for (std::size_t i = 0; i < caption.size(); ++i) text_at(left + u * 3, i, caption[i]);
  for (std::size_t i = 0; i < legend.size(); ++i) {
    text_at(left + u * 3 + entry_w * static_cast<double>(i % columns), caption.size() + i / columns,
            legend[i]);
  }
  s << "</svg>\n";
  return s.str();
}

std::string MatchSvg(const std::vector<Match>& matches) {
  // Marker and label sizes follow the spread of the centres; the frame then
  // makes room for them. Each marker carries its number; the legend below
  // gives the number's score and angle.
  std::vector<Box> centers;
  for (const Match& m : matches) centers.push_back(PointBox(m.center));
  const double size = Enclosing(centers).Side(100) / 8;  // marker length
  const double font = size * 0.3;
  std::vector<Box> boxes, labels;
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const Point c = matches[i].center;
    const double w = TextWidth(std::to_string(i + 1), font), h = font, r = size * 0.4;
    // The first place round the marker, from its upper left, that no earlier
    // number takes.
    const double offsets[][2] = {{-r - w, -r}, {r, -r},         {-r - w, r + h}, {r, r + h},
                                 {-w / 2, -r}, {-w / 2, r + h}, {-r - w, h / 2}, {r, h / 2}};
    Box chosen{};
    for (const auto& [dx, dy] : offsets) {
      chosen = {c.X + dx, c.X + dx + w, c.Y + dy - h, c.Y + dy};
      const bool free = std::none_of(labels.begin(), labels.end(), [&](const Box& b) {
        return chosen.x0 < b.x1 && b.x0 < chosen.x1 && chosen.y0 < b.y1 && b.y0 < chosen.y1;
      });
      if (free) break;
    }
    if (labels.size() == i) labels.push_back(chosen);
    boxes.push_back(chosen);
    boxes.push_back({c.X - size, c.X + size, c.Y - size, c.Y + size});
  }
  const Frame f = Frame::Around(boxes, 100);
  std::ostringstream s;
  std::vector<std::string> legend;
  for (std::size_t i = 0; i < matches.size(); ++i) {
    const Match& m = matches[i];
    // The marker points along +X before it is turned: a ring with a bar
    // across, and an arrow along the match's angle.
    s << "  <g class=\"match\" transform=\"translate(" << N(m.center.X) << " " << N(m.center.Y)
      << ") rotate(" << N(m.angle) << ")\" fill=\"none\" stroke=\"#2ca02c\" stroke-width=\""
      << N(size * 0.04) << "\">\n"
      << "    <circle r=\"" << N(size * 0.3) << "\"/>\n"
      << "    <path d=\"M0 " << N(-size * 0.3) << " V" << N(size * 0.3) << " M0 0 H" << N(size)
      << " M" << N(size * 0.75) << " " << N(-size * 0.18) << " L" << N(size) << " 0 L"
      << N(size * 0.75) << " " << N(size * 0.18) << "\"/>\n"
      << "  </g>\n"
      << "  <text class=\"label\" x=\"" << N(labels[i].x0) << "\" y=\"" << N(labels[i].y1)
      << "\" font-size=\"" << N(font) << "\" fill=\"#2ca02c\">" << i + 1 << "</text>\n";
    legend.push_back(std::to_string(i + 1) + ": score " + N(m.score, 6) + ", " + N(m.angle, 6) +
                     "\xC2\xB0");
  }
  return Document(f, "template matches: " + std::to_string(matches.size()), s.str(),
                  {std::to_string(matches.size()) + (matches.size() == 1 ? " match" : " matches") +
                   ", numbered; x, y in mm, angles in degrees"},
                  legend);
}

}  // namespace

// ---- Drawings -----------------------------------------------------------------

std::string Fixed(double v, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

double TextWidth(const std::string& utf8, double font_size) {
  double width = 0;
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) width += kCharWidth;
    if (byte >= 0xE0) width += 1 - kCharWidth;  // a lead byte of three or four: CJK, one em
    if (byte >= 0xC0) width += kCharWidth;
  }
  return width * font_size;
}

std::pair<double, int> TickStep(double span) {
  if (!(span > 0)) span = 1;
  const double power = std::pow(10.0, std::floor(std::log10(span / 6)));
  double step = 10 * power;
  for (const double m : {1.0, 2.0, 5.0}) {
    if (m * power >= span / 6) {
      step = m * power;
      break;
    }
  }
  return {step, std::max(0, -static_cast<int>(std::floor(std::log10(step) + 1e-9)))};
}

// ---- Results ----------------------------------------------------------------

std::string FormatText(const Result& result, bool heading) {
  std::vector<std::string> lines;
  for (const Output& output : result.outputs) {
    std::visit([&](const auto& v) { OutputLines(output.name, v, lines); }, output.value);
  }
  if (lines.empty()) lines.push_back("ok");
  std::string out;
  if (heading) {
    out = result.command;
    if (result.line > 0) out += " (line " + std::to_string(result.line) + ")";
    out += ":\n";
  }
  for (const std::string& line : lines) out += (heading ? "  " : "") + line + "\n";
  return out;
}

std::string FormatJson(const Result& result) {
  Json j;
  j["command"] = result.command;
  if (result.line > 0) j["line"] = result.line;
  j["ok"] = result.ok;
  Json outputs = Json::object();
  for (const Output& output : result.outputs) {
    outputs[output.name] = std::visit([](const auto& v) { return Json(v); }, output.value);
  }
  j["outputs"] = std::move(outputs);
  if (!result.ok) j["error"] = result.error;
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string CatalogueJson() {
  std::string out;
  for (const kestrel::catalogue::Command& row : kestrel::catalogue::Commands()) {
    Json params = Json::array();
    for (const kestrel::catalogue::Param& p : row) {
      if (!kestrel::catalogue::IsInput(p.kind)) continue;
      params.push_back({{"name", p.name},
                        {"kind", kestrel::catalogue::KindName(p.kind)},
                        {"field", p.field},
                        {"asked", p.asked}});
    }
    const Json object = {{"name", row.cli},
                         {"operation", row.operation},
                         {"python", row.python},
                         {"word", row.word},
                         {"parameters", params},
                         {"outputs", kestrel::catalogue::OutputNames(row)},
                         {"sample_reply", row.sample},
                         {"example", row.example},
                         {"summary", row.summary}};
    out += object.dump() + "\n";
  }
  return out;
}

// ---- Drawings -----------------------------------------------------------------

std::string EdgeSvg(const std::vector<Point>& points) {
  kestrel::geometry::KasaCircle fit;
  const bool fitted = kestrel::geometry::FitKasaCircle(
      points, [](const Point& p) { return p.X; }, [](const Point& p) { return p.Y; }, fit);
  std::vector<Box> boxes;
  for (const Point& p : points) boxes.push_back(PointBox(p));
  if (fitted) {
    boxes.push_back(
        {fit.x - fit.radius, fit.x + fit.radius, fit.y - fit.radius, fit.y + fit.radius});
  }
  const Frame f = Frame::Around(boxes, 100);
  std::ostringstream s;
  if (fitted) {
    s << "  <circle class=\"fit\" cx=\"" << N(fit.x) << "\" cy=\"" << N(fit.y) << "\" r=\""
      << N(fit.radius) << "\" fill=\"none\" stroke=\"#1f77b4\" stroke-width=\"" << N(f.unit * 0.6)
      << "\"/>\n"
      << "  <path class=\"fit-center\" d=\"M" << N(fit.x - f.unit * 3) << " " << N(fit.y) << " h"
      << N(f.unit * 6) << " M" << N(fit.x) << " " << N(fit.y - f.unit * 3) << " v" << N(f.unit * 6)
      << "\" stroke=\"#1f77b4\" stroke-width=\"" << N(f.unit * 0.6) << "\"/>\n";
  }
  s << "  <g fill=\"#d62728\">\n";
  for (const Point& p : points) {
    s << "    <circle class=\"edge-point\" cx=\"" << N(p.X) << "\" cy=\"" << N(p.Y) << "\" r=\""
      << N(f.unit * 1.5) << "\"/>\n";
  }
  s << "  </g>\n";
  std::vector<std::string> caption{std::to_string(points.size()) + " edge points; x, y in mm"};
  if (fitted) {
    // The root mean square of the points' distances from the circle.
    double sq = 0;
    for (const Point& p : points) {
      const double d = std::hypot(p.X - fit.x, p.Y - fit.y) - fit.radius;
      sq += d * d;
    }
    caption.push_back("least-squares circle: centre (" + N(fit.x, 6) + ", " + N(fit.y, 6) +
                      "), radius " + N(fit.radius, 6) + ", rms " +
                      N(std::sqrt(sq / static_cast<double>(points.size())), 3));
  } else {
    caption.push_back("too few points off one line for a circle");
  }
  return Document(f, "wafer edge: " + std::to_string(points.size()) + " points", s.str(), caption);
}

std::optional<std::string> ResultSvg(const Result& result) {
  if (!result.ok) return std::nullopt;
  std::vector<Match> matches;
  for (const Output& output : result.outputs) {
    if (const auto* points = std::get_if<std::vector<Point>>(&output.value)) {
      return EdgeSvg(*points);
    }
    if (const auto* list = std::get_if<std::vector<Match>>(&output.value)) {
      return MatchSvg(*list);
    }
    if (const auto* one = std::get_if<Match>(&output.value)) return MatchSvg({*one});
  }
  return std::nullopt;
}

// ---- Console lines --------------------------------------------------------------

ConsoleEcho::ConsoleEcho(std::FILE* stream, bool show, bool color)
    : stream_(stream), show_(show), color_(color) {
  Corvus::Herald_Set_Sink(&ConsoleEcho::Receive, this);
}

ConsoleEcho::~ConsoleEcho() { Corvus::Herald_Set_Sink(nullptr, nullptr); }

std::string ConsoleEcho::Render(Corvus::HeraldColor color, const char* title, const char* text,
                                bool use_color) {
  std::string line = "[" + GbkToUtf8(title) + "] " + GbkToUtf8(text);
  // A received reply is printed with its line terminator still on it.
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  static const std::map<Corvus::HeraldColor, const char*> kAnsi = {
      {Corvus::HeraldColor::Red, "\x1b[31m"},
      {Corvus::HeraldColor::Yellow, "\x1b[33m"},
      {Corvus::HeraldColor::Green, "\x1b[32m"}};
  const auto ansi = kAnsi.find(color);
  if (!use_color || ansi == kAnsi.end()) return line;
  return ansi->second + line + "\x1b[0m";
}

void ConsoleEcho::Receive(Corvus::HeraldColor color, const char* title, const char* text,
                          void* self) {
  auto* echo = static_cast<ConsoleEcho*>(self);
  if (color == Corvus::HeraldColor::Red) echo->last_red_ = GbkToUtf8(text);
  if (!echo->show_) return;
  const std::string line = Render(color, title, text, echo->color_) + "\n";
  std::fwrite(line.data(), 1, line.size(), echo->stream_);
  std::fflush(echo->stream_);
}

}  // namespace kestrel_cli
