// `kestrel trace FILE`: a recorded session shown one exchange a row, as
// JSON, or drawn as a timeline of latencies.
#ifndef KESTREL_CLI_TRACE_VIEW_H
#define KESTREL_CLI_TRACE_VIEW_H

#include <iosfwd>
#include <string>

namespace kestrel_cli {

// The whole command: prints the table (or JSON) of `file` to `out` and
// writes the drawing to `svg` when given. Returns the exit code: 0, 1 when
// the drawing cannot be written, 2 for an unreadable trace (message on `err`).
int RunTrace(const std::string& file, bool json, const std::string& svg, std::ostream& out,
             std::ostream& err, int server_port = 0);

// `kestrel trace FILE --pcap OUT`: writes the trace (or capture) as a pcap
// capture. Returns 0, or as RunTrace 2 (unreadable) or 1 (not written) with
// a message on `err`.
int WriteTracePcap(const std::string& file, int server_port, const std::string& pcap,
                   std::ostream& err);

}  // namespace kestrel_cli

#endif  // KESTREL_CLI_TRACE_VIEW_H
