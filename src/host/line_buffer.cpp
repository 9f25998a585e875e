#include "host/line_buffer.h"

#include <algorithm>
#include <cstring>

namespace Corvus::net {
namespace {

// First occurrence of `term` in [data, data + size), or null.
const char* Find(const char* data, std::size_t size, std::string_view term) {
  const std::size_t tl = term.size();
  if (size < tl) return nullptr;
  const char* p = data;
  const char* const last = data + (size - tl);
  while (p <= last) {
    p = static_cast<const char*>(std::memchr(p, term[0], static_cast<std::size_t>(last - p) + 1));
    if (p == nullptr) return nullptr;
    if (std::memcmp(p + 1, term.data() + 1, tl - 1) == 0) return p;
    ++p;
  }
  return nullptr;
}

}  // namespace

LineBuffer::LineBuffer(std::size_t capacity, Overlong overlong)
    : data_(new char[capacity]), capacity_(capacity), overlong_(overlong) {}

char* LineBuffer::room() {
  // Moved only when the tail is full, so that a line that comes in many
  // reads is not moved again for each of them.
  if (begin_ == end_) {
    begin_ = end_ = scan_ = 0;
  } else if (end_ == capacity_ && begin_ > 0) {
    std::memmove(data_.get(), data_.get() + begin_, end_ - begin_);
    scan_ -= begin_;
    end_ -= begin_;
    begin_ = 0;
  }
  return data_.get() + end_;
}

std::size_t LineBuffer::Feed(std::string_view bytes) {
  char* to = room();
  const std::size_t n = std::min(bytes.size(), room_size());
  std::memcpy(to, bytes.data(), n);
  commit(n);
  return n;
}

void LineBuffer::Clear() {
  begin_ = end_ = scan_ = 0;
  dropping_ = false;
}

LineBuffer::Piece LineBuffer::Take(std::string_view terminator, std::size_t limit) {
  if (terminator != terminator_) {
    terminator_.assign(terminator.data(), terminator.size());
    scan_ = begin_;
  }
  const std::size_t tl = terminator.size();
  // A terminator may begin among the last tl - 1 bytes held: the next search
  // starts there.
  const auto keep_tail = [&] { return end_ - std::min(tl - 1, end_ - begin_); };
  char* const data = data_.get();
  for (;;) {
    const char* hit = Find(data + scan_, end_ - scan_, terminator);
    if (dropping_) {
      if (hit == nullptr) {
        begin_ = scan_ = keep_tail();
        return {};
      }
      begin_ = scan_ = static_cast<std::size_t>(hit - data) + tl;
      dropping_ = false;
      continue;
    }
    const std::size_t start = begin_;
    if (hit != nullptr) {
      const std::size_t stop = static_cast<std::size_t>(hit - data) + tl;
      if (stop - start <= limit) {
        begin_ = scan_ = stop;
        return {Kind::kLine, {data + start, stop - start}};
      }
      if (overlong_ == Overlong::kDrop) {
        begin_ = scan_ = stop;  // the rest of the line goes with it
        return {Kind::kHead, {data + start, limit}};
      }
      // A piece ends before the terminator, which stays whole for the last
      // piece; the terminator found is still the first ahead.
      const std::size_t n = std::min(limit, static_cast<std::size_t>(hit - data) - start);
      begin_ += n;
      scan_ = static_cast<std::size_t>(hit - data);
      return {Kind::kHead, {data + start, n}};
    }
    if (end_ - start >= limit) {
      if (overlong_ == Overlong::kDrop) {
        // The rest is dropped as it comes; the last bytes handed out stay
        // for the search, since the terminator may begin among them.
        begin_ = scan_ = start + limit - std::min(tl - 1, limit);
        dropping_ = true;
        return {Kind::kHead, {data + start, limit}};
      }
      // A piece never ends inside a terminator that has only begun to arrive.
      const std::size_t n = std::min(limit, keep_tail() - start);
      if (n > 0) {
        begin_ = scan_ = start + n;
        return {Kind::kHead, {data + start, n}};
      }
    }
    scan_ = keep_tail();
    return {};
  }
}

}  // namespace Corvus::net
