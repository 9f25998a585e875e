// Network link of the host base layer: one TCP connection to a server,
// carrying text lines with a terminator.
#ifndef KESTREL_HOST_LYNK_H
#define KESTREL_HOST_LYNK_H

#include <cstddef>
#include <mutex>

#include "kestrel/export.h"

namespace Corvus {

// One TCP link. Connect, disconnect and status may be called from one thread
// while another thread is inside a write or read on the same link: closing
// then wakes the reader, which fails, and the socket is released only once no
// call uses it any more.
//
// Bounds:
// - Connect gives up after kConnectLimitMs (per resolved address tried).
// - A write gives up after kWriteLimitMs when the peer does not take the bytes.
// - A read returns within its time limit (plus scheduling); at once when the
//   peer has closed or the link is not connected.
// A write never raises SIGPIPE.
class Lynk {
 public:
  static constexpr int kConnectLimitMs = 3000;
  static constexpr int kWriteLimitMs = 5000;
  static constexpr std::size_t kBufferSize = 64 * 1024;

  Lynk();
  ~Lynk();
  Lynk(const Lynk&) = delete;
  Lynk& operator=(const Lynk&) = delete;

  // Names the link (cut to 63 characters).
  void Lynk_Set_Title(const char* title);
  // Connects to `address` (IPv4/IPv6 literal or host name) and `port`,
  // closing an earlier connection first. The two flags are accepted for the
  // host's interface and change nothing here. TCP_NODELAY is set.
  bool Lynk_Connect_Port(const char* address, int port, bool flag1, bool flag2);
  // Closes the connection; false when there was none.
  bool Lynk_Disconnect_Port();
  // True while connected and the peer has not closed its end (checked
  // without blocking).
  bool Lynk_Connect_Status();
  // Drops every received byte not yet read: the link's own buffer and what
  // the socket holds.
  void Lynk_Clear_Buffer();
  // Writes `length` bytes of `text`; true when all were written.
  bool Lynk_Write_String(const char* text, int length);
  // Reads one line ending in `terminator` into `buffer` (capacity `limit`
  // bytes), waiting at most `timeout_ms`. On true, `*count` holds the bytes
  // placed, terminator included, and the buffer is NUL-terminated. Bytes
  // after the terminator stay for the next read; a partial line stays across
  // reads. A line longer than limit - 1 bytes yields its first limit - 1
  // bytes (true, count limit - 1) and the rest of that line is dropped as it
  // arrives. False (count 0, buffer "") on timeout, when the peer has closed,
  // on a socket error and when not connected.
  bool Lynk_Read_String(char* buffer, const char* terminator, int limit, int timeout_ms,
                        int* count);

  const char* title() const { return title_; }

 private:
  struct Impl;
  Impl* impl_;
  char title_[64];
};

}  // namespace Corvus

#endif  // KESTREL_HOST_LYNK_H
