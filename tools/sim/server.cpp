#include "sim/server.h"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "sim/recorder.h"
#include "sim/replay.h"

namespace kestrel::sim {

namespace {

// Receive buffer of a connection: room for one whole line of the longest
// accepted size plus as much again for the next read.
constexpr std::size_t kBufferBytes = 2 * kMaxLineBytes;

}  // namespace

Server::Server(Simulator& sim, FaultPlan& faults, RequestLog* log, ServerOptions options)
    : sim_(sim), faults_(faults), log_(log), options_(std::move(options)) {}

Server::~Server() { Stop(); }

void Server::Start() {
  if (options_.port < 0 || options_.port > 65535)
    throw std::runtime_error("port " + std::to_string(options_.port) + " is out of range");
  waker_ = std::make_unique<platform::Waker>();
  listen_fd_ = platform::Listen(options_.address, options_.port, 128, &port_);
  accept_thread_ = std::thread([this] { AcceptLoop(); });
}

void Server::Stop() {
  {
    std::lock_guard<std::mutex> lock(stop_mu_);
    if (stopping_ || !accept_thread_.joinable()) {
      stopping_ = true;
      return;
    }
    stopping_ = true;
  }
  stop_flag_.store(true);
  stop_cv_.notify_all();
  Wake();
  accept_thread_.join();
  {
    // Unblock every connection in recv or send; each then ends by itself.
    std::lock_guard<std::mutex> lock(conns_mu_);
    for (auto& c : conns_) {
      platform::Shutdown(c.fd);
      const platform::Socket upstream = c.upstream.load();
      if (upstream != platform::kNoSocket) platform::Shutdown(upstream);
    }
  }
  Reap(true);
  platform::Close(listen_fd_);
}

void Server::Wake() { waker_->Wake(); }

void Server::Reap(bool all) {
  std::list<Connection> finished;
  {
    std::lock_guard<std::mutex> lock(conns_mu_);
    for (auto it = conns_.begin(); it != conns_.end();) {
      auto next = std::next(it);
      if (all || it->done.load()) finished.splice(finished.end(), conns_, it);
      it = next;
    }
  }
  for (auto& c : finished) {
    if (c.thread.joinable()) c.thread.join();
    platform::Close(c.fd);
    platform::Socket upstream = c.upstream.load();
    platform::Close(upstream);
  }
}

void Server::AcceptLoop() {
  const platform::Socket waited[2] = {listen_fd_, waker_->socket()};
  bool ready[2] = {false, false};
  while (!stop_flag_.load()) {
    if (platform::WaitReadable(waited, ready, 2, -1) < 0) break;
    if (ready[1]) {
      waker_->Drain();
      Reap(false);
    }
    if (stop_flag_.load()) break;
    if (!ready[0]) continue;
    platform::Socket fd = platform::Accept(listen_fd_);
    if (fd == platform::kNoSocket) continue;  // the peer gave up already, or out of sockets
    const long id = next_id_++;
    if (active_.load() >= options_.max_connections) {
      static constexpr char kBusy[] = "<Unknown,NG,too many connections>\r\n";
      platform::SendAll(fd, kBusy, sizeof kBusy - 1);
      if (log_ != nullptr)
        Log(id, RequestLog::kEvent, "refused " + platform::PeerName(fd) + ": too many connections");
      platform::Close(fd);
      continue;
    }
    if (log_ != nullptr) Log(id, RequestLog::kEvent, "connected " + platform::PeerName(fd));
    std::lock_guard<std::mutex> lock(conns_mu_);
    Connection& c = conns_.emplace_back();
    c.fd = fd;
    c.id = id;
    active_.fetch_add(1);
    try {
      c.thread = std::thread([this, &c] { Serve(c); });
    } catch (const std::system_error&) {
      active_.fetch_sub(1);
      c.done.store(true);
      Log(id, RequestLog::kEvent, "refused: no thread for the connection");
    }
  }
}

void Server::Serve(Connection& conn) {
  const char* why = recorder_ != nullptr
                        ? recorder_->Relay(conn.fd, conn.upstream, conn.id, stop_flag_)
                        : ServeLines(conn);
  platform::Shutdown(conn.fd);
  Log(conn.id, RequestLog::kEvent, why);
  active_.fetch_sub(1);
  conn.done.store(true);
  Wake();
}

const char* Server::ServeLines(Connection& conn) {
  std::vector<char> buf(kBufferBytes);
  Request req;
  std::string reply;
  reply.reserve(kMaxLineBytes);
  std::vector<int> close_counts(faults_.close_rules().size(), 0);
  std::size_t end = 0;      // bytes held in buf
  bool discarding = false;  // inside an over-long line, dropping its rest
  const trace::Exchange* greeting = replay_ != nullptr ? replay_->Greet() : nullptr;
  bool open = greeting == nullptr || Play(conn, *greeting);
  const char* why = open ? "closed by peer" : "closed by the simulator";

  while (open) {
    const long n = platform::Receive(conn.fd, buf.data() + end, buf.size() - end);
    if (n <= 0) {
      if (stop_flag_.load()) why = "closed: server stopping";
      break;
    }
    const std::size_t scan_from = end;
    end += static_cast<std::size_t>(n);
    std::size_t start = 0;  // first byte of the current line
    std::size_t pos = scan_from;
    while (open) {
      const void* hit = std::memchr(buf.data() + pos, '\n', end - pos);
      if (hit == nullptr) break;
      const std::size_t nl = static_cast<std::size_t>(static_cast<const char*>(hit) - buf.data());
      std::string_view line(buf.data() + start, nl - start);
      pos = nl + 1;
      if (discarding) {
        discarding = false;
      } else if (line.size() + 1 > kMaxLineBytes) {
        open = RefuseLong(conn, line);
      } else {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        open = Respond(conn, line, req, reply, close_counts);
        if (!open) why = stop_flag_.load() ? "closed: server stopping" : "closed by the simulator";
      }
      start = pos;
    }
    if (!open) break;
    std::size_t rest = end - start;
    if (!discarding && rest >= kMaxLineBytes) {
      // No line end within the limit: the line is refused now and the rest
      // of it dropped as it comes.
      open = RefuseLong(conn, std::string_view(buf.data() + start, rest));
      discarding = true;
    }
    if (discarding) rest = 0;
    if (rest > 0 && start > 0) std::memmove(buf.data(), buf.data() + start, rest);
    end = rest;
  }
  return why;
}

bool Server::RefuseLong(Connection& conn, std::string_view start) {
  // Name the command word in the reply when the line's head shows one.
  std::string_view head = kUnknownHead;
  if (!start.empty() && start.front() == '<') {
    std::size_t comma = start.find(',');
    if (comma != std::string_view::npos && comma > 1 && comma <= 64)
      head = start.substr(1, comma - 1);
  }
  std::string reply = "<";
  reply += head;
  reply += ",NG,request line longer than ";
  reply += std::to_string(kMaxLineBytes);
  reply += " bytes refused>";
  Log(conn.id, RequestLog::kIn, start);
  Log(conn.id, RequestLog::kOut, reply);
  reply += "\r\n";
  return platform::SendAll(conn.fd, reply.data(), reply.size());
}

bool Server::Respond(Connection& conn, std::string_view line, Request& req, std::string& reply,
                     std::vector<int>& close_counts) {
  Log(conn.id, RequestLog::kIn, line);
  if (replay_ != nullptr) {
    if (const trace::Exchange* recorded = replay_->Take(line)) {
      const bool open = Play(conn, *recorded);
      replay_->Served();
      return open;
    }
    reply = "<";
    reply += ParseRequest(line, req) ? req.word : kUnknownHead;
    reply += ",NG,no recorded reply>";
    Log(conn.id, RequestLog::kOut, reply);
    reply += "\r\n";
    return platform::SendAll(conn.fd, reply.data(), reply.size());
  }
  const Outcome outcome = sim_.Handle(line, req, reply);
  const Fault* fault = faults_.empty() ? nullptr : faults_.Take(outcome.head);

  if (fault != nullptr && fault->kind == FaultKind::kSilent) {
    if (log_ != nullptr)
      Log(conn.id, RequestLog::kEvent, "no reply (fault " + fault->written + ")");
  } else {
    int delay = outcome.delay_ms;
    if (fault != nullptr) {
      if (fault->kind == FaultKind::kDelay) delay += fault->ms;
      RewriteReply(*fault, outcome.head, reply);
      if (log_ != nullptr) Log(conn.id, RequestLog::kEvent, "fault " + fault->written);
    }
    if (delay > 0 && !Pause(delay)) return false;
    Log(conn.id, RequestLog::kOut, reply);
    reply += "\r\n";
    if (fault != nullptr && fault->kind == FaultKind::kChunks) {
      const std::size_t pieces = static_cast<std::size_t>(fault->count);
      const std::size_t size = (reply.size() + pieces - 1) / pieces;
      for (std::size_t at = 0; at < reply.size(); at += size) {
        if (at > 0 && !Pause(fault->ms)) return false;
        if (!platform::SendAll(conn.fd, reply.data() + at, std::min(size, reply.size() - at)))
          return false;
      }
    } else if (!platform::SendAll(conn.fd, reply.data(), reply.size())) {
      return false;
    }
  }

  const auto& rules = faults_.close_rules();
  for (std::size_t k = 0; k < rules.size(); ++k) {
    const Fault& rule = faults_.faults()[rules[k]];
    if (rule.Matches(outcome.head) && ++close_counts[k] == rule.count &&
        faults_.TakeClose(rules[k])) {
      if (log_ != nullptr) Log(conn.id, RequestLog::kEvent, "closing (fault " + rule.written + ")");
      return false;
    }
  }
  return true;
}

bool Server::Play(Connection& conn, const trace::Exchange& recorded) {
  std::string bytes;
  for (const trace::Piece& piece : recorded.replies) {
    if (!Pause(replay_->WaitMs(piece.wait_us))) return false;
    Log(conn.id, RequestLog::kOut, piece.bytes);
    bytes.assign(piece.bytes).append(trace::Terminator(piece.end));
    if (!platform::SendAll(conn.fd, bytes.data(), bytes.size())) return false;
  }
  if (!recorded.closed) return true;
  if (Pause(replay_->WaitMs(recorded.close_wait_us)))
    Log(conn.id, RequestLog::kEvent, "closing (as recorded)");
  return false;
}

bool Server::Pause(int ms) {
  std::unique_lock<std::mutex> lock(stop_mu_);
  return !stop_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

}  // namespace kestrel::sim
