// Recorded sessions ("traces"): the one place that knows the trace format.
// The recorder writes it, the replay serves it and `kestrel trace` shows it.
//
// A trace is JSON Lines: a header record, then one record per line that
// passed the recorder in either direction and one per connection event
// (docs/trace.md describes every field):
//
//   {"format":"kestrel-trace","version":1,"started":"2024-05-06T09:14:03.511802Z","server":"10.0.0.5:8000"}
//   {"us":120,"conn":1,"event":"open"}
//   {"us":381,"conn":1,"dir":"request","line":"<GetGain,Cam1>","end":"crlf"}
//   {"us":455,"conn":1,"dir":"reply","line":"<GetGain,OK,1.000000>","end":"crlf"}
//   {"us":9012,"conn":1,"event":"close","by":"client"}
//
// A recorder with fault rules marks a reply line that a rule shaped on its
// way to the client with the rule, and with what the client got instead
// when that differs (null: nothing):
//
//   {"us":702,"conn":1,"dir":"reply","line":"<GetGain,OK,1.000000>","end":"crlf",
//    "fault":"GetGain:ng:camera busy","client":"<GetGain,NG,camera busy>"}
#ifndef KESTREL_TRACE_TRACE_H
#define KESTREL_TRACE_TRACE_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <istream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::trace {

inline constexpr int kVersion = 1;

enum class Dir { kRequest, kReply };  // client to server, server to client
// How a recorded line ended: its terminator, none (the connection ended
// first), or "more" (a piece of a very long line, continued by the next
// record of the same connection and direction).
enum class End { kCrLf, kLf, kNone, kMore };

struct Record {
  std::int64_t us = 0;  // microseconds since the recording started (monotonic)
  long conn = 0;        // connection number, from 1 in the order accepted
  std::string event;    // empty for a line; "open", "close" or "refused"
  // A line:
  Dir dir = Dir::kRequest;
  std::string bytes;  // exactly as sent, without its terminator
  End end = End::kCrLf;
  // An event:
  std::string by;     // close: "client", "server", "recorder" or "fault"
  std::string error;  // close and refused: the system's reason, if any
  // A reply line that a fault rule of the recorder shaped: the rules as
  // written ("": none, the client got `bytes`), and the line the client got
  // (without terminator; none when it got nothing of it).
  std::string fault = {};
  std::optional<std::string> client = {};
};

struct Header {
  int version = kVersion;
  std::string started;  // UTC wall time of the start, for people
  std::string server;   // HOST:PORT the recorder forwarded to
};

struct Trace {
  Header header;
  std::vector<Record> records;  // "more" pieces already joined to their line
};

// A trace file that cannot be read; what() is "FILE:LINE: reason".
class TraceError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Bytes as a trace writes them: printable ASCII as it is, a backslash as
// "\\" and every other byte as "\xHH".
std::string Escape(std::string_view bytes);
// The inverse; throws std::invalid_argument on a bad escape.
std::string Unescape(std::string_view text);
// The terminator bytes of a line that ended with `end`.
std::string_view Terminator(End end);

// Appends records to a trace file, each written and flushed at once, from
// any thread.
class Writer {
 public:
  // Creates (or empties) `path` and writes the header. Throws
  // std::runtime_error when the file cannot be written.
  Writer(const std::string& path, const std::string& server);
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  void Line(long conn, Dir dir, std::string_view bytes, End end);
  // A reply line of the server that the fault rules `fault` shaped: the
  // client got `client` (without terminator) instead, or nothing.
  void Shaped(long conn, std::string_view bytes, End end, std::string_view fault,
              const std::optional<std::string>& client);
  void Event(long conn, std::string_view event, std::string_view by = {},
             std::string_view error = {});

 private:
  void Put(const std::string& json);
  std::int64_t Now() const;

  std::mutex mu_;
  std::FILE* out_;
  const std::chrono::steady_clock::time_point start_;
};

// Reads a whole trace; throws TraceError naming `name` and the line.
Trace Parse(std::istream& in, const std::string& name);
// Reads a trace file, or a packet capture (trace/capture.h) told by its first
// bytes, whose server is on `server_port` (0: the one that answers lines).
Trace Load(const std::string& path, int server_port = 0);

// ---- Exchanges: what the server did with each request ------------------------

struct Piece {
  std::int64_t us = 0;
  // Time the server took for this piece: since its request or since the
  // server's previous piece on the connection, whichever came later (the
  // wait of a server that handles a connection's requests one by one).
  std::int64_t wait_us = 0;
  std::string bytes;  // without terminator
  End end = End::kCrLf;
  std::string fault = {};  // as in Record
  std::optional<std::string> client = {};
};

struct Exchange {
  long conn = 0;
  std::int64_t us = 0;       // when the request passed (or the connection opened)
  bool has_request = false;  // false: what the server did before any request
  std::string request;
  std::vector<Piece> replies;  // every server line attributed to the request
  bool closed = false;         // the server closed (or refused) after the replies
  std::int64_t close_us = 0;
  std::int64_t close_wait_us = 0;
  std::string close_error;  // "refused: ..." or the reason of a reset
};

// The command word of a request or the head of a reply: the text between
// '<' and the first ',' or '>'; empty when the line is not framed so.
std::string_view Head(std::string_view line);

// Groups a trace into exchanges, in the order the requests passed. Each
// connection starts with an exchange without request (its greeting). A
// reply line answers the oldest unanswered request of its connection whose
// command word is its head, else the oldest unanswered one, else it is one
// more line of the latest exchange; a server's close ends the latest.
std::vector<Exchange> Exchanges(const std::vector<Record>& records);

}  // namespace kestrel::trace

#endif  // KESTREL_TRACE_TRACE_H
