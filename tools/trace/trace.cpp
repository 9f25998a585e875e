#include "trace/trace.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <deque>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>

#include "platform/utc.h"
#include "trace/capture.h"

namespace kestrel::trace {

namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kFormat = "kestrel-trace";
constexpr const char* kEndNames[] = {"crlf", "lf", "none", "more"};
constexpr const char* kHex = "0123456789ABCDEF";

const char* DirName(Dir dir) { return dir == Dir::kRequest ? "request" : "reply"; }

// Reading one record: every failure names the file and the line.
class RecordReader {
 public:
  RecordReader(const std::string& name, std::size_t line, const std::string& text)
      : name_(name), line_(line) {
    try {
      j_ = Json::parse(text);
    } catch (const Json::parse_error& e) {
      Fail(std::string("not JSON: ") + e.what());
    }
    if (!j_.is_object()) Fail("not a JSON object");
  }
  [[noreturn]] void Fail(const std::string& why) const {
    throw TraceError(name_ + ":" + std::to_string(line_) + ": " + why);
  }
  bool Has(const char* key) const { return j_.contains(key); }
  bool IsNull(const char* key) const { return j_[key].is_null(); }
  const Json& Need(const char* key) const {
    if (!j_.contains(key)) Fail(std::string("record has no '") + key + "'");
    return j_[key];
  }
  // A string (absent and optional: empty).
  std::string Text(const char* key, bool optional = false) const {
    if (optional && !Has(key)) return {};
    const Json& v = Need(key);
    if (!v.is_string()) Fail(std::string("'") + key + "' is not a string");
    return v.get<std::string>();
  }
  // An escaped byte string (absent and optional: empty).
  std::string Bytes(const char* key, bool optional = false) const {
    try {
      return Unescape(Text(key, optional));
    } catch (const std::invalid_argument& e) {
      Fail(std::string("'") + key + "': " + e.what());
    }
  }
  std::int64_t Integer(const char* key) const {
    const Json& v = Need(key);
    if (!v.is_number_integer() || v.get<std::int64_t>() < 0)
      Fail(std::string("'") + key + "' is not a whole number >= 0");
    return v.get<std::int64_t>();
  }

 private:
  const std::string& name_;
  std::size_t line_;
  Json j_;
};

Record ReadRecord(const RecordReader& r) {
  Record rec;
  rec.us = r.Integer("us");
  rec.conn = static_cast<long>(r.Integer("conn"));
  if (r.Has("event")) {
    rec.event = r.Text("event");
    if (rec.event != "open" && rec.event != "close" && rec.event != "refused")
      r.Fail("unknown event '" + rec.event + "'");
    rec.by = r.Text("by", rec.event != "close");
    rec.error = r.Bytes("error", true);
    return rec;
  }
  const std::string dir = r.Text("dir");
  if (dir != "request" && dir != "reply") r.Fail("'dir' is neither request nor reply");
  rec.dir = dir == "request" ? Dir::kRequest : Dir::kReply;
  rec.bytes = r.Bytes("line");
  const std::string end = r.Text("end");
  const auto* found = std::find(std::begin(kEndNames), std::end(kEndNames), end);
  if (found == std::end(kEndNames)) r.Fail("'end' is not one of crlf, lf, none, more");
  rec.end = static_cast<End>(found - std::begin(kEndNames));
  if (r.Has("fault")) {
    rec.fault = r.Text("fault");
    if (!r.Has("client"))
      rec.client = rec.bytes;
    else if (!r.IsNull("client"))
      rec.client = r.Bytes("client");
  }
  return rec;
}

}  // namespace

std::string Escape(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (b >= 0x20 && b < 0x7F) {
      out += c;
    } else {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

std::string Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  // Whether the two characters at `at` are hex digits, and the byte they make
  // (unsigned, so that no sign is taken).
  unsigned char byte = 0;
  const auto hex = [&](std::size_t at) {
    const char* first = text.data() + at;
    return std::from_chars(first, first + 2, byte, 16).ptr == first + 2;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
    } else if (i + 1 < text.size() && text[i + 1] == '\\') {
      out += '\\';
      ++i;
    } else if (i + 3 < text.size() && text[i + 1] == 'x' && hex(i + 2)) {
      out += static_cast<char>(byte);
      i += 3;
    } else {
      throw std::invalid_argument("bad escape at byte " + std::to_string(i) +
                                  " (\\\\ or \\xHH expected)");
    }
  }
  return out;
}

std::string_view Terminator(End end) {
  return end == End::kCrLf ? "\r\n" : end == End::kLf ? "\n" : "";
}

// ---- Writer ---------------------------------------------------------------------

Writer::Writer(const std::string& path, const std::string& server)
    : out_(std::fopen(path.c_str(), "w")), start_(std::chrono::steady_clock::now()) {
  if (out_ == nullptr) throw std::runtime_error("cannot write the trace file '" + path + "'");
  const std::string started = platform::UtcStamp(std::chrono::system_clock::now());
  Put(Json{{"format", kFormat}, {"version", kVersion}, {"started", started}, {"server", server}}
          .dump());
}

Writer::~Writer() { std::fclose(out_); }

std::int64_t Writer::Now() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                               start_)
      .count();
}

void Writer::Line(long conn, Dir dir, std::string_view bytes, End end) {
  Put(Json{{"us", Now()},
           {"conn", conn},
           {"dir", DirName(dir)},
           {"line", Escape(bytes)},
           {"end", kEndNames[static_cast<int>(end)]}}
          .dump());
}

void Writer::Shaped(long conn, std::string_view bytes, End end, std::string_view fault,
                    const std::optional<std::string>& client) {
  Json j{{"us", Now()},
         {"conn", conn},
         {"dir", DirName(Dir::kReply)},
         {"line", Escape(bytes)},
         {"end", kEndNames[static_cast<int>(end)]},
         {"fault", fault}};
  if (!client)
    j["client"] = nullptr;
  else if (*client != bytes)
    j["client"] = Escape(*client);
  Put(j.dump());
}

void Writer::Event(long conn, std::string_view event, std::string_view by,
                   std::string_view error) {
  Json j{{"us", Now()}, {"conn", conn}, {"event", event}};
  if (!by.empty()) j["by"] = by;
  // A system message is ASCII here; escaped all the same, so that the record
  // is valid JSON whatever it holds.
  if (!error.empty()) j["error"] = Escape(error);
  Put(j.dump());
}

void Writer::Put(const std::string& json) {
  std::lock_guard<std::mutex> lock(mu_);
  std::fwrite(json.data(), 1, json.size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

// ---- Reading ----------------------------------------------------------------------

Trace Parse(std::istream& in, const std::string& name) {
  Trace trace;
  std::string text;
  std::size_t line = 0;
  bool header = false;
  // Pieces of over-long lines waiting for their end, per connection and direction.
  std::map<std::pair<long, Dir>, std::string> more;
  while (std::getline(in, text)) {
    ++line;
    if (text.find_first_not_of(" \t\r") == std::string::npos) continue;
    const RecordReader r(name, line, text);
    if (!header) {
      if (!r.Has("format") || r.Text("format") != kFormat)
        r.Fail("not a kestrel trace (the first record is no kestrel-trace header)");
      trace.header.version = static_cast<int>(r.Integer("version"));
      if (trace.header.version != kVersion)
        r.Fail("trace version " + std::to_string(trace.header.version) +
               " is not supported (version " + std::to_string(kVersion) + " is)");
      trace.header.started = r.Text("started", true);
      trace.header.server = r.Text("server", true);
      header = true;
      continue;
    }
    Record rec = ReadRecord(r);
    if (rec.event.empty()) {
      std::string& pending = more[{rec.conn, rec.dir}];
      if (rec.end == End::kMore) {
        pending += rec.bytes;
        continue;
      }
      rec.bytes.insert(0, pending);
      pending.clear();
    }
    trace.records.push_back(std::move(rec));
  }
  if (!header) throw TraceError(name + ": empty, not a kestrel trace");
  return trace;
}

bool IsCapture(std::string_view head) {
  // pcap in either byte order, with microseconds or nanoseconds; pcapng.
  static constexpr std::uint32_t kMagics[] = {0xa1b2c3d4, 0xd4c3b2a1, 0xa1b23c4d,
                                              0x4d3cb2a1, 0x0a0d0d0a};
  if (head.size() < 4) return false;
  std::uint32_t magic = 0;
  for (int i = 0; i < 4; ++i) magic = magic << 8 | static_cast<unsigned char>(head[i]);
  return std::find(std::begin(kMagics), std::end(kMagics), magic) != std::end(kMagics);
}

Trace Load(const std::string& path, int server_port) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw TraceError(path + ": cannot read the trace file");
  char head[4] = {};
  in.read(head, sizeof head);
  if (IsCapture(std::string_view(head, static_cast<std::size_t>(in.gcount()))))
    return ReadCapture(path, server_port);
  in.clear();
  in.seekg(0);
  return Parse(in, path);
}

// ---- Exchanges ---------------------------------------------------------------------

std::string_view Head(std::string_view line) {
  if (line.empty() || line.front() != '<') return {};
  const std::size_t end = line.find_first_of(",>");
  return end == std::string_view::npos ? std::string_view() : line.substr(1, end - 1);
}

std::vector<Exchange> Exchanges(const std::vector<Record>& records) {
  struct Conn {
    std::size_t latest = 0;                 // index of its latest exchange
    std::deque<std::size_t> unanswered;     // its requests without a reply yet
    std::int64_t last_server_us = 0;
    bool client_closed = false;  // a server's close after it only follows suit
  };
  std::vector<Exchange> out;
  std::map<long, Conn> conns;
  for (const Record& rec : records) {
    auto [it, fresh] = conns.try_emplace(rec.conn);
    Conn& c = it->second;
    if (fresh) {
      Exchange greeting;
      greeting.conn = rec.conn;
      greeting.us = rec.us;
      c.latest = out.size();
      c.last_server_us = rec.us;
      out.push_back(std::move(greeting));
    }
    if (rec.event.empty() && rec.dir == Dir::kRequest) {
      Exchange ex;
      ex.conn = rec.conn;
      ex.us = rec.us;
      ex.has_request = true;
      ex.request = rec.bytes;
      c.latest = out.size();
      c.unanswered.push_back(out.size());
      out.push_back(std::move(ex));
      continue;
    }
    if (rec.event == "close" && rec.by == "client") c.client_closed = true;
    const bool server_close =
        rec.event == "refused" || (rec.event == "close" && rec.by == "server" && !c.client_closed);
    if (!rec.event.empty() && !server_close) continue;
    // A server's line or close: find the exchange it belongs to.
    std::size_t target = c.latest;
    if (rec.event.empty() && !c.unanswered.empty()) {
      const std::string_view head = Head(rec.bytes);
      auto match = std::find_if(c.unanswered.begin(), c.unanswered.end(), [&](std::size_t i) {
        return !head.empty() && Head(out[i].request) == head;
      });
      if (match == c.unanswered.end()) match = c.unanswered.begin();
      target = *match;
      c.unanswered.erase(match);
    }
    Exchange& ex = out[target];
    const std::int64_t wait = rec.us - std::max(ex.us, c.last_server_us);
    c.last_server_us = rec.us;
    if (rec.event.empty()) {
      ex.replies.push_back(
          {rec.us, std::max<std::int64_t>(wait, 0), rec.bytes, rec.end, rec.fault, rec.client});
    } else {
      ex.closed = true;
      ex.close_us = rec.us;
      ex.close_wait_us = std::max<std::int64_t>(wait, 0);
      ex.close_error = rec.event == "refused" ? "refused: " + rec.error : rec.error;
    }
  }
  return out;
}

}  // namespace kestrel::trace
