#include "trace/capture.h"

#include <pcap/pcap.h>
#include <tins/tins.h>
#include <tins/loopback.h>
#include <tins/tcp_ip/stream_follower.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <limits>
#include <map>
#include <memory>
#include <set>

#include "platform/utc.h"
#include "trace/lines.h"

namespace kestrel::trace {

namespace {

using Tins::TCPIP::Stream;
using Tins::TCPIP::StreamFollower;

// Holes a connection picked up mid-way may start with are skipped up to this far.
constexpr std::uint32_t kRecoveryWindow = 1 << 20;
constexpr const char* kReset = "connection reset";

// Sequence numbers wrap: `a` comes before `b` when the distance is "negative".
bool Before(std::uint32_t a, std::uint32_t b) { return static_cast<std::int32_t>(a - b) < 0; }

std::int64_t Micros(const timeval& tv) {
  return static_cast<std::int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

// A reply line: framed, its second field OK or NG.
bool IsReply(std::string_view line) {
  const std::string_view head = Head(line);
  if (head.empty()) return false;
  const std::string_view rest = line.substr(head.size() + 2);
  return rest.size() >= 3 && (rest.substr(0, 2) == "OK" || rest.substr(0, 2) == "NG") &&
         (rest[2] == ',' || rest[2] == '>');
}

struct PcapCloser {
  void operator()(pcap_t* p) const { pcap_close(p); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

// "HOST:PORT" of one end of a packet.
std::string Endpoint(const Tins::PDU& pdu, bool source) {
  const auto* tcp = pdu.find_pdu<Tins::TCP>();
  const std::string port = std::to_string(source ? tcp->sport() : tcp->dport());
  if (const auto* ip = pdu.find_pdu<Tins::IP>())
    return (source ? ip->src_addr() : ip->dst_addr()).to_string() + ":" + port;
  const auto* ip6 = pdu.find_pdu<Tins::IPv6>();
  if (ip6 == nullptr) return "?:" + port;
  return "[" + (source ? ip6->src_addr() : ip6->dst_addr()).to_string() + "]:" + port;
}

std::string Endpoint(const Stream& s, bool client) {
  const std::string port = std::to_string(client ? s.client_port() : s.server_port());
  if (s.is_v6())
    return "[" + (client ? s.client_addr_v6() : s.server_addr_v6()).to_string() + "]:" + port;
  return (client ? s.client_addr_v4() : s.server_addr_v4()).to_string() + ":" + port;
}

// The packet's IP layer on, whatever its link layer; null when the link
// layer holds no IP.
std::unique_ptr<Tins::PDU> Decode(int link, const std::uint8_t* data, std::uint32_t size) {
  // Raw IP, after `skip` bytes of link header.
  const auto raw = [&](std::uint32_t skip) -> std::unique_ptr<Tins::PDU> {
    if (size <= skip) return nullptr;
    const std::uint8_t version = data[skip] >> 4;
    if (version == 4) return std::make_unique<Tins::IP>(data + skip, size - skip);
    if (version == 6) return std::make_unique<Tins::IPv6>(data + skip, size - skip);
    return nullptr;
  };
  switch (link) {
    case DLT_EN10MB: return std::make_unique<Tins::EthernetII>(data, size);
    case DLT_LINUX_SLL: return std::make_unique<Tins::SLL>(data, size);
    case DLT_NULL:
    case DLT_LOOP: return raw(4);
    default: return raw(0);  // DLT_RAW, DLT_IPV4, DLT_IPV6
  }
}

bool LinkSupported(int link) {
  for (const int known :
       {DLT_EN10MB, DLT_LINUX_SLL, DLT_NULL, DLT_LOOP, DLT_RAW, DLT_IPV4, DLT_IPV6})
    if (link == known) return true;
  return false;
}

// One direction of a connection: its lines and the times of its segments.
struct Way {
  std::string key;  // "SOURCE>DESTINATION"
  std::unique_ptr<LineCutter> cutter;
  std::string pending;          // the pieces of an over-long line so far
  std::uint32_t line_seq = 0;   // where the line being cut starts
  std::uint32_t cut_end = 0;    // where the bytes being cut end
  std::int64_t line_us = 0;     // when its first byte was captured
  bool closed = false;
};

// A connection as the capture shows it: side 0 opened it (or was seen
// first), side 1 accepted it.
struct Conn {
  std::string end[2];  // HOST:PORT of each side
  int port[2] = {0, 0};
  bool partial = false;
  bool answered = false;  // side 1 sent anything but a RST
  std::int64_t open_us = 0;
  Way way[2];
  struct Item {
    Record rec;  // dir and by are set once the client is known
    int side = 0;
  };
  std::vector<Item> items;  // its lines and closes in the order they came out
};

class Reader {
 public:
  Reader(const std::string& name, int server_port) : name_(name), server_port_(server_port) {
    follower_.follow_partial_streams(true);
    // A capture's quiet spells are no reason to drop a connection.
    follower_.stream_keep_alive(std::chrono::hours(24 * 365));
    follower_.new_stream_callback([this](Stream& s) { Opened(s); });
  }

  Trace Read(pcap_t* pcap) {
    const int link = pcap_datalink(pcap);
    if (!LinkSupported(link)) {
      const char* link_name = pcap_datalink_val_to_name(link);
      Fail("link type " + std::string(link_name != nullptr ? link_name : "unknown") + " (" +
           std::to_string(link) +
           ") is not supported: Ethernet, raw IP, Linux cooked and loopback captures are");
    }
    pcap_pkthdr* hdr = nullptr;
    const std::uint8_t* data = nullptr;
    int got;
    while ((got = pcap_next_ex(pcap, &hdr, &data)) == 1) {
      ++packets_;
      now_us_ = Micros(hdr->ts);
      std::unique_ptr<Tins::PDU> pdu;
      try {
        pdu = Decode(link, data, hdr->caplen);
      } catch (const Tins::exception_base&) {
        continue;  // not a packet libtins can take apart: not one of ours
      }
      if (pdu == nullptr || pdu->find_pdu<Tins::TCP>() == nullptr) continue;
      Tins::Packet packet(pdu.release(), Tins::Timestamp(hdr->ts), Tins::Packet::own_pdu());
      Take(packet);
    }
    if (got == PCAP_ERROR) Fail(pcap_geterr(pcap));
    // Unfinished lines end with the capture: a FIN may come before the last
    // bytes when it overtakes them.
    for (auto& c : conns_) {
      for (Way& way : c->way) {
        way.cutter->Finish();
        if (!way.pending.empty()) Cut(*c, static_cast<int>(&way - c->way), "", End::kNone);
      }
    }
    return Build();
  }

 private:
  [[noreturn]] void Fail(const std::string& why) const { throw TraceError(name_ + ": " + why); }

  void Take(Tins::Packet& packet) {
    Tins::PDU& pdu = *packet.pdu();
    auto& tcp = *pdu.find_pdu<Tins::TCP>();
    const std::string from = Endpoint(pdu, true), to = Endpoint(pdu, false);
    const auto* raw = tcp.find_pdu<Tins::RawPDU>();
    const std::uint32_t size = raw == nullptr ? 0 : raw->payload_size();
    if (size > 0) segments_[from + ">" + to].push_back({tcp.seq(), tcp.seq() + size, now_us_});
    // The follower takes a SYN only when no other flag but ACK is set: a
    // SYN negotiating ECN is a SYN all the same.
    tcp.flags(tcp.flags() & ~(Tins::TCP::ECE | Tins::TCP::CWR));
    const std::uint16_t flags = tcp.flags();
    follower_.process_packet(packet);
    const auto found = by_ends_.find(from + ">" + to);
    if (found == by_ends_.end()) return;
    Conn& c = *conns_[found->second.first];
    const int side = found->second.second;
    if (side == 1 && (flags & Tins::TCP::RST) == 0) c.answered = true;
    if ((flags & (Tins::TCP::FIN | Tins::TCP::RST)) != 0)
      Close(c, side, (flags & Tins::TCP::RST) != 0);
  }

  void Opened(Stream& s) {
    const std::size_t index = conns_.size();
    auto c = std::make_unique<Conn>();
    for (int side : {0, 1}) {
      c->end[side] = Endpoint(s, side == 0);
      c->port[side] = side == 0 ? s.client_port() : s.server_port();
    }
    c->partial = s.is_partial_stream();
    c->open_us = now_us_;
    for (int side : {0, 1}) {
      Way& way = c->way[side];
      way.key = c->end[side] + ">" + c->end[1 - side];
      by_ends_[way.key] = {index, side};
      way.cutter = std::make_unique<LineCutter>(
          [this, index, side](std::string_view line, End end) { Cut(*conns_[index], side, line, end); });
    }
    conns_.push_back(std::move(c));
    if (s.is_partial_stream()) s.enable_recovery_mode(kRecoveryWindow);
    s.client_data_callback([this, index](Stream& st) {
      Deliver(index, 0, st.client_flow().sequence_number(), st.client_payload());
    });
    s.server_data_callback([this, index](Stream& st) {
      Deliver(index, 1, st.server_flow().sequence_number(), st.server_payload());
    });
  }

  // When the byte at `seq` of a direction was first captured.
  std::int64_t CapturedAt(const std::string& key, std::uint32_t seq) const {
    std::int64_t at = std::numeric_limits<std::int64_t>::max();
    const auto it = segments_.find(key);
    if (it != segments_.end())
      for (const Seen& s : it->second)
        if (!Before(seq, s.seq) && Before(seq, s.end)) at = std::min(at, s.us);
    return at == std::numeric_limits<std::int64_t>::max() ? now_us_ : at;
  }

  // The next bytes of a direction, in order, ending before `next`.
  void Deliver(std::size_t index, int side, std::uint32_t next, const std::vector<std::uint8_t>& bytes) {
    if (bytes.empty()) return;
    Way& way = conns_[index]->way[side];
    const std::uint32_t first = next - static_cast<std::uint32_t>(bytes.size());
    // Segments wholly before these bytes tell no line's time any more.
    auto& seen = segments_[way.key];
    seen.erase(std::remove_if(seen.begin(), seen.end(),
                              [first](const Seen& s) { return !Before(first, s.end); }),
               seen.end());
    // A line starting these bytes starts with the segment just captured,
    // which filled the gap before them.
    if (way.cutter->Idle() && way.pending.empty()) {
      way.line_seq = first;
      way.line_us = now_us_;
    }
    way.cut_end = next;
    way.cutter->Feed(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }

  void Cut(Conn& c, int side, std::string_view line, End end) {
    Way& way = c.way[side];
    way.line_seq += static_cast<std::uint32_t>(line.size() + Terminator(end).size());
    way.pending += line;
    if (end == End::kMore) return;
    Conn::Item item;
    item.side = side;
    item.rec.us = way.line_us;
    item.rec.bytes = std::move(way.pending);
    item.rec.end = end;
    c.items.push_back(std::move(item));
    way.pending.clear();
    // The next line starts in the bytes being cut, or with the next ones.
    if (Before(way.line_seq, way.cut_end)) way.line_us = CapturedAt(way.key, way.line_seq);
  }

  // A side is done sending (a FIN or RST).
  void Close(Conn& c, int side, bool reset) {
    Way& way = c.way[side];
    if (way.closed) return;
    way.closed = true;
    Conn::Item item;
    item.side = side;
    item.rec.us = now_us_;
    item.rec.event = "close";
    if (reset) item.rec.error = kReset;
    c.items.push_back(std::move(item));
  }

  // The client of a connection: the side that opened it, or that sent the
  // first request line when the capture starts mid-connection.
  static int ClientSide(const Conn& c) {
    if (!c.partial) return 0;
    std::size_t first_request[2] = {c.items.size(), c.items.size()};
    std::size_t first_reply[2] = {c.items.size(), c.items.size()};
    for (std::size_t i = c.items.size(); i-- > 0;) {
      const Record& r = c.items[i].rec;
      if (!r.event.empty() || Head(r.bytes).empty()) continue;
      (IsReply(r.bytes) ? first_reply : first_request)[c.items[i].side] = i;
    }
    if (first_request[0] != first_request[1]) return first_request[1] < first_request[0] ? 1 : 0;
    return first_reply[0] < first_reply[1] ? 1 : 0;
  }

  Trace Build() {
    if (conns_.empty())
      Fail("no TCP connection among its " + std::to_string(packets_) + " packets");
    std::vector<int> clients;
    std::map<int, std::size_t> framed;  // per server port, its framed reply lines
    for (const auto& c : conns_) {
      const int client = ClientSide(*c);
      clients.push_back(client);
      std::size_t& n = framed[c->port[1 - client]];
      for (const Conn::Item& item : c->items)
        if (item.side != client && item.rec.event.empty() && !Head(item.rec.bytes).empty()) ++n;
    }
    int port = server_port_;
    if (port == 0) {
      std::string answering;
      for (const auto& [p, n] : framed) {
        if (n == 0) continue;
        answering += (answering.empty() ? "" : ", ") + std::to_string(p);
        if (port == 0) port = p;
        else port = -1;
      }
      if (port == 0)
        Fail("no Kestrel lines: none of its " + std::to_string(conns_.size()) +
             " TCP connections has a server answering framed <...> lines");
      if (port < 0)
        Fail("more than one server answers framed lines (ports " + answering +
             "): pick one with --server-port");
    } else if (framed.count(port) == 0) {
      Fail("no TCP connection to port " + std::to_string(port));
    }
    // The server's connections, numbered in the order they opened: a
    // connection opens no later than anything on it was captured (a
    // capture's times need not grow from packet to packet).
    std::vector<std::size_t> order;
    for (auto& c : conns_) {
      for (const Conn::Item& item : c->items) c->open_us = std::min(c->open_us, item.rec.us);
      order.push_back(order.size());
    }
    std::stable_sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
      return conns_[a]->open_us < conns_[b]->open_us;
    });
    Trace trace;
    long number = 0;
    std::int64_t start = std::numeric_limits<std::int64_t>::max();
    for (const std::size_t i : order) {
      const Conn& c = *conns_[i];
      const int client = clients[i];
      // A connection picked up mid-way without a line is the tail of one
      // that closed (a last ACK, a RST) or says nothing: none of the trace's.
      const bool lines = std::any_of(c.items.begin(), c.items.end(),
                                     [](const Conn::Item& item) { return item.rec.event.empty(); });
      if (c.port[1 - client] != port || (c.partial && !lines)) continue;
      if (trace.header.server.empty()) trace.header.server = c.end[1 - client];
      ++number;
      start = std::min(start, c.open_us);
      Record open;
      open.us = c.open_us;
      open.conn = number;
      open.event = "open";
      bool server_closed = false;
      for (const Conn::Item& item : c.items) {
        Record rec = item.rec;
        rec.conn = number;
        const bool from_client = item.side == client;
        if (rec.event.empty()) {
          rec.dir = from_client ? Dir::kRequest : Dir::kReply;
        } else {
          // Nothing passes a recorder after the server closed.
          if (server_closed) continue;
          server_closed = !from_client;
          rec.by = from_client ? "client" : "server";
          // A SYN answered by a RST: the server refused it (when it was asked).
          if (!c.answered && !c.partial && !from_client && c.items.size() == 1) {
            rec.us = c.open_us;
            rec.event = "refused";
            rec.by.clear();
            rec.error = "connection refused";
            open.event.clear();
          }
        }
        trace.records.push_back(std::move(rec));
      }
      if (!open.event.empty()) trace.records.push_back(std::move(open));
    }
    // At one time a connection's first record (its open, or its refusal)
    // comes before anything else, and the connections keep their numbers' order.
    const auto opens = [](const Record& r) { return r.event == "open" || r.event == "refused"; };
    std::stable_sort(trace.records.begin(), trace.records.end(),
                     [&opens](const Record& a, const Record& b) {
                       return a.us < b.us || (a.us == b.us && opens(a) && !opens(b));
                     });
    for (Record& r : trace.records) r.us -= start;
    trace.header.started = platform::UtcStamp(std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::microseconds(start))));
    return trace;
  }

  struct Seen {
    std::uint32_t seq, end;
    std::int64_t us;
  };

  const std::string& name_;
  const int server_port_;
  StreamFollower follower_;
  std::vector<std::unique_ptr<Conn>> conns_;
  // "SOURCE>DESTINATION": the connection and side sending so.
  std::map<std::string, std::pair<std::size_t, int>> by_ends_;
  // Per direction, the segments whose bytes are not all cut yet.
  std::map<std::string, std::vector<Seen>> segments_;
  std::int64_t now_us_ = 0;  // the time of the packet being read
  std::size_t packets_ = 0;
};

Trace ReadFile(std::FILE* file, const std::string& name, int server_port) {
  if (file == nullptr) throw TraceError(name + ": cannot read the capture file");
  char error[PCAP_ERRBUF_SIZE] = "";
  PcapHandle pcap(pcap_fopen_offline(file, error));
  if (pcap == nullptr) {
    std::fclose(file);
    throw TraceError(name + ": not a capture libpcap can read (" + error + ")");
  }
  return Reader(name, server_port).Read(pcap.get());
}

}  // namespace

Trace ReadCapture(const std::string& path, int server_port) {
  return ReadFile(std::fopen(path.c_str(), "rb"), path, server_port);
}

Trace ParseCapture(std::string_view bytes, const std::string& name, int server_port) {
  if (bytes.empty()) throw TraceError(name + ": empty, not a capture");
  return ReadFile(fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb"), name,
                  server_port);
}

// ---- Writing ----------------------------------------------------------------------

std::vector<Segment> Segments(const Trace& trace) {
  struct Ends {
    std::uint32_t next[2];  // the client's and the server's next sequence number
    bool open = false;
  };
  std::map<long, Ends> conns;
  std::vector<Segment> out;
  const auto put = [&out](const Record& rec, Ends& e, bool from_client, std::uint16_t flags,
                          std::string payload = {}) {
    const int side = from_client ? 0 : 1;
    Segment seg{rec.us, rec.conn, from_client, flags, e.next[side],
                (flags & kAck) != 0 ? e.next[1 - side] : 0, std::move(payload)};
    e.next[side] += static_cast<std::uint32_t>(seg.payload.size()) + ((flags & (kSyn | kFin)) != 0);
    out.push_back(std::move(seg));
  };
  for (const Record& rec : trace.records) {
    const auto conn = static_cast<std::uint32_t>(rec.conn);
    auto [it, fresh] = conns.try_emplace(rec.conn);
    Ends& e = it->second;
    if (fresh) e.next[0] = 1000000 * conn, e.next[1] = 2000000000u + 1000000 * conn;
    if (rec.event == "refused") {
      put(rec, e, true, kSyn);
      put(rec, e, false, kRst | kAck);
      continue;
    }
    if (!e.open) {  // the handshake, at the open or before the first line
      put(rec, e, true, kSyn);
      put(rec, e, false, kSyn | kAck);
      put(rec, e, true, kAck);
      e.open = true;
    }
    if (rec.event.empty()) {
      put(rec, e, rec.dir == Dir::kRequest, kPsh | kAck, rec.bytes + std::string(Terminator(rec.end)));
    } else if (rec.event == "close") {
      put(rec, e, rec.by != "server", rec.error.empty() ? kFin | kAck : kRst | kAck);
    }
  }
  return out;
}

namespace {

// The epoch microseconds of a UTC stamp "YYYY-MM-DDTHH:MM:SS.ffffffZ"; 0 when it is none.
std::int64_t StampMicros(const std::string& stamp) {
  std::tm tm{};
  long micros = 0;
  if (std::sscanf(stamp.c_str(), "%d-%d-%dT%d:%d:%d.%6ldZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &micros) < 6)
    return 0;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return static_cast<std::int64_t>(timegm(&tm)) * 1000000 + micros;
}

struct DumperCloser {
  void operator()(pcap_dumper_t* d) const { pcap_dump_close(d); }
};

}  // namespace

void WriteCapture(const std::vector<Segment>& segments, const Header& header,
                  const std::string& path, Link link) {
  // The server as the header names it, when that is an IPv4 address and port.
  Tins::IPv4Address server("10.0.0.2");
  std::uint16_t server_port = 8000;
  const std::size_t colon = header.server.rfind(':');
  if (colon != std::string::npos) {
    try {
      server = Tins::IPv4Address(header.server.substr(0, colon));
    } catch (const std::exception&) {
      // a host name or IPv6: the default address
    }
    const int port = std::atoi(header.server.c_str() + colon + 1);
    if (port > 0 && port < 65536) server_port = static_cast<std::uint16_t>(port);
  }
  const Tins::IPv4Address client("10.0.0.1");
  const int dlt[] = {DLT_EN10MB, DLT_RAW, DLT_LINUX_SLL, DLT_NULL};
  const PcapHandle dead(pcap_open_dead(dlt[static_cast<int>(link)], 65535));
  std::unique_ptr<pcap_dumper_t, DumperCloser> out(pcap_dump_open(dead.get(), path.c_str()));
  if (out == nullptr) throw TraceError(path + ": cannot write the capture (" + pcap_geterr(dead.get()) + ")");
  const std::int64_t base = StampMicros(header.started);
  for (const Segment& seg : segments) {
    const auto client_port = static_cast<std::uint16_t>(50000 + seg.conn % 15000);
    Tins::TCP tcp = seg.from_client ? Tins::TCP(server_port, client_port)
                                    : Tins::TCP(client_port, server_port);
    tcp.seq(seg.seq);
    tcp.ack_seq(seg.ack);
    tcp.flags(seg.flags);
    tcp.window(65535);
    Tins::IP ip = seg.from_client ? Tins::IP(server, client) : Tins::IP(client, server);
    ip.ttl(64);
    ip /= tcp;
    if (!seg.payload.empty()) ip /= Tins::RawPDU(seg.payload);
    std::vector<std::uint8_t> bytes;
    switch (link) {
      case Link::kEthernet: bytes = (Tins::EthernetII() / ip).serialize(); break;
      case Link::kRawIp: bytes = ip.serialize(); break;
      case Link::kLinuxCooked: bytes = (Tins::SLL() / ip).serialize(); break;
      case Link::kLoopback: {
        Tins::Loopback loop;
        loop.family(PF_INET);
        bytes = (loop / ip).serialize();
        break;
      }
    }
    const std::int64_t at = base + seg.us;
    pcap_pkthdr hdr{};
    hdr.ts.tv_sec = static_cast<time_t>(at / 1000000);
    hdr.ts.tv_usec = static_cast<suseconds_t>(at % 1000000);
    hdr.caplen = hdr.len = static_cast<bpf_u_int32>(bytes.size());
    pcap_dump(reinterpret_cast<u_char*>(out.get()), &hdr, bytes.data());
  }
  if (pcap_dump_flush(out.get()) != 0) throw TraceError(path + ": cannot write the capture");
}

}  // namespace kestrel::trace
