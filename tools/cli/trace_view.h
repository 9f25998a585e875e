// `kestrel trace FILE`: a recorded session shown one exchange a row, as
// JSON, drawn as a timeline, or as Trace Event JSON for a trace viewer.
#ifndef KESTREL_CLI_TRACE_VIEW_H
#define KESTREL_CLI_TRACE_VIEW_H

#include <iosfwd>
#include <string>

namespace kestrel_cli {

// The whole command: prints the table (or JSON) of `file` (a trace or a
// capture; `server_port` picks a capture's server) to `out`, writes the
// timeline drawing to `svg` and the Trace Event JSON (chrome://tracing,
// Perfetto) to `chrome` when given. Returns the exit code: 0, 1 when a file
// cannot be written, 2 for an unreadable trace (message on `err`).
int RunTrace(const std::string& file, bool json, const std::string& svg, const std::string& chrome,
             std::ostream& out, std::ostream& err, int server_port = 0);

// `kestrel trace FILE --pcap OUT`: writes the trace (or capture) as a pcap
// capture. Returns 0, or as RunTrace 2 (unreadable) or 1 (not written) with
// a message on `err`.
int WriteTracePcap(const std::string& file, int server_port, const std::string& pcap,
                   std::ostream& err);

}  // namespace kestrel_cli

#endif  // KESTREL_CLI_TRACE_VIEW_H
