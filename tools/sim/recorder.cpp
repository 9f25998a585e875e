#include "sim/recorder.h"

#include <cstring>
#include <vector>

#include "platform/socket.h"
#include "trace/lines.h"

namespace kestrel::sim {

namespace {

using trace::Dir;
using trace::End;

constexpr std::size_t kChunk = 64 * 1024;

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

const char* Recorder::Relay(wire::Connection& conn, platform::Socket client,
                            std::atomic<platform::Socket>& upstream,
                            const std::atomic<bool>& stopping) {
  const long id = conn.id;
  std::string error;
  const platform::Socket server = platform::Connect(host_, port_, client, &error);
  if (server == platform::kNoSocket) {
    writer_.Event(id, "refused", {}, error);
    return "closed: the server refused the connection";
  }
  // From here on a stop shuts the server's socket down too; the caller closes it.
  upstream.store(server);
  writer_.Event(id, "open");
  // Each direction's lines are recorded as they complete.
  const auto cutter = [this, id](Dir dir) {
    return trace::LineCutter(
        [this, id, dir](std::string_view line, End end) { writer_.Line(id, dir, line, end); });
  };
  trace::LineCutter requests = cutter(Dir::kRequest), replies = cutter(Dir::kReply);
  std::vector<char> buf(kChunk);
  // The server first; the client too until it has closed.
  const platform::Socket waited[2] = {server, client};
  bool ready[2] = {false, false};
  const char* by = stopping.load() ? "recorder" : nullptr;  // who ended the relay
  bool client_closed = false;
  while (by == nullptr) {
    if (platform::WaitReadable(waited, ready, client_closed ? 1 : 2, -1) < 0) {
      by = "recorder";
      break;
    }
    // Forward first, record after: the file never holds up the bytes.
    if (ready[0]) {
      const long n = platform::Receive(server, buf.data(), buf.size());
      if (n <= 0) {
        by = stopping.load() ? "recorder" : "server";
        if (n < 0) error = platform::LastError();
      } else if (!platform::SendAll(client, buf.data(), static_cast<std::size_t>(n))) {
        by = stopping.load() ? "recorder" : "client";
        error = client_closed ? "" : platform::LastError();
      } else {
        replies.Feed(std::string_view(buf.data(), static_cast<std::size_t>(n)));
      }
    }
    if (by != nullptr || client_closed || !ready[1]) continue;
    const long n = platform::Receive(client, buf.data(), buf.size());
    if (n > 0) {
      if (!platform::SendAll(server, buf.data(), static_cast<std::size_t>(n))) {
        by = "server";
        error = platform::LastError();
      } else {
        requests.Feed(std::string_view(buf.data(), static_cast<std::size_t>(n)));
      }
    } else if (n == 0 && !stopping.load()) {
      // The client has said all it will: the server is told so, and its
      // answers still pass until it closes.
      requests.Finish();
      writer_.Event(id, "close", "client");
      platform::ShutdownSend(server);
      client_closed = true;
    } else {
      by = stopping.load() ? "recorder" : "client";
      if (n < 0) error = platform::LastError();
    }
  }
  requests.Finish();
  replies.Finish();
  if (!(client_closed && std::strcmp(by, "client") == 0)) writer_.Event(id, "close", by, error);
  if (std::strcmp(by, "server") == 0) return "closed by the server";
  return std::strcmp(by, "recorder") == 0 ? "closed: server stopping" : "closed by peer";
}

}  // namespace kestrel::sim
