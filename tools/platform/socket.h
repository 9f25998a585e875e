// The tools' sockets: what the simulator's server (and the tests that talk
// to it byte for byte) need of TCP, over POSIX sockets or Winsock. The handle
// calls are the network link's own (host/sockets.h): a closed connection
// wakes a blocked call the same way in the library and in the tools.
#ifndef KESTREL_PLATFORM_SOCKET_H
#define KESTREL_PLATFORM_SOCKET_H

#include <cstddef>
#include <string>

#include "host/sockets.h"

namespace kestrel::platform {

using Socket = Corvus::net::Handle;
constexpr Socket kNoSocket = Corvus::net::kNoHandle;

// Listens on the IPv4 `address` and `port` (0: any free port); `*bound` is
// the port bound. Throws std::runtime_error naming the address and the
// reason when it cannot.
Socket Listen(const std::string& address, int port, int backlog, int* bound);
// Takes one waiting connection, blocking and without Nagle delay; kNoSocket
// when none waits or it failed.
Socket Accept(Socket listener);
// A blocking connection to 127.0.0.1:`port`; kNoSocket when refused.
Socket ConnectLoopback(int port);
// A blocking connection without Nagle delay to `host` (a name, an IPv4 or an
// IPv6 address) on `port`, to the first of its addresses that answers. The
// attempt is given up when `watch` ends first (its peer closed it, or it was
// shut down). kNoSocket on failure, with the reason in `*error`.
Socket Connect(const std::string& host, int port, Socket watch, std::string* error);

// Bytes received (> 0), 0 when the peer has closed, < 0 on failure (also
// when the socket was shut down meanwhile).
long Receive(Socket s, char* data, std::size_t size);
// Sends every byte; false when the connection failed. Never raises SIGPIPE.
bool SendAll(Socket s, const char* data, std::size_t size);
// Waits at most `timeout_ms` (< 0: without limit) until one of the `count`
// sockets has bytes, an end or a connection to take; `ready[i]` tells which.
// The number ready, 0 on timeout, -1 on failure.
int WaitReadable(const Socket* sockets, bool* ready, int count, int timeout_ms);

// Wakes every call blocked on `s`; the socket stays valid until closed.
inline void Shutdown(Socket s) { Corvus::net::ShutdownHandle(s); }
// Ends the sending direction only: the peer reads an end after the bytes
// sent, and what it still sends can be received.
void ShutdownSend(Socket s);
// Closes `s` (if open) and forgets it.
inline void Close(Socket& s) {
  if (s != kNoSocket) Corvus::net::CloseHandle(s);
  s = kNoSocket;
}

// "address:port" of the peer, or "?".
std::string PeerName(Socket s);
// The text of the last failed socket call of this thread.
std::string LastError();

// A wake-up that WaitReadable sees: Wake makes socket() readable until
// Drain. Wake may be called from any thread.
class Waker {
 public:
  Waker();  // throws std::runtime_error when it cannot be made
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;

  void Wake();
  void Drain();
  Socket socket() const { return read_; }

 private:
  Socket read_ = kNoSocket;
  Socket write_ = kNoSocket;
};

}  // namespace kestrel::platform

#endif  // KESTREL_PLATFORM_SOCKET_H
