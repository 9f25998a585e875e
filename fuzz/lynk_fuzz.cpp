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
#include <sys/socket.h>

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
#include "platform/socket.h"

namespace {

using Corvus::Lynk;

constexpr std::size_t kStreamBudget = 256 * 1024;  // bytes written per input at most
constexpr int kLineWaitMs = 2000;                  // a line that is due arrives well within this
constexpr int kLargestLimit = 70000;  // above the link's own buffer: no cut below 64 KiB
constexpr int kGuard = 64;            // canary bytes past the caller's limit
const char* const kTerminators[] = {"\r\n", "\n", ">\r\n"};

// The one read buffer (the caller's limit, then a guard), and as many canary
// bytes to compare it with.
char g_buffer[kLargestLimit + kGuard];
const std::string kCanaries(kLargestLimit + kGuard, '\x5a');

// The framing the link promises, fed with the bytes written to it.
struct LineModel {
  std::string term;
  std::size_t cap;
  std::string pending{};            // the current line so far
  bool head_given = false;          // its first cap bytes were handed over already
  std::deque<std::string> lines{};  // due, in order

  void Feed(const char* data, std::size_t size) {
    pending.append(data, size);
    for (std::size_t hit; (hit = pending.find(term)) != std::string::npos;) {
      const std::size_t length = hit + term.size();
      if (!head_given) lines.push_back(pending.substr(0, std::min(length, cap)));
      pending.erase(0, length);
      head_given = false;
    }
    if (!head_given && pending.size() >= cap) {
      lines.push_back(pending.substr(0, cap));
      head_given = true;
    }
  }
};

// A listening socket on 127.0.0.1, the link connected to it and the peer's
// end of that connection.
struct Loopback {
  int port = 0;
  kestrel::platform::Socket listener = kestrel::platform::Listen("127.0.0.1", 0, 4, &port);
  // The link's peer, accepted without Nagle delay: every chunk goes out as written.
  kestrel::platform::Socket peer = kestrel::platform::kNoSocket;
  Lynk link;
  unsigned long serial = 0;

  Loopback() { Reconnect(); }

  void Reconnect() {
    kestrel::platform::Close(peer);
    FUZZ_CHECK(link.Lynk_Connect_Port("127.0.0.1", port, true, false));
    peer = kestrel::platform::Accept(listener);
    FUZZ_CHECK(peer != kestrel::platform::kNoSocket);
  }

  // Writes all of `data`, handing every part the socket took to `sent`
  // before anything else happens; while the socket is full, lets `stalled`
  // read.
  template <typename Sent, typename Stalled>
  void Write(const std::string& data, Sent&& sent, Stalled&& stalled) {
    for (std::size_t done = 0, stalls = 0; done < data.size();) {
      const ssize_t n =
          ::send(peer, data.data() + done, data.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent(data.data() + done, static_cast<std::size_t>(n));
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
    const std::string line = "SYNC" + std::to_string(++serial) + "\r\n";
    if (kestrel::platform::SendAll(peer, line.data(), line.size())) {
      for (int tries = 0, count = 0; tries < 8; ++tries) {
        if (!link.Lynk_Read_String(g_buffer, "\r\n", kLargestLimit, kLineWaitMs, &count)) break;
        const std::size_t got = static_cast<std::size_t>(count);  // ends with the marker?
        if (got >= line.size() && line == g_buffer + got - line.size()) return;
      }
    }
    Reconnect();
  }
};

// One read, checked against the model.
void ReadOne(Lynk& link, const char* terminator, int limit, LineModel& model) {
  const bool due = !model.lines.empty();
  std::memset(g_buffer, kCanaries[0], static_cast<std::size_t>(limit + kGuard));
  int count = -1;
  const bool ok = link.Lynk_Read_String(g_buffer, terminator, limit, due ? kLineWaitMs : 0, &count);
  FUZZ_CHECK(count >= 0 && count < limit);
  FUZZ_CHECK(g_buffer[count] == '\0');
  // Nothing written past the NUL, inside the limit or beyond it.
  FUZZ_CHECK(std::memcmp(g_buffer + count + 1, kCanaries.data(),
                         static_cast<std::size_t>(limit + kGuard - count - 1)) == 0);
  FUZZ_CHECK(ok == due && (due || count == 0));
  if (!due) return;
  FUZZ_CHECK(model.lines.front() == std::string(g_buffer, static_cast<std::size_t>(count)));
  model.lines.pop_front();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Loopback* loop = new Loopback;
  if (size < 4) return 0;
  const char* terminator = kTerminators[data[0] % 3];
  // The client's reply buffer, the largest limit, or a small one.
  const int raw = data[1] | data[2] << 8;
  const int limit = raw % 8 == 0 ? 10240 : raw % 8 == 1 ? kLargestLimit : 2 + raw / 8 % 300;
  const bool close_after = (data[3] & 1) != 0;
  loop->Synchronise();
  LineModel model{terminator, std::min<std::size_t>(limit - 1, Lynk::kBufferSize)};
  auto read = [&] { ReadOne(loop->link, terminator, limit, model); };

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
    loop->Write(
        chunk, [&](const char* part, std::size_t n) { model.Feed(part, n); }, read);
    written += chunk.size();
    while (!model.lines.empty()) read();
    read();  // pulls what the socket holds
  }
  if (close_after) {
    kestrel::platform::ShutdownSend(loop->peer);
    while (!model.lines.empty()) read();
    // The peer has closed: nothing more is due, and a read fails at once.
    const auto start = std::chrono::steady_clock::now();
    int count = -1;
    FUZZ_CHECK(!loop->link.Lynk_Read_String(g_buffer, terminator, limit, 1000, &count));
    FUZZ_CHECK(count == 0 && g_buffer[0] == '\0');
    FUZZ_CHECK(std::chrono::steady_clock::now() - start < std::chrono::milliseconds(500));
    loop->Reconnect();
  }
  return 0;
}
