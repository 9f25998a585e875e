// Capture support for a build without libpcap and libtins: none.
#include "trace/capture.h"

namespace kestrel::trace {

namespace {

[[noreturn]] void Unsupported(const std::string& name) {
  throw TraceError(name + ": packet captures are not supported in this build");
}

}  // namespace

Trace ReadCapture(const std::string& path, int) { Unsupported(path); }
Trace ParseCapture(std::string_view, const std::string& name, int) { Unsupported(name); }
std::vector<Segment> Segments(const Trace&) { return {}; }
void WriteCapture(const std::vector<Segment>&, const Header&, const std::string& path, Link) {
  Unsupported(path);
}

}  // namespace kestrel::trace
