// Packet captures read as traces: captures written from a trace, then
// perturbed as networks and capture points do, must give back its records.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>

#include "trace/capture.h"

namespace kestrel::trace {
namespace {

using ::testing::HasSubstr;
using Segments_ = std::vector<Segment>;

// Two connections side by side; the second pipelines two requests, ends
// its lines with LF and leaves its last one unterminated.
Trace Session() {
  std::istringstream text(R"({"format":"kestrel-trace","version":1,"started":"2024-05-06T09:14:03.000000Z","server":"192.168.7.20:8000"}
{"us":100,"conn":1,"event":"open"}
{"us":200,"conn":1,"dir":"request","line":"<GetGain,Cam1>","end":"crlf"}
{"us":250,"conn":2,"event":"open"}
{"us":300,"conn":1,"dir":"reply","line":"<GetGain,OK,1.000000>","end":"crlf"}
{"us":350,"conn":2,"dir":"request","line":"<GetExposure,Cam1>","end":"lf"}
{"us":360,"conn":2,"dir":"request","line":"<GetIntensity,Cam1>","end":"lf"}
{"us":400,"conn":1,"dir":"request","line":"<StartGrab,Cam1>","end":"crlf"}
{"us":420,"conn":2,"dir":"reply","line":"<GetExposure,OK,1500.000000>","end":"lf"}
{"us":430,"conn":2,"dir":"reply","line":"<GetIntensity,OK,120>","end":"lf"}
{"us":500,"conn":1,"dir":"reply","line":"<StartGrab,OK,grabbing>","end":"crlf"}
{"us":600,"conn":1,"event":"close","by":"client"}
{"us":650,"conn":1,"event":"close","by":"server"}
{"us":700,"conn":2,"dir":"request","line":"<StopGrab,Cam1","end":"none"}
{"us":800,"conn":2,"event":"close","by":"client"})");
  return Parse(text, "session");
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
  // CTest runs the cases in parallel processes: each has files of its own.
  const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
  return ::testing::TempDir() + "kestrel_capture_" +
         test.substr(test.find_last_of('/') + 1) + "_" + name;
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
    {"AsWritten", [](Segments_ s) { return s; }, nullptr},
    {"RawIPv4", [](Segments_ s) { return s; }, nullptr, Link::kRawIp},
    {"LinuxCooked", [](Segments_ s) { return s; }, nullptr, Link::kLinuxCooked},
    {"Loopback", [](Segments_ s) { return s; }, nullptr, Link::kLoopback},
    {"SplitInSmallSegments", Split, nullptr},
    {"PiecesOutOfOrder",
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
    {"Retransmitted",
     [](Segments_ s) {
       for (std::size_t i = s.size(); i-- > 0;)
         if (HasData(s[i])) s.insert(s.begin() + i + 1, s[i]), s[i + 1].us += 5;
       return s;
     },
     nullptr},
    {"TwoLinesInOneSegment",
     [](Segments_ s) {
       const auto second = std::find_if(s.begin(), s.end(), [](const Segment& seg) {
         return seg.payload == "<GetIntensity,Cam1>\n";
       });
       (second - 1)->payload += second->payload;
       s.erase(second);
       return s;
     },
     [](std::vector<Record>& r) { r[5].us = r[4].us; }},
    {"SynNegotiatingEcn",
     [](Segments_ s) {
       for (Segment& seg : s)
         if (seg.flags & kSyn) seg.flags |= seg.from_client ? kEce | kCwr : kEce;
       return s;
     },
     nullptr},
    {"CaptureStartsAtAReply",
     [](Segments_ s) {
       s.erase(std::remove_if(s.begin(), s.end(),
                              [](const Segment& seg) { return seg.conn == 2 && seg.us < 420; }),
               s.end());
       return s;
     },
     [](std::vector<Record>& r) {  // conn 2 opens at its first reply
       r[2].us = 420;
       std::rotate(r.begin() + 2, r.begin() + 3, r.begin() + 7);
       r.erase(r.begin() + 3, r.begin() + 5);
     }},
};

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
                         [](const auto& info) { return std::string(info.param.name); });

// What reading `path` throws; empty when it reads.
std::string LoadError(const std::string& path, int server_port = 0) {
  try {
    Load(path, server_port);
  } catch (const TraceError& e) {
    return e.what();
  }
  return {};
}

// The bytes of `trace` written as a capture.
std::string Captured(const Trace& trace) {
  const std::string path = TempPath("written.pcap");
  WriteCapture(Segments(trace), trace.header, path);
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(CaptureRead, NamesTheFileAndWhatIsWrong) {
  Trace http = Session(), other = Session();
  for (Record& r : http.records)
    if (r.event.empty()) r.bytes = r.dir == Dir::kRequest ? "GET / HTTP/1.0" : "HTTP/1.0 200 OK";
  other.header.server = "192.168.7.21:9000";
  // Two captures of one link type make one: the second's packets after the first's.
  const std::string bytes = Captured(Session()), two = bytes + Captured(other).substr(24);
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
      {"another protocol", Captured(http), 0, "no Kestrel lines"},
      {"no such port", bytes, 7000, "no TCP connection to port 7000"},
      {"no TCP", bytes.substr(0, 24), 0, "no TCP connection among its 0 packets"},
      {"two servers", two, 0,
       "more than one server answers framed lines (ports 8000, 9000): pick one with --server-port"},
  };
  for (const Bad& bad : cases) {
    const std::string path = TempPath(std::string("bad-") + bad.name);
    std::ofstream(path, std::ios::binary) << bad.bytes;
    const std::string error = LoadError(path, bad.server_port);
    EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << bad.name << ": " << error;
    EXPECT_THAT(error, HasSubstr(bad.message)) << bad.name;
  }
  // Either of two servers, by its port.
  const std::string path = TempPath("two.pcap");
  std::ofstream(path, std::ios::binary) << two;
  EXPECT_EQ(Load(path, 9000).header.server, other.header.server);
  EXPECT_EQ(Render(Load(path, 8000).records, true), Render(Session().records, true));
}

}  // namespace
}  // namespace kestrel::trace
