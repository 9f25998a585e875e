// Line framing (the line buffer under the network link and the tools'
// servers) on arbitrary byte streams in arbitrary chunks, in process: no
// socket, no clock, the same answer for the same input.
//
// Input: byte 0 picks the terminator, bytes 1-2 the reader's limit, byte 3
// flags (bit 0: over-long lines are split into pieces instead of dropped;
// bit 1: the buffer holds just the limit instead of 64 KiB; bit 2: bytes are
// copied in by Feed instead of received into room()); then records, each one
// chunk: a length byte L then L bytes, or L = 0 followed by a count byte and
// a value byte for a run of that byte (so that lines longer than the limit
// are cheap to express). After every chunk the target takes every line the
// bytes so far make.
//
// Dropping is checked against a model of the link's framing: each line ends
// at the first terminator; a line of more than `limit` bytes yields its first
// `limit` bytes and the rest of it up to its terminator is dropped. Splitting
// must hand out every byte once, in order, in pieces of 1 to `limit` bytes,
// only the last piece of a line ending with the terminator.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>

#include "fuzz_check.h"
#include "host/line_buffer.h"

namespace {

using Corvus::net::LineBuffer;

constexpr std::size_t kStreamBudget = 256 * 1024;  // bytes per input at most
constexpr std::size_t kLinkBuffer = 64 * 1024;     // the network link's buffer
const char* const kTerminators[] = {"\r\n", "\n", ">\r\n"};

// The dropping framing, fed with the bytes the buffer took.
struct DropModel {
  std::string term;
  std::size_t limit;
  std::string pending{};            // the current line so far
  bool head_given = false;          // its first `limit` bytes were handed out already
  std::deque<std::string> lines{};  // due, in order

  void Feed(const char* data, std::size_t size) {
    pending.append(data, size);
    for (std::size_t hit; (hit = pending.find(term)) != std::string::npos;) {
      const std::size_t length = hit + term.size();
      if (!head_given) lines.push_back(pending.substr(0, std::min(length, limit)));
      pending.erase(0, length);
      head_given = false;
    }
    if (!head_given && pending.size() >= limit) {
      lines.push_back(pending.substr(0, limit));
      head_given = true;
    }
  }
};

struct Run {
  std::string term;
  std::size_t limit;
  bool split;
  LineBuffer buffer;
  DropModel model;
  std::string fed{};    // splitting: every byte the buffer took
  std::string taken{};  // splitting: every byte handed out

  // Takes every piece due and checks it.
  void Drain() {
    for (;;) {
      const LineBuffer::Piece p = buffer.Take(term, limit);
      if (p.kind == LineBuffer::Kind::kNone) break;
      FUZZ_CHECK(!p.bytes.empty() && p.bytes.size() <= limit);
      const std::string piece(p.bytes);
      const std::size_t hit = piece.find(term);
      if (split) {
        // Only a whole line ends with the terminator, and holds no other.
        const bool ends = hit != std::string::npos && hit + term.size() == piece.size();
        FUZZ_CHECK(ends == (p.kind == LineBuffer::Kind::kLine));
        FUZZ_CHECK(hit == std::string::npos || hit + term.size() == piece.size());
        taken += piece;
      } else {
        FUZZ_CHECK(!model.lines.empty() && model.lines.front() == piece);
        FUZZ_CHECK((p.kind == LineBuffer::Kind::kLine) ==
                   (hit != std::string::npos && hit + term.size() == piece.size()));
        model.lines.pop_front();
      }
    }
    FUZZ_CHECK(model.lines.empty());
    if (split) {
      // Nothing lost, nothing twice: what was handed out and what is held
      // make what came, and what is held holds no whole line.
      FUZZ_CHECK(taken.size() + buffer.held().size() == fed.size());
      FUZZ_CHECK(fed.compare(0, taken.size(), taken) == 0);
      FUZZ_CHECK(fed.compare(taken.size(), std::string::npos, buffer.held()) == 0);
      FUZZ_CHECK(buffer.held().find(term) == std::string_view::npos);
    }
    FUZZ_CHECK(buffer.room() != nullptr && buffer.room_size() > 0);
  }

  // Puts `chunk` in as the bytes of a connection come: as much as there is
  // room for, then what that makes is taken, and so on.
  void Put(const std::string& chunk, bool copy) {
    for (std::size_t done = 0; done < chunk.size();) {
      std::size_t n;
      if (copy) {
        n = buffer.Feed(std::string_view(chunk).substr(done));
      } else {
        n = std::min(buffer.room_size(), chunk.size() - done);
        std::memcpy(buffer.room(), chunk.data() + done, n);
        buffer.commit(n);
      }
      FUZZ_CHECK(n > 0);
      if (split) {
        fed.append(chunk, done, n);
      } else {
        model.Feed(chunk.data() + done, n);
      }
      done += n;
      Drain();
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::string term = kTerminators[data[0] % 3];
  // The client's reply buffer, a limit beyond the link's buffer, or a small one.
  const int raw = data[1] | data[2] << 8;
  const std::size_t asked = raw % 8 == 0 ? 10240 : raw % 8 == 1 ? 70000 : 2 + raw / 8 % 300;
  const bool split = (data[3] & 1) != 0;
  const bool tight = (data[3] & 2) != 0;
  const bool copy = (data[3] & 4) != 0;
  // As the link reads: a caller's limit counts the NUL, and the buffer cuts lines at its size.
  const std::size_t capacity = tight ? std::max<std::size_t>(asked - 1, term.size()) : kLinkBuffer;
  // Split pieces hold a terminator whole.
  const std::size_t limit = std::max(std::min(asked - 1, capacity), split ? term.size() : 1);
  Run run{term, limit, split,
          LineBuffer(capacity, split ? LineBuffer::Overlong::kSplit : LineBuffer::Overlong::kDrop),
          DropModel{term, limit}};

  std::string chunk;
  for (std::size_t i = 4, written = 0; i < size && written < kStreamBudget;) {
    const std::size_t length = data[i++];
    if (length == 0) {
      if (i + 2 > size) break;
      chunk.assign(static_cast<std::size_t>(data[i]) * 64 + 1, static_cast<char>(data[i + 1]));
      i += 2;
    } else {
      chunk.assign(reinterpret_cast<const char*>(data + i), std::min(length, size - i));
      i += chunk.size();
    }
    run.Put(chunk, copy);
    written += chunk.size();
  }
  // A clear drops every byte held and the rest of a line being dropped.
  run.buffer.Clear();
  FUZZ_CHECK(run.buffer.held().empty());
  return 0;
}
