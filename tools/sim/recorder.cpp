#include "sim/recorder.h"

#include "sim/server.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace kestrel::sim {

namespace {

using trace::Dir;
using trace::End;

// ---- The sockets: every socket call of the recorder ------------------------------

#ifdef POLLRDHUP
constexpr short kPeerClosed = POLLRDHUP;
#else
constexpr short kPeerClosed = 0;
#endif

// Connects to host:port without blocking the relay for good: the attempt is
// given up when the client goes away first (its socket reports a close).
// Returns the connected socket, or -1 with the reason in `error`.
int Connect(const std::string& host, int port, int client, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    error = std::string("cannot resolve ") + host + ": " + ::gai_strerror(rc);
    return -1;
  }
  int fd = -1;
  error = "no address";
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int err = ::connect(fd, a->ai_addr, a->ai_addrlen) == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
      pollfd p[2] = {{fd, POLLOUT, 0}, {client, kPeerClosed, 0}};
      while (::poll(p, 2, -1) < 0 && errno == EINTR) {
      }
      socklen_t len = sizeof err;
      if (p[0].revents != 0) {
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
      } else {
        err = ECONNABORTED;  // the client left (or the recorder stops)
      }
    }
    if (err == 0) {
      ::fcntl(fd, F_SETFL, flags);
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    } else {
      error = std::strerror(err);
      ::close(fd);
      fd = -1;
    }
  }
  ::freeaddrinfo(found);
  return fd;
}

long Receive(int fd, char* buf, std::size_t size) {
  ssize_t n;
  while ((n = ::recv(fd, buf, size, 0)) < 0 && errno == EINTR) {
  }
  return static_cast<long>(n);
}

int Poll(pollfd* fds, int count) {
  int n;
  while ((n = ::poll(fds, static_cast<nfds_t>(count), -1)) < 0 && errno == EINTR) {
  }
  return n;
}

void ShutdownWrite(int fd) { ::shutdown(fd, SHUT_WR); }
void Close(int fd) { ::close(fd); }

// ---- Lines ----------------------------------------------------------------------

// A line longer than this is written in pieces (end "more"), so that the
// recorder's memory stays bounded whatever a peer sends.
constexpr std::size_t kMaxPending = 1 << 20;
constexpr std::size_t kChunk = 64 * 1024;

// Cuts one direction's bytes into lines and records each as it completes.
class Splitter {
 public:
  Splitter(trace::Writer& writer, long id, Dir dir) : writer_(writer), id_(id), dir_(dir) {}

  void Feed(std::string_view in) {
    for (std::size_t nl; (nl = in.find('\n')) != std::string_view::npos;) {
      std::string_view line = in.substr(0, nl);
      in.remove_prefix(nl + 1);
      if (!pending_.empty()) {
        pending_.append(line);
        line = pending_;
      }
      const bool cr = !line.empty() && line.back() == '\r';
      if (cr) line.remove_suffix(1);
      writer_.Line(id_, dir_, line, cr ? End::kCrLf : End::kLf);
      pending_.clear();
    }
    pending_.append(in);
    if (pending_.size() >= kMaxPending) Flush(End::kMore);
  }
  // The connection ended: an unfinished line is recorded as it is.
  void Finish() { Flush(End::kNone); }

 private:
  void Flush(End end) {
    if (!pending_.empty()) writer_.Line(id_, dir_, pending_, end);
    pending_.clear();
  }
  trace::Writer& writer_;
  const long id_;
  const Dir dir_;
  std::string pending_;
};

}  // namespace

std::pair<std::string, int> SplitHostPort(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  std::string host = text.substr(0, colon == std::string::npos ? 0 : colon);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']')
    host = host.substr(1, host.size() - 2);
  int port = 0;
  const std::string digits = colon == std::string::npos ? "" : text.substr(colon + 1);
  const bool numeric = !digits.empty() && digits.size() <= 5 &&
                       digits.find_first_not_of("0123456789") == std::string::npos;
  if (numeric) port = std::stoi(digits);
  if (host.empty() || port < 1 || port > 65535)
    throw std::invalid_argument("'" + text + "' is not of the form HOST:PORT");
  return {host, port};
}

const char* Recorder::Relay(int client, long id, const std::atomic<bool>& stopping) {
  std::string error;
  const int server = Connect(host_, port_, client, error);
  if (server < 0) {
    writer_.Event(id, "refused", {}, error);
    return "closed: the server refused the connection";
  }
  writer_.Event(id, "open");
  Splitter requests(writer_, id, Dir::kRequest), replies(writer_, id, Dir::kReply);
  std::vector<char> buf(kChunk);
  pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
  const char* by = nullptr;  // who ended the relay
  bool client_closed = false;
  error.clear();
  while (by == nullptr) {
    if (Poll(fds, 2) < 0) {
      by = "recorder";
      break;
    }
    // Forward first, record after: the file never holds up the bytes.
    if (fds[1].revents != 0) {
      const long n = Receive(server, buf.data(), buf.size());
      if (n <= 0) {
        by = "server";
        if (n < 0) error = std::strerror(errno);
      } else if (!platform::SendAll(client, buf.data(), static_cast<std::size_t>(n))) {
        by = stopping.load() ? "recorder" : "client";
        error = client_closed ? "" : std::strerror(errno);
      } else {
        replies.Feed(std::string_view(buf.data(), static_cast<std::size_t>(n)));
      }
    }
    if (by != nullptr || fds[0].revents == 0) continue;
    if (client_closed) {  // only a hang-up is watched for now
      by = stopping.load() ? "recorder" : "client";
      continue;
    }
    const long n = Receive(client, buf.data(), buf.size());
    if (n > 0) {
      if (!platform::SendAll(server, buf.data(), static_cast<std::size_t>(n))) {
        by = "server";
        error = std::strerror(errno);
      } else {
        requests.Feed(std::string_view(buf.data(), static_cast<std::size_t>(n)));
      }
    } else if (n == 0 && !stopping.load()) {
      // The client has said all it will: the server is told so, and its
      // answers still pass until it closes.
      requests.Finish();
      writer_.Event(id, "close", "client");
      ShutdownWrite(server);
      client_closed = true;
      fds[0].events = 0;  // POLLHUP still comes when the socket is shut down
    } else {
      by = stopping.load() ? "recorder" : "client";
      if (n < 0) error = std::strerror(errno);
    }
  }
  requests.Finish();
  replies.Finish();
  if (!(client_closed && std::strcmp(by, "client") == 0)) writer_.Event(id, "close", by, error);
  Close(server);
  if (std::strcmp(by, "server") == 0) return "closed by the server";
  return std::strcmp(by, "recorder") == 0 ? "closed: server stopping" : "closed by peer";
}

}  // namespace kestrel::sim
