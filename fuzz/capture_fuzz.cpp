// Packet captures from arbitrary bytes (trace/capture.h), in process: libpcap
// reads them from memory, libtins reassembles their TCP connections, the
// line cutter makes the records. Whatever the bytes, the reader either
// names what is wrong (TraceError) or returns a trace as a recorder writes
// one: records in time order from 0, connections numbered from 1 in the
// order they opened, lines cut at LF, no "more" piece left unjoined.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "trace/capture.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrel::trace;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Trace trace;
  try {
    trace = ParseCapture(bytes, "input");
  } catch (const TraceError&) {
    return 0;
  }
  FUZZ_CHECK(!trace.header.server.empty());
  std::int64_t last_us = 0;
  long opened = 0;
  for (const Record& r : trace.records) {
    FUZZ_CHECK(r.us >= last_us && r.conn >= 1 && r.conn <= opened + 1);
    last_us = r.us;
    if (r.conn > opened) opened = r.conn;
    if (!r.event.empty()) {
      FUZZ_CHECK(r.event == "open" || r.event == "close" || r.event == "refused");
      continue;
    }
    FUZZ_CHECK(r.end != End::kMore && r.bytes.find('\n') == std::string::npos);
  }
  FUZZ_CHECK(trace.records.empty() || trace.records.front().us == 0);
  return 0;
}
