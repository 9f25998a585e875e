// Line framing (the line buffer under the network link and the tools'
// servers) on arbitrary byte streams in arbitrary chunks, in process: no
// socket, no clock, the same answer for the same input.
//
// Input: byte 0 picks the terminator, bytes 1-2 the reader's limit, byte 3
// flags (bit 0: over-long lines are split into pieces instead of dropped;
// bit 1: the buffer holds just the limit; bit 2: bytes are copied in by Feed
// instead of received into room(); bits 3-7: how much more than the limit
// the buffer holds otherwise); then records, each one
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

constexpr std::size_t kStreamBudget = 8 * 1024;  // bytes per input at most
const char* const kTerminators[] = {"\r\n", "\n", ">\r\n"};

// The dropping framing, fed with the bytes the buffer took.
struct DropModel {
  std::string term;
  std::size_t limit;
  std::string pending{};            // the current line so far (its tail once its head is out)
  bool head_given = false;          // its first `limit` bytes were handed out already
  std::deque<std::string> lines{};  // due, in order

  void Feed(const char* data, std::size_t size) {
    // Only the bytes that may hold a terminator with the new ones are searched again.
    std::size_t from = pending.size() - std::min(pending.size(), term.size() - 1);
    pending.append(data, size);
    std::size_t start = 0;  // of the current line in `pending`
    for (std::size_t hit; (hit = pending.find(term, std::max(from, start))) != std::string::npos;) {
      const std::size_t length = hit - start + term.size();
      if (!head_given) lines.push_back(pending.substr(start, std::min(length, limit)));
      start += length;
      head_given = false;
    }
    pending.erase(0, start);
    if (!head_given && pending.size() >= limit) {
      lines.push_back(pending.substr(0, limit));
      head_given = true;
    }
    // The rest of a line being dropped matters only for its terminator.
    if (head_given && pending.size() >= term.size()) pending.erase(0, pending.size() - term.size() + 1);
  }
};

struct Run {
  std::string term;
  std::size_t limit;
  bool split;
  LineBuffer buffer;
  DropModel model;
  std::string fed{};      // splitting: every byte the buffer took
  std::size_t taken = 0;  // splitting: how many of them were handed out

  // Takes every piece due and checks it.
  void Drain() {
    for (;;) {
      const LineBuffer::Piece p = buffer.Take(term, limit);
      if (p.kind == LineBuffer::Kind::kNone) break;
      FUZZ_CHECK(!p.bytes.empty() && p.bytes.size() <= limit);
      const std::size_t hit = p.bytes.find(term);
      const bool ends = hit != std::string_view::npos && hit + term.size() == p.bytes.size();
      FUZZ_CHECK(ends == (p.kind == LineBuffer::Kind::kLine));
      if (split) {
        // Every byte handed out once, in order; no terminator but at a line's end.
        FUZZ_CHECK(hit == std::string_view::npos || ends);
        FUZZ_CHECK(fed.compare(taken, p.bytes.size(), p.bytes) == 0);
        taken += p.bytes.size();
      } else {
        FUZZ_CHECK(!model.lines.empty() && model.lines.front() == p.bytes);
        model.lines.pop_front();
      }
    }
    FUZZ_CHECK(model.lines.empty());
    FUZZ_CHECK(!split || taken + buffer.held().size() == fed.size());
    FUZZ_CHECK(buffer.room() != nullptr && buffer.room_size() > 0);
  }

  // What is held once the input is over: the bytes not handed out, and no
  // whole line among them.
  void CheckHeld() const {
    if (!split) return;
    FUZZ_CHECK(fed.compare(taken, std::string::npos, buffer.held()) == 0);
    FUZZ_CHECK(buffer.held().find(term) == std::string_view::npos);
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
  // The framing is the same at any size: small limits and buffers reach every
  // case with short streams.
  const int raw = data[1] | data[2] << 8;
  const std::size_t asked = 2 + raw % 1200;
  const bool split = (data[3] & 1) != 0;
  const bool tight = (data[3] & 2) != 0;
  const bool copy = (data[3] & 4) != 0;
  // As the link reads, a caller's limit counts the NUL; split pieces hold a
  // terminator whole.
  const std::size_t limit = std::max(asked - 1, split ? term.size() : 1);
  const std::size_t capacity =
      std::max(limit + (tight ? 0 : 1 + (data[3] >> 3) * 37u), term.size());
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
  run.CheckHeld();
  // A clear drops every byte held and the rest of a line being dropped.
  run.buffer.Clear();
  FUZZ_CHECK(run.buffer.held().empty());
  return 0;
}
