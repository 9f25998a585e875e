// Packet captures (pcap or pcapng, as tcpdump and Wireshark write them) as
// traces, and traces as captures.
//
// Reading reassembles every TCP connection of the capture and cuts each
// direction into lines as the recorder does: the records are those a
// recorder in front of the server would have written, with the capture's
// times (a line keeps the time its first byte was captured). The server is
// the port given, or else the one port whose connections carry framed reply
// lines; its client is the side that opened the connection or, when the
// capture starts mid-connection, the side that sent the first request line.
//
// Writing makes one TCP connection (handshake, lines, close) per connection
// of the trace, with its times, that tcpdump, Wireshark and the reader read.
//
// A build without libpcap and libtins (the Windows one) has no capture
// support: reading and writing throw TraceError saying so.
#ifndef KESTREL_TRACE_CAPTURE_H
#define KESTREL_TRACE_CAPTURE_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "trace/trace.h"

namespace kestrel::trace {

// Whether `head`, the first bytes of a file, begin a pcap or pcapng capture.
bool IsCapture(std::string_view head);

// Reads a capture; `server_port` 0 finds the server. Throws TraceError
// "FILE: reason" for anything it cannot make a trace of.
Trace ReadCapture(const std::string& path, int server_port = 0);
// The same from bytes in memory, named `name` in messages.
Trace ParseCapture(std::string_view bytes, const std::string& name, int server_port = 0);

// One TCP segment of a written capture.
struct Segment {
  std::int64_t us = 0;  // since the trace started
  long conn = 0;
  bool from_client = true;
  std::uint16_t flags = 0;  // TCP flags, kSyn | kAck ...
  std::uint32_t seq = 0;
  std::uint32_t ack = 0;
  std::string payload;
};
inline constexpr std::uint16_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck = 0x10,
                               kEce = 0x40, kCwr = 0x80;

// The link layer a capture is written with.
enum class Link { kEthernet, kRawIp, kLinuxCooked, kLoopback };

// The segments of a trace's connections, in time order: per connection a
// handshake at its open, a segment per line, a FIN (RST with an error) per
// close; a refused connection is a SYN answered by a RST.
std::vector<Segment> Segments(const Trace& trace);
// Writes segments as a pcap file: the client at 10.0.0.1 (port 50000 + its
// connection), the server at the header's IPv4 HOST:PORT (else 10.0.0.2:8000),
// times from the header's start. Throws TraceError naming `path`.
void WriteCapture(const std::vector<Segment>& segments, const Header& header,
                  const std::string& path, Link link = Link::kEthernet);

}  // namespace kestrel::trace

#endif  // KESTREL_TRACE_CAPTURE_H
