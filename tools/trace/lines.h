// Cutting one direction of a connection into the lines a trace records: the
// recorder cuts what it forwards, the capture reader what it reassembles.
#ifndef KESTREL_TRACE_LINES_H
#define KESTREL_TRACE_LINES_H

#include <cstddef>
#include <functional>
#include <string_view>

#include "host/line_buffer.h"
#include "trace/trace.h"

namespace kestrel::trace {

class LineCutter {
 public:
  // A line longer than this comes out in pieces (end "more"), so that memory
  // stays bounded whatever a peer sends.
  static constexpr std::size_t kMaxPiece = 64 * 1024;

  // Gets each line (without its terminator) as it completes, with how it ended.
  using Sink = std::function<void(std::string_view line, End end)>;
  explicit LineCutter(Sink sink) : sink_(std::move(sink)) {}

  void Feed(std::string_view bytes);
  // The stream ended: an unfinished line goes out as it is (end "none").
  void Finish();
  // No byte of an unfinished line is held.
  bool Idle() const { return lines_.held().empty(); }

 private:
  Sink sink_;
  Corvus::net::LineBuffer lines_{kMaxPiece, Corvus::net::LineBuffer::Overlong::kSplit};
};

}  // namespace kestrel::trace

#endif  // KESTREL_TRACE_LINES_H
