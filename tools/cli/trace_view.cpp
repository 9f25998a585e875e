#include "trace_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "output.h"
#include "trace/capture.h"
#include "trace/trace.h"

namespace kestrel_cli {
namespace {

using kestrel::trace::End;
using kestrel::trace::Exchange;
using kestrel::trace::Head;

// One exchange as it is shown; texts in UTF-8.
struct TraceRow {
  double time_s = 0;  // when the request passed, since the recording started
  long conn = 0;
  std::string word;        // command word of the request ("" before any request)
  std::string outcome;     // OK, NG, unframed, silent, closed, refused, or the reply's type
  std::string message;     // NG: the server's message; closed: the reason, if any
  double latency_ms = -1;  // until the first reply line or the close; < 0: none came
  std::string request;
  std::string reply;  // the reply lines, " | " between them

  bool failed() const { return outcome != "OK"; }
  // The band and the table name an exchange before any request "(connect)".
  std::string label() const { return word.empty() ? "(connect)" : word; }
  // "NG: the server's message", or the outcome alone.
  std::string verdict() const { return message.empty() ? outcome : outcome + ": " + message; }
};

// Reply lines are judged as the library judges them: frame, head, type.
void Judge(const Exchange& ex, TraceRow& row) {
  const kestrel::trace::Piece& first = ex.replies.front();
  const std::string& line = first.bytes;
  if (first.end == End::kNone) {
    row.outcome = "closed";
    row.message = "mid-line";
    return;
  }
  if (Head(line).empty() || line.back() != '>') {
    row.outcome = "unframed";
    return;
  }
  const std::string inner = line.substr(1, line.size() - 2);
  const std::size_t c1 = inner.find(','), c2 = inner.find(',', c1 + 1);
  const std::string head = inner.substr(0, c1);
  const std::string type = c1 == std::string::npos ? "" : inner.substr(c1 + 1, c2 - c1 - 1);
  const std::string rest = c2 == std::string::npos ? "" : inner.substr(c2 + 1);
  if (ex.has_request && head != Head(ex.request)) {
    row.outcome = "wrong head";
    row.message = GbkToUtf8(head);
  } else if (type == "NG") {
    row.outcome = "NG";
    row.message = GbkToUtf8(rest);
  } else {
    row.outcome = GbkToUtf8(type);  // OK, or a type the library does not know
  }
}

std::string Xml(const std::string& text) {
  static const std::map<char, const char*> kEntities = {
      {'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'"', "&quot;"}};
  std::string out;
  for (const char c : text) {
    const auto entity = kEntities.find(c);
    if (entity != kEntities.end()) {
      out += entity->second;
    } else {
      out += c;
    }
  }
  return out;
}

std::string Fixed(double v, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

// The rows of the exchanges (a connection's greeting only when the server did
// something before the first request).
std::vector<TraceRow> TraceRows(const std::vector<Exchange>& exchanges) {
  std::vector<TraceRow> rows;
  for (const Exchange& ex : exchanges) {
    if (!ex.has_request && ex.replies.empty() && !ex.closed) continue;
    TraceRow row;
    row.time_s = static_cast<double>(ex.us) / 1e6;
    row.conn = ex.conn;
    row.word = GbkToUtf8(Head(ex.request));
    row.request = GbkToUtf8(ex.request);
    for (const auto& piece : ex.replies)
      row.reply += (row.reply.empty() ? "" : " | ") + GbkToUtf8(piece.bytes);
    if (!ex.replies.empty()) {
      row.latency_ms = static_cast<double>(ex.replies.front().us - ex.us) / 1e3;
      Judge(ex, row);
    } else if (ex.closed) {
      row.latency_ms = static_cast<double>(ex.close_us - ex.us) / 1e3;
      const bool refused = ex.close_error.rfind("refused", 0) == 0;
      row.outcome = refused ? "refused" : "closed";
      row.message = GbkToUtf8(refused ? ex.close_error.substr(9) : ex.close_error);
    } else {
      row.outcome = "silent";
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

std::string TraceTable(const std::vector<TraceRow>& rows) {
  std::ostringstream out;
  char line[160];
  std::snprintf(line, sizeof line, "%10s %5s  %-24s %11s  %-14s %s\n", "time s", "conn", "command",
                "latency ms", "outcome", "request -> reply");
  out << line;
  for (const TraceRow& r : rows) {
    std::snprintf(line, sizeof line, "%10.6f %5ld  %-24s %11s  %-14s ", r.time_s, r.conn,
                  r.label().c_str(), r.latency_ms < 0 ? "-" : Fixed(r.latency_ms, 3).c_str(),
                  r.verdict().c_str());
    out << line << r.request << " -> " << (r.reply.empty() ? "(nothing)" : r.reply) << "\n";
  }
  return out.str();
}

// One JSON object per row, one a line.
std::string TraceJson(const std::vector<TraceRow>& rows) {
  using Json = nlohmann::ordered_json;
  std::string out;
  for (const TraceRow& r : rows) {
    Json j{{"time_s", r.time_s}, {"conn", r.conn}, {"command", r.word}, {"outcome", r.outcome}};
    if (!r.message.empty()) j["message"] = r.message;
    j["latency_ms"] = r.latency_ms < 0 ? Json() : Json(r.latency_ms);
    j["request"] = r.request;
    j["reply"] = r.reply;
    out += j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  }
  return out;
}

// A timeline: one band per command word, a bar per exchange at its time as
// high as its latency (logarithmic), failures in red.
std::string TraceSvg(const std::vector<TraceRow>& rows) {
  // Bands in the order the command words first appear.
  std::map<std::string, int> band;
  std::vector<std::string> words;
  double t_min = rows.empty() ? 0 : rows.front().time_s, t_max = t_min;
  double lat_max = 1;  // the scale reaches 1 ms at least
  for (const TraceRow& r : rows) {
    if (band.emplace(r.label(), static_cast<int>(words.size())).second) words.push_back(r.label());
    t_min = std::min(t_min, r.time_s);
    t_max = std::max(t_max, r.time_s);
    lat_max = std::max(lat_max, r.latency_ms);
  }
  if (!(t_max > t_min)) t_max = t_min + 1;
  const double lat_min = 0.01;  // ms at the foot of a band
  const double left = 190, plot_w = 780, band_h = 36, top = 30;
  const double height = top + band_h * static_cast<double>(words.size()) + 60;
  const auto x_of = [&](double t) { return left + plot_w * (t - t_min) / (t_max - t_min); };
  const auto bar_of = [&](double ms) {
    const double f = std::log10(std::max(ms, lat_min) / lat_min) / std::log10(lat_max / lat_min);
    return std::max(2.0, (band_h - 8) * f);
  };
  std::ostringstream s;
  s << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" height=\"" << height
    << "\" viewBox=\"0 0 1000 " << height << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
    << "  <title>trace: " << rows.size() << " exchanges</title>\n"
    << "  <rect width=\"1000\" height=\"" << height << "\" fill=\"white\"/>\n";
  for (std::size_t i = 0; i < words.size(); ++i) {
    const double y = top + band_h * static_cast<double>(i);
    s << "  <rect class=\"band\" x=\"" << left << "\" y=\"" << y << "\" width=\"" << plot_w
      << "\" height=\"" << band_h << "\" fill=\"" << (i % 2 ? "#ffffff" : "#f3f3f3") << "\"/>\n"
      << "  <text x=\"" << left - 8 << "\" y=\"" << y + band_h / 2 + 4 << "\" text-anchor=\"end\">"
      << Xml(words[i]) << "</text>\n";
  }
  int failed = 0;
  for (const TraceRow& r : rows) {
    const double foot = top + band_h * (band.at(r.label()) + 1) - 2;
    const double x = x_of(r.time_s);
    const std::string tip =
        Xml(Fixed(r.time_s, 6) + " s  #" + std::to_string(r.conn) + "  " + r.request + "  " +
            r.verdict() + (r.latency_ms < 0 ? "" : "  " + Fixed(r.latency_ms, 3) + " ms"));
    failed += r.failed();
    if (r.latency_ms < 0) {  // no answer at all: a cross at the top of the band
      const double y = foot - band_h + 8;
      s << "  <path class=\"silent\" d=\"M" << x - 4 << " " << y - 4 << " l8 8 m0 -8 l-8 8\" "
        << "stroke=\"#d62728\" stroke-width=\"2\"><title>" << tip << "</title></path>\n";
      continue;
    }
    const double h = bar_of(r.latency_ms);
    s << "  <rect class=\"" << (r.failed() ? "failed" : "ok") << "\" x=\"" << x - 1 << "\" y=\""
      << foot - h << "\" width=\"2.5\" height=\"" << h << "\" fill=\""
      << (r.failed() ? "#d62728" : "#1f77b4") << "\"><title>" << tip << "</title></rect>\n";
  }
  // Time axis with five ticks.
  const double axis = top + band_h * static_cast<double>(words.size());
  s << "  <path d=\"M" << left << " " << axis << " h" << plot_w << "\" stroke=\"black\"/>\n";
  for (int k = 0; k <= 5; ++k) {
    const double t = t_min + (t_max - t_min) * k / 5;
    s << "  <text x=\"" << x_of(t) << "\" y=\"" << axis + 16 << "\" text-anchor=\"middle\">"
      << Fixed(t, 3) << " s</text>\n";
  }
  s << "  <text class=\"caption\" x=\"" << left << "\" y=\"" << axis + 40 << "\">" << rows.size()
    << " exchanges, " << failed << " failed (red; a cross: no reply). "
    << "Bar height: latency, logarithmic from " << lat_min << " ms to " << Fixed(lat_max, 3)
    << " ms.</text>\n"
    << "</svg>\n";
  return s.str();
}

}  // namespace

int RunTrace(const std::string& file, bool json, const std::string& svg, std::ostream& out,
             std::ostream& err, int server_port) {
  std::vector<TraceRow> rows;
  try {
    rows = TraceRows(kestrel::trace::Exchanges(kestrel::trace::Load(file, server_port).records));
  } catch (const kestrel::trace::TraceError& e) {
    err << "kestrel: " << e.what() << "\n";
    return 2;
  }
  out << (json ? TraceJson(rows) : TraceTable(rows)) << std::flush;
  if (svg.empty()) return 0;
  std::ofstream f(svg, std::ios::binary);
  if (!(f << TraceSvg(rows)) || !f.flush()) {
    err << "kestrel: cannot write " << svg << "\n";
    return 1;
  }
  return 0;
}

int WriteTracePcap(const std::string& file, int server_port, const std::string& pcap,
                   std::ostream& err) {
  int code = 2;  // an unreadable trace; 1: the capture cannot be written
  try {
    const kestrel::trace::Trace trace = kestrel::trace::Load(file, server_port);
    code = 1;
    kestrel::trace::WriteCapture(kestrel::trace::Segments(trace), trace.header, pcap);
  } catch (const kestrel::trace::TraceError& e) {
    err << "kestrel: " << e.what() << "\n";
    return code;
  }
  return 0;
}

}  // namespace kestrel_cli
