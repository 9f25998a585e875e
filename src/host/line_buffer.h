// Line framing of a byte stream, with no socket and no clock: the bytes a
// connection brings go in (received straight into room(), or copied by
// Feed), and the lines they make come out of Take. The network link reads its
// replies through one, and the tools' servers, relay and test servers cut
// their requests and replies with the same one.
//
// Internal: not part of the library's interface.
#ifndef KESTREL_HOST_LINE_BUFFER_H
#define KESTREL_HOST_LINE_BUFFER_H

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace Corvus::net {

class LineBuffer {
 public:
  // What becomes of a line longer than a Take's limit: its first `limit`
  // bytes are handed out and the rest of it is dropped up to and with its
  // terminator (kDrop: a reader that cannot hold it), or it is handed out in
  // pieces of at most `limit` bytes, the last of them with the terminator
  // (kSplit: a recorder that keeps every byte).
  enum class Overlong { kDrop, kSplit };
  enum class Kind {
    kNone,  // no line is complete yet: receive more
    kLine,  // a whole line with its terminator (or the last piece of a split one)
    kHead,  // the head of a longer line (kDrop), or a piece of it (kSplit)
  };
  struct Piece {
    Kind kind = Kind::kNone;
    std::string_view bytes;  // valid until the buffer is next changed
  };

  // Holds at most `capacity` bytes; allocated once, here.
  explicit LineBuffer(std::size_t capacity, Overlong overlong = Overlong::kDrop);

  // Where received bytes go: room() makes the free space contiguous and
  // returns its start, room_size() its size; commit(n) adds the n bytes
  // written there. After a Take that returned kNone there is always room.
  char* room();
  std::size_t room_size() const { return capacity_ - end_; }
  void commit(std::size_t n) { end_ += n; }
  // Copies as much of `bytes` as there is room for; returns how much.
  std::size_t Feed(std::string_view bytes);

  // The next line ending in `terminator` (not empty), or the next head or
  // piece of one longer than `limit` bytes, or kNone. The limit is at least
  // 1 and at most the capacity, and when lines are split at least the
  // terminator's size (no piece cuts a terminator). A terminator differs from the last one asked for only at a cost:
  // the search starts again from the oldest byte held.
  Piece Take(std::string_view terminator, std::size_t limit);

  // Drops every byte held, and the rest of a line being dropped.
  void Clear();
  // The bytes held and not yet taken (a line without its terminator yet).
  std::string_view held() const { return {data_.get() + begin_, end_ - begin_}; }

 private:
  std::unique_ptr<char[]> data_;
  const std::size_t capacity_;
  const Overlong overlong_;
  std::string terminator_;  // the last one asked for
  // Bytes held are [begin_, end_); no terminator starts in [begin_, scan_).
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::size_t scan_ = 0;
  bool dropping_ = false;  // skipping the rest of an over-long line
};

}  // namespace Corvus::net

#endif  // KESTREL_HOST_LINE_BUFFER_H
