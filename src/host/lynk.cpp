// Network link of the stand-in host layer: one TCP connection, read line by
// line through the link's own receive buffer.
//
// Cost per command round trip (clear, write, read of a reply that arrives in
// one segment): one non-blocking recv, one send, one blocking recv. The socket
// stays blocking; a write is bounded by SO_SNDTIMEO and a read by
// SO_RCVTIMEO, which is set only when the time left differs from the value
// the socket already has (with a fixed client timeout it rarely does). On
// POSIX that timeout ends somewhat before the read's limit, and the rest of
// an unanswered wait is a poll, so that a read returns on time (RecvWithin).
//
// Lifetime of a socket: each connection is a reference-counted Connection.
// Every call takes its own reference under a small mutex and works on it
// without holding the mutex; disconnecting removes the link's reference and
// shuts the socket down, which wakes a blocked recv or send. The descriptor is
// closed by the last reference, so its number is never reused under a call
// that still works on it.
#include "host/lynk.h"

#include "host/line_buffer.h"
#include "host/socket_api.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

namespace Corvus {
namespace {

using Clock = std::chrono::steady_clock;
using net::CloseHandle;
using net::Handle;
using net::Io;
using net::kNoHandle;
using net::OpenSocket;
using net::SetBlocking;
using net::ShutdownHandle;

// ---------------------------------------------------------------------------
// Socket calls. Everything below this line up to the end of the section,
// with the calls of host/sockets.h, is all the link knows of the socket API.
// A socket stays blocking once connected: recv and send are bounded by
// SO_RCVTIMEO and SO_SNDTIMEO; the calls that must not wait do not.
// ---------------------------------------------------------------------------

// Milliseconds left until `deadline`, rounded up; 0 once it has passed.
int MsLeft(Clock::time_point deadline) {
  const auto left = deadline - Clock::now();
  if (left <= Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Connects the non-blocking socket `h`, waiting at most `limit_ms`.
bool ConnectWithin(Handle h, const sockaddr* address, net::SockLen length, int limit_ms) {
  if (::connect(h, address, length) == 0) return true;
  if (!net::ConnectPending(net::LastErrorCode())) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
  for (;;) {
    const int left = MsLeft(deadline);
    if (left <= 0) return false;
    const int ready = net::WaitReady(h, true, left);
    if (ready < 0 && net::Interrupted()) continue;
    if (ready <= 0) return false;
    int error = 0;
    return net::PendingError(h, &error) && error == 0;
  }
}

// Settings of a freshly connected socket: blocking, no Nagle delay, writes
// bounded by `write_limit_ms`, no SIGPIPE.
bool Configure(Handle h, int write_limit_ms) {
  return net::SetNoDelay(h) && net::SetNoSigPipe(h) && net::SetSendTimeout(h, write_limit_ms) &&
         SetBlocking(h, true);
}

// Resolves `address` (numeric first, then as a host name) and connects to
// the first address that answers within `limit_ms` each.
Handle OpenConnected(const char* address, int port, int limit_ms, int write_limit_ms) {
  if (!net::StartSockets()) return kNoHandle;
  char service[16];
  std::snprintf(service, sizeof service, "%d", port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* list = nullptr;
  if (::getaddrinfo(address, service, &hints, &list) != 0) {
    hints.ai_flags = AI_NUMERICSERV;
    list = nullptr;
    if (::getaddrinfo(address, service, &hints, &list) != 0) return kNoHandle;
  }
  Handle result = kNoHandle;
  for (const addrinfo* a = list; a != nullptr && result == kNoHandle; a = a->ai_next) {
    const Handle h = OpenSocket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (h == kNoHandle) continue;
    if (ConnectWithin(h, a->ai_addr, static_cast<net::SockLen>(a->ai_addrlen), limit_ms) &&
        Configure(h, write_limit_ms)) {
      result = h;
    } else {
      CloseHandle(h);
    }
  }
  ::freeaddrinfo(list);
  return result;
}

// A recv that does not wait, tried again when a signal interrupts it.
Io RecvOrPeekNow(Handle h, char* data, std::size_t size, bool peek, std::size_t* got) {
  for (;;) {
    const Io io = net::Classify(net::RecvNoWait(h, data, size, peek), got);
    if (io != Io::kTimeout || !net::Interrupted()) return io;
  }
}

// Takes what the socket holds right now, without waiting.
Io RecvNow(Handle h, char* data, std::size_t size, std::size_t* got) {
  return RecvOrPeekNow(h, data, size, false, got);
}

#if !defined(_WIN32)
// A blocking recv wakes as soon as bytes come and costs one call, but a POSIX
// kernel ends an SO_RCVTIMEO wait on its coarse timer wheel, late by up to an
// eighth of the wait plus two ticks (tens of milliseconds on a wait of
// seconds). So a long wait is a blocking recv whose timeout ends safely before
// its limit even when late; what is left of the wait after that, and any
// short wait, is a poll, whose timer is exact, and a recv of what came. The
// coarse timeout moves in steps of 9 ms, so a read that comes back for the
// rest of a line mostly finds it set already. Winsock's timeout ends on time.
constexpr int kCoarseWaitMinMs = 200;  // shorter waits are polled
constexpr int kCoarseMarginMs = 25;    // two ticks at 100 Hz and some scheduling
#endif

// Waits at most `ms` (> 0) for bytes. `*timeout_set` is the receive timeout
// the socket has now (0: none); it is changed only when it differs.
Io RecvWithin(Handle h, char* data, std::size_t size, int ms, int* timeout_set, std::size_t* got) {
#if defined(_WIN32)
  const int timeout = ms;
#else
  if (ms < kCoarseWaitMinMs) {
    const int ready = net::WaitReady(h, false, ms);
    if (ready < 0 && !net::Interrupted()) return Io::kError;
    if (ready <= 0) {
      *got = 0;
      return Io::kTimeout;
    }
    return RecvNow(h, data, size, got);  // bytes, an end or an error
  }
  const int timeout = (ms - kCoarseMarginMs) / 9 * 8;  // late by an eighth: still in time
#endif
  if (*timeout_set != timeout) {
    if (!net::SetReceiveTimeout(h, timeout)) return Io::kError;
    *timeout_set = timeout;
  }
  return net::Classify(net::RecvCall(h, data, size), got);
}

// Sends what the socket takes within `ms` (> 0); `*timeout_set` as above.
Io SendWithin(Handle h, const char* data, std::size_t size, int ms, int* timeout_set,
              std::size_t* sent) {
  if (*timeout_set != ms) {
    if (!net::SetSendTimeout(h, ms)) return Io::kError;
    *timeout_set = ms;
  }
  const long n = net::SendCall(h, data, size);
  if (n == 0) {  // nothing taken, not an end of stream
    *sent = 0;
    return Io::kTimeout;
  }
  return net::Classify(n, sent);
}

// kData when bytes wait to be read, kTimeout when the socket is idle, kClosed
// when the peer has closed and nothing is left, kError when it failed.
Io Peek(Handle h) {
  char byte;
  std::size_t got = 0;
  return RecvOrPeekNow(h, &byte, 1, true, &got);
}

// ---------------------------------------------------------------------------
// End of the socket calls.
// ---------------------------------------------------------------------------

// One TCP connection; see the lifetime note at the top of the file.
struct Connection {
  Connection(Handle h, unsigned long serial) : handle(h), id(serial) {}
  ~Connection() { CloseHandle(handle); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const Handle handle;
  const unsigned long id;
  // Set once the peer has closed or the socket has failed; read by the
  // status query from any thread.
  std::atomic<bool> ended{false};
  // Socket timeouts as last set; used only by reads and writes, which are
  // never concurrent with each other.
  int recv_timeout_ms = 0;
  int send_timeout_ms = Lynk::kWriteLimitMs;
};

}  // namespace

struct Lynk::Impl {
  std::mutex mutex;  // guards `current`
  std::shared_ptr<Connection> current;
  std::atomic<unsigned long> serial{0};

  // Receive state, used only by reads and clears (never concurrent with each
  // other): the bytes received and not yet read, and the connection they
  // came from.
  net::LineBuffer lines{kBufferSize};
  unsigned long owner = 0;

  std::shared_ptr<Connection> Acquire() {
    std::lock_guard<std::mutex> lock(mutex);
    return current;
  }

  void ResetBuffer(unsigned long id) {
    lines.Clear();
    owner = id;
  }
};

Lynk::Lynk() : impl_(new Impl) { title_[0] = '\0'; }

Lynk::~Lynk() {
  Lynk_Disconnect_Port();
  delete impl_;
}

void Lynk::Lynk_Set_Title(const char* title) {
  if (title == nullptr) title = "";
  std::size_t n = 0;
  while (n < sizeof title_ - 1 && title[n] != '\0') ++n;
  std::memcpy(title_, title, n);
  title_[n] = '\0';
}

bool Lynk::Lynk_Connect_Port(const char* address, int port, bool /*flag1*/, bool /*flag2*/) {
  Lynk_Disconnect_Port();
  if (address == nullptr || port <= 0 || port > 65535) return false;
  const Handle h = OpenConnected(address, port, kConnectLimitMs, kWriteLimitMs);
  if (h == kNoHandle) return false;
  auto fresh = std::make_shared<Connection>(h, impl_->serial.fetch_add(1) + 1);
  std::shared_ptr<Connection> old;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    old.swap(impl_->current);
    impl_->current = std::move(fresh);
  }
  if (old) ShutdownHandle(old->handle);  // another connect got in between
  return true;
}

bool Lynk::Lynk_Disconnect_Port() {
  std::shared_ptr<Connection> old;
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    old.swap(impl_->current);
  }
  if (!old) return false;
  ShutdownHandle(old->handle);
  return true;  // the descriptor closes with the last call still using it
}

bool Lynk::Lynk_Connect_Status() {
  const auto conn = impl_->Acquire();
  if (!conn || conn->ended.load()) return false;
  const Io io = Peek(conn->handle);
  if (io == Io::kData || io == Io::kTimeout) return true;
  conn->ended.store(true);
  return false;
}

void Lynk::Lynk_Clear_Buffer() {
  Impl& m = *impl_;
  const auto conn = m.Acquire();
  m.ResetBuffer(conn ? conn->id : 0);
  if (!conn || conn->ended.load()) return;
  // A peer that floods faster than this drains must not hold the caller here:
  // after 256 full buffers (16 MiB) whatever still comes is left to the reads.
  for (int rounds = 0; rounds < 256; ++rounds) {
    std::size_t got = 0;
    const Io io = RecvNow(conn->handle, m.lines.room(), m.lines.room_size(), &got);
    if (io == Io::kData && got == kBufferSize) continue;  // more may be waiting
    if (io == Io::kClosed || io == Io::kError) conn->ended.store(true);
    return;
  }
}

bool Lynk::Lynk_Write_String(const char* text, int length) {
  if (text == nullptr || length < 0) return false;
  const auto conn = impl_->Acquire();
  if (!conn || conn->ended.load()) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteLimitMs);
  std::size_t done = 0;
  const std::size_t total = static_cast<std::size_t>(length);
  while (done < total) {
    const int left = MsLeft(deadline);
    if (left <= 0) return false;
    std::size_t sent = 0;
    const Io io =
        SendWithin(conn->handle, text + done, total - done, left, &conn->send_timeout_ms, &sent);
    if (io == Io::kData) {
      done += sent;
    } else if (io != Io::kTimeout) {
      conn->ended.store(true);
      return false;
    }
  }
  return true;
}

bool Lynk::Lynk_Read_String(char* buffer, const char* terminator, int limit, int timeout_ms,
                            int* count) {
  if (count != nullptr) *count = 0;
  if (buffer != nullptr && limit > 0) buffer[0] = '\0';
  if (buffer == nullptr || terminator == nullptr || count == nullptr || limit < 2) return false;
  const std::size_t tl = std::strlen(terminator);
  if (tl == 0 || tl >= kBufferSize) return false;
  const auto conn = impl_->Acquire();
  if (!conn) return false;

  Impl& m = *impl_;
  if (m.owner != conn->id) m.ResetBuffer(conn->id);  // bytes of an earlier connection
  // A line is held in the link's buffer until complete, so a caller's limit
  // beyond it cuts lines at kBufferSize bytes.
  const std::size_t cap = std::min(static_cast<std::size_t>(limit) - 1, kBufferSize);
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeout_ms, 0));
  const std::string_view term(terminator, tl);
  bool tried = false;
  for (;;) {
    const net::LineBuffer::Piece line = m.lines.Take(term, cap);
    if (line.kind != net::LineBuffer::Kind::kNone) {
      // A head of an over-long line is cap bytes: the rest is dropped as it comes.
      std::memcpy(buffer, line.bytes.data(), line.bytes.size());
      buffer[line.bytes.size()] = '\0';
      *count = static_cast<int>(line.bytes.size());
      return true;
    }
    if (conn->ended.load()) return false;
    const int left = MsLeft(deadline);
    if (left <= 0 && tried) return false;
    std::size_t got = 0;
    char* const room = m.lines.room();
    const std::size_t size = m.lines.room_size();
    const Io io = left > 0
                      ? RecvWithin(conn->handle, room, size, left, &conn->recv_timeout_ms, &got)
                      : RecvNow(conn->handle, room, size, &got);
    tried = true;
    if (io == Io::kData) {
      m.lines.commit(got);
    } else if (io != Io::kTimeout) {
      conn->ended.store(true);
      return false;
    }
  }
}

}  // namespace Corvus
