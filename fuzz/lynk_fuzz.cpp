// Line reading of the network link on arbitrary byte streams in arbitrary
// chunks, against a peer on loopback that the target itself writes.
//
// Input: byte 0 picks the terminator, bytes 1-2 the caller's limit, byte 3
// flags (bit 0: the peer closes after the stream); then records, each one
// chunk written in one send: a length byte L then L bytes, or L = 0 followed
// by a count byte and a value byte for a run of that byte (so that lines
// longer than the limit are cheap to express). After every chunk the target
// reads every line the bytes written so far make.
//
// Checked against a model of the link's framing: each line ends at the first
// terminator; a line of more than limit - 1 bytes yields its first limit - 1
// bytes, and the rest of it up to its terminator is dropped. Every read must
// give exactly the model's next line, with count < limit, the buffer
// NUL-terminated at count and not a byte written past it; a read with no
// line due must fail at once with count 0 and an empty buffer.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>

#include "fuzz_check.h"
#include "host/lynk.h"

namespace {

using Corvus::Lynk;

constexpr std::size_t kStreamBudget = 256 * 1024;  // bytes written per input at most
constexpr int kLineWaitMs = 2000;                  // a line that is due arrives well within this
constexpr char kCanary = '\x5a';
constexpr int kLargestLimit = 70000;  // above the link's own buffer: no cut below 64 KiB
constexpr int kGuard = 64;            // canary bytes past the caller's limit

// The one read buffer: the caller's limit, then a guard.
char* ReadBuffer() {
  static char* buffer = new char[kLargestLimit + kGuard];
  return buffer;
}

// As many canary bytes as the read buffer holds, to compare it with at once.
const char* Canaries() {
  static char* block = [] {
    char* b = new char[kLargestLimit + kGuard];
    std::memset(b, kCanary, kLargestLimit + kGuard);
    return b;
  }();
  return block;
}

const char* const kTerminators[] = {"\r\n", "\n", ">\r\n"};

// The framing the link promises, fed with the bytes written to it.
class LineModel {
 public:
  LineModel(std::string terminator, std::size_t cap) : term_(std::move(terminator)), cap_(cap) {}

  void Feed(const char* data, std::size_t size) {
    pending_.append(data, size);
    for (;;) {
      const std::size_t hit = pending_.find(term_);
      if (hit != std::string::npos) {
        const std::size_t length = hit + term_.size();
        if (!head_given_) lines_.push_back(pending_.substr(0, std::min(length, cap_)));
        pending_.erase(0, length);
        head_given_ = false;
        continue;
      }
      if (!head_given_ && pending_.size() >= cap_) {
        lines_.push_back(pending_.substr(0, cap_));
        head_given_ = true;
      }
      return;
    }
  }

  bool Due() const { return !lines_.empty(); }
  std::string Next() {
    std::string line = std::move(lines_.front());
    lines_.pop_front();
    return line;
  }

 private:
  std::string term_;
  std::size_t cap_;
  std::string pending_;      // the current line so far
  bool head_given_ = false;  // its first cap bytes were handed over already
  std::deque<std::string> lines_;
};

// A listening socket on 127.0.0.1, the link connected to it and the peer's
// end of that connection.
struct Loopback {
  int listener = -1;
  int port = 0;
  int peer = -1;
  Lynk link;
  unsigned long serial = 0;

  Loopback() {
    listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(listener >= 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    FUZZ_CHECK(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
    FUZZ_CHECK(::listen(listener, 4) == 0);
    FUZZ_CHECK(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &size) == 0);
    port = ntohs(addr.sin_port);
    Reconnect();
  }

  void Reconnect() {
    if (peer >= 0) ::close(peer);
    FUZZ_CHECK(link.Lynk_Connect_Port("127.0.0.1", port, true, false));
    peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    FUZZ_CHECK(peer >= 0);
    const int one = 1;  // every chunk goes out as written, without waiting for an ACK
    FUZZ_CHECK(::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0);
  }

  // Writes all of `data`, handing every part the socket took to `sent`
  // before anything else happens; while the socket is full, lets `stalled`
  // read.
  template <typename Sent, typename Stalled>
  void Write(const char* data, std::size_t size, Sent&& sent, Stalled&& stalled) {
    std::size_t done = 0;
    for (int stalls = 0; done < size;) {
      const ssize_t n = ::send(peer, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent(data + done, static_cast<std::size_t>(n));
        done += static_cast<std::size_t>(n);
        continue;
      }
      FUZZ_CHECK(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR));
      FUZZ_CHECK(++stalls < 100000);
      stalled();
    }
  }

  // Starts an input on a clean link: drops what is left of the last one and
  // waits for a fresh marker line, so that no late byte of the last input
  // can reach this one. Falls back to a new connection.
  void Synchronise() {
    link.Lynk_Clear_Buffer();
    const std::string token = "SYNC" + std::to_string(++serial);
    const std::string line = token + "\r\n";
    if (::send(peer, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
      char* buffer = ReadBuffer();
      for (int tries = 0; tries < 8; ++tries) {
        int count = 0;
        if (!link.Lynk_Read_String(buffer, "\r\n", kLargestLimit, kLineWaitMs, &count)) break;
        const std::string got(buffer, static_cast<std::size_t>(count));
        if (got.size() >= line.size() &&
            got.compare(got.size() - line.size(), line.size(), line) == 0) {
          return;
        }
      }
    }
    Reconnect();
  }
};

// One read, checked against the model.
void ReadOne(Lynk& link, const char* terminator, int limit, LineModel& model) {
  const bool due = model.Due();
  char* const buffer = ReadBuffer();
  std::memset(buffer, kCanary, static_cast<std::size_t>(limit + kGuard));
  int count = -1;
  const bool ok = link.Lynk_Read_String(buffer, terminator, limit, due ? kLineWaitMs : 0, &count);
  FUZZ_CHECK(count >= 0 && count < limit);
  FUZZ_CHECK(buffer[count] == '\0');
  // Nothing written past the NUL, inside the limit or beyond it.
  FUZZ_CHECK(std::memcmp(buffer + count + 1, Canaries(),
                         static_cast<std::size_t>(limit + kGuard - count - 1)) == 0);
  if (!due) {
    FUZZ_CHECK(!ok);
    FUZZ_CHECK(count == 0);
    return;
  }
  FUZZ_CHECK(ok);
  const std::string expected = model.Next();
  FUZZ_CHECK(static_cast<std::size_t>(count) == expected.size());
  FUZZ_CHECK(std::memcmp(buffer, expected.data(), expected.size()) == 0);
}

int PickLimit(std::uint16_t raw) {
  switch (raw % 8) {
    case 0:
      return 10240;  // the client's reply buffer
    case 1:
      return kLargestLimit;
    default:
      return 2 + raw / 8 % 300;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Loopback* loop = new Loopback;
  if (size < 4) return 0;
  const char* terminator = kTerminators[data[0] % 3];
  const int limit = PickLimit(static_cast<std::uint16_t>(data[1] | data[2] << 8));
  const bool close_after = (data[3] & 1) != 0;
  const std::size_t cap =
      std::min<std::size_t>(static_cast<std::size_t>(limit) - 1, Lynk::kBufferSize);
  loop->Synchronise();
  LineModel model(terminator, cap);
  auto drain = [&] {
    while (model.Due()) ReadOne(loop->link, terminator, limit, model);
    ReadOne(loop->link, terminator, limit, model);  // pulls what the socket holds
  };

  std::size_t written = 0;
  std::string chunk;
  for (std::size_t i = 4; i < size && written < kStreamBudget;) {
    const std::size_t length = data[i++];
    chunk.clear();
    if (length == 0) {
      if (i + 2 > size) break;
      chunk.assign(static_cast<std::size_t>(data[i]) * 64 + 1, static_cast<char>(data[i + 1]));
      i += 2;
    } else {
      const std::size_t n = std::min(length, size - i);
      chunk.assign(reinterpret_cast<const char*>(data + i), n);
      i += n;
    }
    loop->Write(
        chunk.data(), chunk.size(), [&](const char* part, std::size_t n) { model.Feed(part, n); },
        [&] { ReadOne(loop->link, terminator, limit, model); });
    written += chunk.size();
    drain();
  }
  if (close_after) {
    ::shutdown(loop->peer, SHUT_WR);
    while (model.Due()) ReadOne(loop->link, terminator, limit, model);
    // The peer has closed: nothing more is due, and a read fails at once.
    const auto start = std::chrono::steady_clock::now();
    char* const buffer = ReadBuffer();
    int count = -1;
    FUZZ_CHECK(!loop->link.Lynk_Read_String(buffer, terminator, limit, 1000, &count));
    FUZZ_CHECK(count == 0 && buffer[0] == '\0');
    FUZZ_CHECK(std::chrono::steady_clock::now() - start < std::chrono::milliseconds(500));
    loop->Reconnect();
  }
  return 0;
}
