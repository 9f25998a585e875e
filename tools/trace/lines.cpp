#include "trace/lines.h"

namespace kestrel::trace {

void LineCutter::Feed(std::string_view bytes) {
  while (!bytes.empty()) {
    bytes.remove_prefix(lines_.Feed(bytes));
    for (;;) {
      const auto piece = lines_.Take("\n", kMaxPiece);
      if (piece.kind == Corvus::net::LineBuffer::Kind::kNone) break;
      std::string_view line = piece.bytes;
      if (piece.kind == Corvus::net::LineBuffer::Kind::kHead) {
        sink_(line, End::kMore);
        continue;
      }
      line.remove_suffix(1);
      const bool cr = !line.empty() && line.back() == '\r';
      if (cr) line.remove_suffix(1);
      sink_(line, cr ? End::kCrLf : End::kLf);
    }
  }
}

void LineCutter::Finish() {
  if (!lines_.held().empty()) sink_(lines_.held(), End::kNone);
  lines_.Clear();
}

}  // namespace kestrel::trace
