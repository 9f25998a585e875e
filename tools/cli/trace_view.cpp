#include "trace_view.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>
#include <string>
#include <utility>
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
  std::int64_t us = 0;  // when the request passed, since the recording started
  long conn = 0;
  std::string word;  // command word of the request ("" before any request)
  // OK, NG, unframed, oversized, wrong head, bad type, silent, closed, refused
  std::string outcome;
  std::string message;        // what the outcome names: NG message, head, type, reason
  std::int64_t wait_us = -1;  // until the first reply line or the close; < 0: none came
  std::string request;
  std::string reply;  // the reply lines, " | " between them
  // A recorder's fault rules shaped a reply line: the rules, and what the
  // client got of the reply lines instead (" | " between them).
  std::string fault;
  std::string client;

  double time_s() const { return static_cast<double>(us) / 1e6; }
  double latency_ms() const { return static_cast<double>(wait_us) / 1e3; }
  bool failed() const { return outcome != "OK"; }
  // The band and the table name an exchange before any request "(connect)".
  std::string label() const { return word.empty() ? "(connect)" : word; }
  // "NG: the server's message", or the outcome alone.
  std::string verdict() const { return message.empty() ? outcome : outcome + ": " + message; }
};

// The longest reply line the client reads whole, CR LF included: its buffer
// holds 10,240 bytes with the closing NUL. A longer line comes to it cut,
// without its CR LF, and so unframed.
constexpr std::size_t kMaxReplyBytes = 10239;

// The first reply line is judged as the client judges it: a line of at most
// kMaxReplyBytes ended by CR LF, framed by '<' and '>', then split at its
// first two commas (the text up to a NUL counts): the head must be the
// request's command word, the type OK or NG.
void Judge(const Exchange& ex, TraceRow& row) {
  const kestrel::trace::Piece& first = ex.replies.front();
  const std::string& line = first.bytes;
  if (first.end == End::kNone) {
    row.outcome = "closed";
    row.message = "mid-line";
    return;
  }
  if (first.end != End::kCrLf) {
    row.outcome = "unframed";
    row.message = "no CR LF";
    return;
  }
  if (line.size() + 2 > kMaxReplyBytes) {
    row.outcome = "oversized";
    row.message = std::to_string(line.size() + 2) + " bytes";
    return;
  }
  if (line.size() < 2 || line.front() != '<' || line.back() != '>') {
    row.outcome = "unframed";
    return;
  }
  std::string inner = line.substr(1, line.size() - 2);
  inner.resize(std::min(inner.size(), inner.find('\0')));
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
  } else if (type == "OK") {
    row.outcome = "OK";
  } else {
    row.outcome = "bad type";
    row.message = GbkToUtf8(type);
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

// The rows of the exchanges (a connection's greeting only when the server did
// something before the first request).
std::vector<TraceRow> TraceRows(const std::vector<Exchange>& exchanges) {
  std::vector<TraceRow> rows;
  for (const Exchange& ex : exchanges) {
    if (!ex.has_request && ex.replies.empty() && !ex.closed) continue;
    TraceRow row;
    row.us = ex.us;
    row.conn = ex.conn;
    row.word = GbkToUtf8(Head(ex.request));
    row.request = GbkToUtf8(ex.request);
    for (const auto& piece : ex.replies) {
      row.reply += (row.reply.empty() ? "" : " | ") + GbkToUtf8(piece.bytes);
      if (!piece.fault.empty()) row.fault += (row.fault.empty() ? "" : "; ") + piece.fault;
      // A line no rule shaped reached the client as it was.
      const bool got = piece.fault.empty() || piece.client;
      row.client += (row.client.empty() ? "" : " | ") +
                    (got ? GbkToUtf8(piece.client.value_or(piece.bytes)) : "(nothing)");
    }
    if (row.fault.empty()) row.client.clear();
    if (!ex.replies.empty()) {
      row.wait_us = ex.replies.front().us - ex.us;
      Judge(ex, row);
    } else if (ex.closed) {
      row.wait_us = ex.close_us - ex.us;
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

// A line as the table shows it: at most its first 120 bytes (whole UTF-8
// characters) and then its size; JSON keeps the whole line.
std::string Shorten(const std::string& text) {
  constexpr std::size_t kShown = 120;
  if (text.size() <= kShown) return text;
  std::size_t cut = kShown;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + "...(" + std::to_string(text.size()) + " bytes)";
}

std::string TraceTable(const std::vector<TraceRow>& rows) {
  std::ostringstream out;
  char line[160];
  std::snprintf(line, sizeof line, "%10s %5s  %-24s %11s  %-14s %s\n", "time s", "conn", "command",
                "latency ms", "outcome", "request -> reply");
  out << line;
  for (const TraceRow& r : rows) {
    std::snprintf(line, sizeof line, "%10.6f %5ld  %-24s %11s  %-14s ", r.time_s(), r.conn,
                  r.label().c_str(), r.wait_us < 0 ? "-" : Fixed(r.latency_ms(), 3).c_str(),
                  r.verdict().c_str());
    out << line << Shorten(r.request) << " -> "
        << (r.reply.empty() ? "(nothing)" : Shorten(r.reply));
    if (!r.fault.empty())
      out << "  [fault " << r.fault << ": client got " << Shorten(r.client) << "]";
    out << "\n";
  }
  return out.str();
}

// One JSON object per row, one a line.
std::string TraceJson(const std::vector<TraceRow>& rows) {
  using Json = nlohmann::ordered_json;
  std::string out;
  for (const TraceRow& r : rows) {
    Json j{{"time_s", r.time_s()}, {"conn", r.conn}, {"command", r.word}, {"outcome", r.outcome}};
    if (!r.message.empty()) j["message"] = r.message;
    j["latency_ms"] = r.wait_us < 0 ? Json() : Json(r.latency_ms());
    j["request"] = r.request;
    j["reply"] = r.reply;
    if (!r.fault.empty()) {
      j["fault"] = r.fault;
      j["client"] = r.client;
    }
    out += j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
  }
  return out;
}

// A timeline: one band per command word, each exchange a bar from its
// request to its reply (at least 2 px wide). A failed one is red, hatched
// and named by its outcome where the band has room; one without any answer
// is a cross. Every bar has the exchange as its tooltip.
std::string TraceSvg(const std::vector<TraceRow>& rows) {
  // Bands in the order the command words first appear.
  std::map<std::string, int> band;
  std::vector<std::string> words;
  double t_min = rows.empty() ? 0 : rows.front().time_s(), t_max = t_min;
  for (const TraceRow& r : rows) {
    if (band.emplace(r.label(), static_cast<int>(words.size())).second) words.push_back(r.label());
    t_min = std::min(t_min, r.time_s());
    t_max = std::max(t_max, r.time_s() + std::max(0.0, r.latency_ms() / 1e3));
  }
  const auto [step, decimals] = TickStep(std::max(t_max - t_min, 1e-3));
  t_min = std::floor(t_min / step) * step;  // the axis starts and ends on ticks
  t_max = std::max(std::ceil(t_max / step), std::round(t_min / step) + 1) * step;
  double left = 190;  // room for the longest command word
  for (const std::string& w : words) left = std::max(left, TextWidth(w, 12) + 20);
  const double plot_w = 970 - left, band_h = 36, top = 30;
  const double height = top + band_h * static_cast<double>(words.size()) + 76;
  const auto x_of = [&](double t) { return left + plot_w * (t - t_min) / (t_max - t_min); };
  std::ostringstream s;
  s << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"1000\" height=\"" << height
    << "\" viewBox=\"0 0 1000 " << height << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
    << "  <title>trace: " << rows.size() << " exchanges</title>\n"
    << "  <defs><pattern id=\"hatch\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
    << "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#d62728\"/>"
    << "<path d=\"M0 0 v6\" stroke=\"white\" stroke-width=\"2\"/></pattern></defs>\n"
    << "  <rect width=\"1000\" height=\"" << height << "\" fill=\"white\"/>\n";
  for (std::size_t i = 0; i < words.size(); ++i) {
    const double y = top + band_h * static_cast<double>(i);
    s << "  <rect class=\"band\" x=\"" << left << "\" y=\"" << y << "\" width=\"" << plot_w
      << "\" height=\"" << band_h << "\" fill=\"" << (i % 2 ? "#ffffff" : "#f3f3f3") << "\"/>\n"
      << "  <text x=\"" << left - 8 << "\" y=\"" << y + band_h / 2 + 4 << "\" text-anchor=\"end\">"
      << Xml(words[i]) << "</text>\n";
  }
  int failed = 0;
  std::vector<double> free_x(words.size(), 0);  // where a band has room for the next name
  for (const TraceRow& r : rows) {
    const double y = top + band_h * band.at(r.label()) + 6, h = band_h - 12;
    const double x = x_of(r.time_s());
    const std::string tip =
        Xml(Fixed(r.time_s(), 6) + " s  #" + std::to_string(r.conn) + "  " + r.request + "  " +
            r.verdict() + (r.wait_us < 0 ? "" : "  " + Fixed(r.latency_ms(), 3) + " ms"));
    failed += r.failed();
    double end = x;
    if (r.wait_us < 0) {  // no answer at all
      s << "  <path class=\"silent\" d=\"M" << x - 4 << " " << y + h / 2 - 4
        << " l8 8 m0 -8 l-8 8\" stroke=\"#d62728\" stroke-width=\"2\"><title>" << tip
        << "</title></path>\n";
      end = x + 4;
    } else {
      const double w = std::max(2.0, x_of(r.time_s() + r.latency_ms() / 1e3) - x);
      s << "  <rect class=\"" << (r.failed() ? "failed" : "ok") << "\" x=\"" << x << "\" y=\"" << y
        << "\" width=\"" << w << "\" height=\"" << h << "\" fill=\""
        << (r.failed() ? "url(#hatch)" : "#1f77b4") << "\"><title>" << tip << "</title></rect>\n";
      end = x + w;
    }
    double& room = free_x[static_cast<std::size_t>(band.at(r.label()))];
    const double text_w = TextWidth(r.outcome, 12);
    if (r.failed() && x + 3 >= room && end + 3 + text_w <= left + plot_w) {
      s << "  <text class=\"outcome\" x=\"" << end + 3 << "\" y=\"" << y + h / 2 + 4
        << "\" fill=\"#a01010\">" << Xml(r.outcome) << "</text>\n";
      room = end + 3 + text_w + 4;
    }
  }
  // The time axis, a tick at each multiple of the step.
  const double axis = top + band_h * static_cast<double>(words.size());
  s << "  <path d=\"M" << left << " " << axis << " h" << plot_w << "\" stroke=\"black\"/>\n";
  const long first = std::lround(t_min / step), last = std::lround(t_max / step);
  for (long k = first; k <= last; ++k) {
    const double t = static_cast<double>(k) * step, x = x_of(t);
    s << "  <path d=\"M" << x << " " << axis << " v4\" stroke=\"black\"/>\n"
      << "  <text class=\"tick\" x=\"" << x << "\" y=\"" << axis + 16
      << "\" text-anchor=\"middle\">" << Fixed(t, decimals) << " s</text>\n";
  }
  s << "  <text class=\"caption\" x=\"10\" y=\"" << axis + 40 << "\">" << rows.size()
    << " exchanges, " << failed << " failed: red, hatched, named by their outcome</text>\n"
    << "  <text class=\"caption\" x=\"10\" y=\"" << axis + 56
    << "\">(a cross: no reply). A bar lasts from the request to the reply.</text>\n"
    << "</svg>\n";
  return s.str();
}

// The Trace Event format of chrome://tracing and Perfetto: a track per
// connection, a complete event per exchange (times in microseconds).
std::string TraceChrome(const std::vector<TraceRow>& rows, const std::string& file) {
  using Json = nlohmann::ordered_json;
  Json events = Json::array();
  events.push_back({{"name", "process_name"},
                    {"ph", "M"},
                    {"pid", 1},
                    {"tid", 0},
                    {"args", {{"name", "kestrel trace " + file}}}});
  std::map<long, bool> named;
  for (const TraceRow& r : rows) {
    if (!named[r.conn]) {
      named[r.conn] = true;
      events.push_back({{"name", "thread_name"},
                        {"ph", "M"},
                        {"pid", 1},
                        {"tid", r.conn},
                        {"args", {{"name", "connection " + std::to_string(r.conn)}}}});
    }
    Json args{{"request", r.request}, {"reply", r.reply}, {"outcome", r.verdict()}};
    events.push_back({{"name", r.label()},
                      {"cat", r.failed() ? "failed" : "ok"},
                      {"ph", "X"},
                      {"ts", r.us},
                      {"dur", std::max<std::int64_t>(r.wait_us, 0)},
                      {"pid", 1},
                      {"tid", r.conn},
                      {"args", args}});
  }
  const Json doc{{"traceEvents", events}, {"displayTimeUnit", "ms"}};
  return doc.dump(1, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool WriteFile(const std::string& path, const std::string& text, std::ostream& err) {
  std::ofstream f(path, std::ios::binary);
  if (f << text && f.flush()) return true;
  err << "kestrel: cannot write " << path << "\n";
  return false;
}

}  // namespace

int RunTrace(const std::string& file, bool json, const std::string& svg, const std::string& chrome,
             std::ostream& out, std::ostream& err, int server_port) {
  std::vector<TraceRow> rows;
  try {
    rows = TraceRows(kestrel::trace::Exchanges(kestrel::trace::Load(file, server_port).records));
  } catch (const kestrel::trace::TraceError& e) {
    err << "kestrel: " << e.what() << "\n";
    return 2;
  }
  out << (json ? TraceJson(rows) : TraceTable(rows)) << std::flush;
  if (!svg.empty() && !WriteFile(svg, TraceSvg(rows), err)) return 1;
  if (!chrome.empty() && !WriteFile(chrome, TraceChrome(rows, file), err)) return 1;
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
