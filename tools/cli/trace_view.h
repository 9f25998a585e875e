// `kestrel trace FILE`: a recorded session shown one exchange a row, as
// JSON, or drawn as a timeline of latencies.
#ifndef KESTREL_CLI_TRACE_VIEW_H
#define KESTREL_CLI_TRACE_VIEW_H

#include <iosfwd>
#include <string>
#include <vector>

#include "trace/trace.h"

namespace kestrel_cli {

// One exchange as it is shown; texts in UTF-8.
struct TraceRow {
  double time_s = 0;  // when the request passed, since the recording started
  long conn = 0;
  std::string word;     // command word of the request ("" before any request)
  std::string outcome;  // OK, NG, unframed, silent, closed, refused, or the reply's type
  std::string message;  // NG: the server's message; closed: the reason, if any
  double latency_ms = -1;  // until the first reply line or the close; < 0: none came
  std::string request;
  std::string reply;  // the reply lines, " | " between them
  bool failed = false;  // anything but OK
};

// The rows of the exchanges (a connection's greeting only when the server did
// something before the first request).
std::vector<TraceRow> TraceRows(const std::vector<kestrel::trace::Exchange>& exchanges);

std::string TraceTable(const std::vector<TraceRow>& rows);
// One JSON object per row, one a line.
std::string TraceJson(const std::vector<TraceRow>& rows);
// A timeline: one band per command word, a bar per exchange at its time as
// high as its latency (logarithmic), failures in red.
std::string TraceSvg(const std::vector<TraceRow>& rows);

// The whole command: prints the table (or JSON) of `file` to `out` and
// writes the drawing to `svg` when given. Returns the exit code: 0, 1 when
// the drawing cannot be written, 2 for an unreadable trace (message on `err`).
int RunTrace(const std::string& file, bool json, const std::string& svg, std::ostream& out,
             std::ostream& err);

}  // namespace kestrel_cli

#endif  // KESTREL_CLI_TRACE_VIEW_H
