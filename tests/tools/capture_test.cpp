// Packet captures read as traces: captures written from a trace, then
// perturbed as networks and capture points do, must give back its records.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

#include "trace/capture.h"

namespace kestrel::trace {
namespace {

using ::testing::HasSubstr;
using Segments_ = std::vector<Segment>;

Record Line(std::int64_t us, long conn, Dir dir, std::string bytes, End end = End::kCrLf) {
  Record r;
  r.us = us, r.conn = conn, r.dir = dir, r.bytes = std::move(bytes), r.end = end;
  return r;
}
Record Event(std::int64_t us, long conn, std::string event, std::string by = {}) {
  Record r;
  r.us = us, r.conn = conn, r.event = std::move(event), r.by = std::move(by);
  return r;
}

// Two connections side by side; the second pipelines two requests, ends
// its lines with LF and leaves its last one unterminated.
Trace Session() {
  const Dir q = Dir::kRequest, a = Dir::kReply;
  Trace t;
  t.header.started = "2024-05-06T09:14:03.000000Z";
  t.header.server = "192.168.7.20:8000";
  t.records = {Event(100, 1, "open"),
               Line(200, 1, q, "<GetGain,Cam1>"),
               Event(250, 2, "open"),
               Line(300, 1, a, "<GetGain,OK,1.000000>"),
               Line(350, 2, q, "<GetExposure,Cam1>", End::kLf),
               Line(360, 2, q, "<GetIntensity,Cam1>", End::kLf),
               Line(400, 1, q, "<StartGrab,Cam1>"),
               Line(420, 2, a, "<GetExposure,OK,1500.000000>", End::kLf),
               Line(430, 2, a, "<GetIntensity,OK,120>", End::kLf),
               Line(500, 1, a, "<StartGrab,OK,grabbing>"),
               Event(600, 1, "close", "client"),
               Event(650, 1, "close", "server"),
               Line(700, 2, q, "<StopGrab,Cam1", End::kNone),
               Event(800, 2, "close", "client")};
  return t;
}

// One record a line, times from the first record.
std::string Render(const std::vector<Record>& records, bool times) {
  std::ostringstream out;
  for (const Record& r : records) {
    if (times) out << r.us - records.front().us << " ";
    out << r.conn << " " << r.event << r.by << r.error << " " << static_cast<int>(r.dir) << " "
        << Escape(r.bytes) << " " << static_cast<int>(r.end) << "\n";
  }
  return out.str();
}

std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "kestrel_capture_" + name;
}

bool HasData(const Segment& s) { return !s.payload.empty(); }

// Every payload cut in pieces of 3 bytes, each captured a microsecond after the one before.
Segments_ Split(const Segments_& in) {
  Segments_ out;
  for (const Segment& s : in) {
    if (!HasData(s)) out.push_back(s);
    for (std::size_t at = 0; at < s.payload.size(); at += 3) {
      Segment piece = s;
      piece.us += static_cast<std::int64_t>(at / 3);
      piece.seq += static_cast<std::uint32_t>(at);
      piece.payload = s.payload.substr(at, 3);
      out.push_back(piece);
    }
  }
  return out;
}

struct Case {
  const char* name;
  std::function<Segments_(Segments_)> perturb;
  // What changes in the records read back, if anything.
  std::function<void(std::vector<Record>&)> expect;
  Link link = Link::kEthernet;
};

const Case kCases[] = {
    {"as written", [](Segments_ s) { return s; }, nullptr},
    {"raw IPv4", [](Segments_ s) { return s; }, nullptr, Link::kRawIp},
    {"Linux cooked", [](Segments_ s) { return s; }, nullptr, Link::kLinuxCooked},
    {"loopback", [](Segments_ s) { return s; }, nullptr, Link::kLoopback},
    {"split in small segments", Split, nullptr},
    {"pieces out of order",
     [](Segments_ s) {
       s = Split(s);
       // Each piece swapped with the next of its direction, across lines too:
       // a line keeps the time its first piece was captured at.
       for (std::size_t i = 0; i + 1 < s.size(); ++i) {
         const Segment &a = s[i], &b = s[i + 1];
         if (HasData(a) && b.conn == a.conn && b.from_client == a.from_client &&
             b.seq == a.seq + a.payload.size())
           std::swap(s[i], s[i + 1]), ++i;
       }
       return s;
     },
     nullptr},
    {"retransmitted",
     [](Segments_ s) {
       Segments_ out;
       for (const Segment& seg : s) {
         out.push_back(seg);
         if (HasData(seg)) out.push_back(seg), out.back().us += 5;
       }
       return out;
     },
     nullptr},
    {"two lines in one segment",
     [](Segments_ s) {
       const auto second = std::find_if(s.begin(), s.end(), [](const Segment& seg) {
         return seg.payload == "<GetIntensity,Cam1>\n";
       });
       (second - 1)->payload += second->payload;
       s.erase(second);
       return s;
     },
     [](std::vector<Record>& r) { r[5].us = r[4].us; }},
    {"SYN negotiating ECN",
     [](Segments_ s) {
       for (Segment& seg : s)
         if (seg.flags & kSyn) seg.flags |= seg.from_client ? kEce | kCwr : kEce;
       return s;
     },
     nullptr},
    {"capture starts at a reply",
     [](Segments_ s) {
       s.erase(std::remove_if(s.begin(), s.end(),
                              [](const Segment& seg) { return seg.conn == 2 && seg.us < 420; }),
               s.end());
       return s;
     },
     [](std::vector<Record>& r) {
       for (int i : {5, 4, 2}) r.erase(r.begin() + i);  // conn 2 before its first reply
       r.insert(r.begin() + 4, Event(420, 2, "open"));
     }},
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class CaptureRead : public ::testing::TestWithParam<Case> {};

TEST_P(CaptureRead, GivesBackTheTracesRecords) {
  const Case& c = GetParam();
  const Trace session = Session();
  const std::string path = TempPath("read.pcap");
  WriteCapture(c.perturb(Segments(session)), session.header, path, c.link);
  std::vector<Record> expected = session.records;
  if (c.expect) c.expect(expected);

  const Trace read = Load(path);
  EXPECT_EQ(read.header.server, session.header.server);
  EXPECT_EQ(Render(read.records, true), Render(expected, true));
}

INSTANTIATE_TEST_SUITE_P(Perturbed, CaptureRead, ::testing::ValuesIn(kCases),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

// A second capture's packets appended to a first one.
void Append(const std::string& path, const std::string& more) {
  char error[PCAP_ERRBUF_SIZE];
  pcap_t* in = pcap_open_offline(more.c_str(), error);
  ASSERT_NE(in, nullptr) << error;
  pcap_dumper_t* out = pcap_dump_open_append(in, path.c_str());
  ASSERT_NE(out, nullptr) << pcap_geterr(in);
  pcap_pkthdr* hdr;
  const u_char* data;
  while (pcap_next_ex(in, &hdr, &data) == 1) pcap_dump(reinterpret_cast<u_char*>(out), hdr, data);
  pcap_dump_close(out);
  pcap_close(in);
}

// What reading `path` throws; empty when it reads.
std::string LoadError(const std::string& path, int server_port = 0) {
  try {
    Load(path, server_port);
  } catch (const TraceError& e) {
    return e.what();
  }
  return {};
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(CaptureRead, PicksTheServerByPort) {
  Trace other = Session();
  other.header.server = "192.168.7.21:9000";
  const std::string path = TempPath("two.pcap"), more = TempPath("more.pcap");
  WriteCapture(Segments(Session()), Session().header, path);
  WriteCapture(Segments(other), other.header, more);
  Append(path, more);

  EXPECT_EQ(Load(path, 9000).header.server, other.header.server);
  EXPECT_EQ(Render(Load(path, 8000).records, false), Render(Session().records, false));
  EXPECT_EQ(LoadError(path), path + ": more than one server answers framed lines (ports 8000, "
                               "9000): pick one with --server-port");
}

TEST(CaptureRead, NamesTheFileAndWhatIsWrong) {
  const Trace session = Session();
  const std::string good = TempPath("good.pcap");
  WriteCapture(Segments(session), session.header, good);
  const std::string bytes = Slurp(good);
  Trace http = session;
  for (Record& r : http.records)
    if (r.event.empty()) r.bytes = r.dir == Dir::kRequest ? "GET / HTTP/1.0" : "HTTP/1.0 200 OK";
  const std::string other = TempPath("other.pcap");
  WriteCapture(Segments(http), http.header, other);

  struct Bad {
    const char* name;
    std::string bytes;
    int server_port;
    const char* message;
  } const cases[] = {
      {"truncated", bytes.substr(0, bytes.size() - 10), 0, "truncated dump file"},
      {"header only", bytes.substr(0, 10), 0, "not a capture libpcap can read"},
      {"unknown link", bytes.substr(0, 20) + std::string("\x69\0\0\0", 4) + bytes.substr(24), 0,
       "link type IEEE802_11 (105) is not supported"},
      {"another protocol", Slurp(other), 0, "no Kestrel lines"},
      {"no such port", bytes, 7000, "no TCP connection to port 7000"},
      {"no TCP", bytes.substr(0, 24), 0, "no TCP connection among its 0 packets"},
  };
  for (const Bad& bad : cases) {
    const std::string path = TempPath(std::string("bad-") + bad.name);
    std::ofstream(path, std::ios::binary) << bad.bytes;
    const std::string error = LoadError(path, bad.server_port);
    EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << bad.name << ": " << error;
    EXPECT_THAT(error, HasSubstr(bad.message)) << bad.name;
  }
}

}  // namespace
}  // namespace kestrel::trace
