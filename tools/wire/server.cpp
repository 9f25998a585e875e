#include "wire/server.h"

#include <chrono>
#include <stdexcept>
#include <system_error>

#include "host/line_buffer.h"
#include "host/socket_api.h"  // SO_LINGER

namespace kestrel::wire {

namespace {

constexpr std::string_view kUnknownHead = "Unknown";

// The next close of `s` sends a reset instead of an orderly end.
void ResetOnClose(platform::Socket s) {
  linger abort{};
  abort.l_onoff = 1;
  ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
}

// A line as the log shows it: without its line end.
std::string_view Shown(std::string_view bytes) {
  while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes.remove_suffix(1);
  return bytes;
}

}  // namespace

ReplyPlan ReplyPlan::Line(std::string_view line, int wait_ms) {
  ReplyPlan plan;
  plan.pieces.push_back({wait_ms, std::string(line) + "\r\n"});
  return plan;
}

ReplyPlan ReplyPlan::Ended(Ending ending, int wait_ms) {
  ReplyPlan plan;
  plan.ending = ending;
  plan.ending_wait_ms = wait_ms;
  return plan;
}

ReplyPlan Responder::Refuse(Connection&, std::string_view head) {
  // Name the command word in the reply when the line's head shows one.
  std::string_view word = kUnknownHead;
  if (!head.empty() && head.front() == '<') {
    const std::size_t comma = head.find(',');
    if (comma != std::string_view::npos && comma > 1 && comma <= 64) word = head.substr(1, comma - 1);
  }
  return ReplyPlan::Line("<" + std::string(word) + ",NG,request line longer than " +
                         std::to_string(head.size()) + " bytes refused>");
}

// A connection being served: what the responder sees, and its socket and
// thread. The socket is closed when the last user lets go of it.
struct Server::Live {
  Connection conn;
  platform::Socket fd = platform::kNoSocket;
  std::atomic<platform::Socket> upstream{platform::kNoSocket};  // a relay's second socket
  std::thread thread;
  std::atomic<bool> done{false};
  std::atomic<bool> dropped{false};
  ~Live() {
    platform::Close(fd);
    platform::Socket second = upstream.load();
    platform::Close(second);
  }
};

Server::Server(Responder& responder, ServerOptions options, Log log)
    : responder_(&responder), options_(std::move(options)), log_(std::move(log)) {}

Server::Server(Relay relay, ServerOptions options, Log log)
    : relay_(std::move(relay)), options_(std::move(options)), log_(std::move(log)) {}

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
    const bool running = !stopping_ && accept_thread_.joinable();
    stopping_ = true;
    if (!running) return;
  }
  stop_flag_.store(true);
  stop_cv_.notify_all();
  waker_->Wake();
  accept_thread_.join();
  {
    // Unblock every connection in recv or send; each then ends by itself.
    std::lock_guard<std::mutex> lock(conns_mu_);
    for (auto& c : conns_) {
      platform::Shutdown(c->fd);
      const platform::Socket upstream = c->upstream.load();
      if (upstream != platform::kNoSocket) platform::Shutdown(upstream);
    }
  }
  Reap(true);
  platform::Close(listen_fd_);
}

void Server::Reap(bool all) {
  std::list<std::shared_ptr<Live>> finished;
  {
    std::lock_guard<std::mutex> lock(conns_mu_);
    for (auto it = conns_.begin(); it != conns_.end();) {
      auto next = std::next(it);
      if (all || (*it)->done.load()) finished.splice(finished.end(), conns_, it);
      it = next;
    }
  }
  for (auto& c : finished)
    if (c->thread.joinable()) c->thread.join();
}

std::shared_ptr<Server::Live> Server::Latest() {
  std::lock_guard<std::mutex> lock(conns_mu_);
  for (auto it = conns_.rbegin(); it != conns_.rend(); ++it)
    if (!(*it)->done.load() && !(*it)->dropped.load()) return *it;
  return nullptr;
}

bool Server::SendToLatest(std::string_view bytes) {
  const std::shared_ptr<Live> c = Latest();
  return c && platform::SendAll(c->fd, bytes.data(), bytes.size());
}

bool Server::DropLatest() { return Drop(Latest()); }

std::vector<Connection> Server::Connections() {
  std::vector<Connection> open;
  std::lock_guard<std::mutex> lock(conns_mu_);
  for (const auto& c : conns_)
    if (!c->done.load() && !c->dropped.load()) open.push_back({c->conn.id, c->conn.peer, {}});
  return open;
}

bool Server::Drop(long id) {
  std::shared_ptr<Live> found;
  {
    std::lock_guard<std::mutex> lock(conns_mu_);
    for (const auto& c : conns_)
      if (c->conn.id == id && !c->done.load() && !c->dropped.load()) found = c;
  }
  return Drop(found);
}

bool Server::Drop(const std::shared_ptr<Live>& c) {
  if (!c) return false;
  c->dropped.store(true);
  platform::Shutdown(c->fd);
  stop_cv_.notify_all();
  return true;
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
    const long id = accepted_.fetch_add(1) + 1;
    if (active_.load() >= options_.max_connections) {
      static constexpr char kBusy[] = "<Unknown,NG,too many connections>\r\n";
      platform::SendAll(fd, kBusy, sizeof kBusy - 1);
      Note(id, "--", "refused " + platform::PeerName(fd) + ": too many connections");
      platform::Close(fd);
      continue;
    }
    auto live = std::make_shared<Live>();
    live->fd = fd;
    live->conn.id = id;
    live->conn.peer = platform::PeerName(fd);
    Note(id, "--", "connected " + live->conn.peer);
    std::lock_guard<std::mutex> lock(conns_mu_);
    conns_.push_back(live);
    active_.fetch_add(1);
    try {
      live->thread = std::thread([this, c = live.get()] { Serve(*c); });
    } catch (const std::system_error&) {
      active_.fetch_sub(1);
      live->done.store(true);
      Note(id, "--", "refused: no thread for the connection");
    }
  }
}

void Server::Serve(Live& c) {
  const char* why = relay_ ? relay_(c.conn, c.fd, c.upstream, stop_flag_,
                                    [this, &c](const ReplyPlan& plan) { return Play(c, plan); })
                           : ServeLines(c);
  if (stop_flag_.load() && relay_ == nullptr) why = "closed: server stopping";
  if (responder_ != nullptr) responder_->Ended(c.conn);
  platform::Shutdown(c.fd);
  Note(c.conn.id, "--", why);
  active_.fetch_sub(1);
  c.done.store(true);
  waker_->Wake();
}

const char* Server::ServeLines(Live& c) {
  // Room for one whole line of the longest accepted size and as much again.
  Corvus::net::LineBuffer lines(2 * options_.max_line);
  if (!Play(c, responder_->Greet(c.conn))) return "closed by the simulator";
  for (;;) {
    if (!responder_->Reading(c.conn)) {
      Pause(c, -1);
      return "closed: no longer read";
    }
    const long n = platform::Receive(c.fd, lines.room(), lines.room_size());
    if (n <= 0) return c.dropped.load() ? "dropped" : "closed by peer";
    lines.commit(static_cast<std::size_t>(n));
    for (;;) {
      const auto line = lines.Take("\n", options_.max_line);
      if (line.kind == Corvus::net::LineBuffer::Kind::kNone) break;
      // A whole line is answered without its line end; the head of one too
      // long is refused.
      const bool whole = line.kind != Corvus::net::LineBuffer::Kind::kHead;
      const std::string_view text = whole ? Shown(line.bytes) : line.bytes;
      Note(c.conn.id, "<-", text);
      if (!Play(c, whole ? responder_->Answer(c.conn, text) : responder_->Refuse(c.conn, text)))
        return "closed by the simulator";
    }
  }
}

bool Server::Play(Live& c, const ReplyPlan& plan) {
  if (!plan.note.empty()) Note(c.conn.id, "--", plan.note);
  for (const ReplyPlan::Piece& piece : plan.pieces) {
    if (piece.wait_ms > 0 && !Pause(c, piece.wait_ms)) return false;
    Note(c.conn.id, "->", Shown(piece.bytes));
    if (!platform::SendAll(c.fd, piece.bytes.data(), piece.bytes.size())) return false;
  }
  // The ending: a close waits first (a stop meanwhile ends the plan unplayed),
  // a reset is armed for the close that follows, a silent connection stays
  // open unread until the end.
  using Ending = ReplyPlan::Ending;
  if (plan.ending == Ending::kClose && plan.ending_wait_ms > 0 && !Pause(c, plan.ending_wait_ms))
    return false;
  if (plan.ending == Ending::kReset) ResetOnClose(c.fd);
  if (responder_ != nullptr) responder_->Played(c.conn);
  if (plan.ending == Ending::kSilent) Pause(c, -1);
  return plan.ending == Ending::kStay;
}

bool Server::Pause(const Live& c, int ms) {
  std::unique_lock<std::mutex> lock(stop_mu_);
  const auto ended = [&] { return stopping_ || c.dropped.load(); };
  if (ms < 0) {
    stop_cv_.wait(lock, ended);
    return false;
  }
  return !stop_cv_.wait_for(lock, std::chrono::milliseconds(ms), ended);
}

}  // namespace kestrel::wire
