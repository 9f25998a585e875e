#include "servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>

#include "wire/server.h"

namespace kbench {

bool ChildServer::hold_on_one_cpu = true;

namespace {

// The reply table as a responder of the tools' server: one pre-built reply
// per command word.
class TableResponder : public kestrel::wire::Responder {
 public:
  explicit TableResponder(const ReplyTable& replies) : replies_(replies) {}
  kestrel::wire::ReplyPlan Answer(kestrel::wire::Connection&, std::string_view line) override {
    // The command word lies between '<' and the first ',' (or '>').
    std::string_view word = line.substr(line.empty() || line[0] != '<' ? 0 : 1);
    word = word.substr(0, word.find_first_of(",>"));
    kestrel::wire::ReplyPlan plan;
    for (const auto& entry : replies_) {
      if (entry.first == word) {
        plan.pieces.push_back({0, entry.second});
        return plan;
      }
    }
    return kestrel::wire::ReplyPlan::Line("<" + std::string(word) + ",NG,unknown>");
  }

 private:
  const ReplyTable& replies_;
};

// Answers nothing, ever: connects succeed and no byte comes back.
class SilentResponder : public kestrel::wire::Responder {
 public:
  kestrel::wire::ReplyPlan Greet(kestrel::wire::Connection&) override {
    return kestrel::wire::ReplyPlan::Ended(kestrel::wire::ReplyPlan::Ending::kSilent);
  }
  kestrel::wire::ReplyPlan Answer(kestrel::wire::Connection&, std::string_view) override {
    return {};
  }
};

// Keeps the calling process (and the threads it makes later) on the last
// CPU. With a thread per connection left to the scheduler, the floor's
// connection and the library's can land on different CPUs for a whole
// repetition, one beside the client and one not, and the two then differ by
// the scheduler's choice rather than by what the client does (per-repetition
// ratios from 0.3 to 3 on an idle two-core machine, against 1.00 to 1.07
// with the server held on one CPU).
void HoldOnLastCpu() {
  const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
  if (cpus < 2) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(static_cast<int>(cpus - 1), &set);
  ::sched_setaffinity(0, sizeof set, &set);
}

// Serves `replies` on a free port of 127.0.0.1 until the process ends,
// writing the port to `port_fd` once it listens.
[[noreturn]] void ServeForever(const ReplyTable& replies, int port_fd) {
  if (ChildServer::hold_on_one_cpu) HoldOnLastCpu();
  TableResponder responder(replies);
  kestrel::wire::Server server(responder, {"127.0.0.1", 0, 64});
  try {
    server.Start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "reply server: %s\n", e.what());
    std::_Exit(1);
  }
  const int port = server.port();
  if (::write(port_fd, &port, sizeof port) != sizeof port) std::_Exit(1);
  for (;;) ::pause();
}

// Forks a child that ends with this process and runs `child` with the write
// end of a pipe, whose read end goes to `*from_child`. The child's pid, or
// -1 with the reason in `why`.
pid_t ForkChild(const std::function<void(int to_parent)>& child, int* from_child,
                std::string& why) {
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) {
    why = std::string("pipe: ") + std::strerror(errno);
    return -1;
  }
  const pid_t parent = ::getpid();
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    why = std::string("fork: ") + std::strerror(errno);
    ::close(pipe[0]);
    ::close(pipe[1]);
    return -1;
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(0);
    ::close(pipe[0]);
    child(pipe[1]);
    ::_exit(127);
  }
  ::close(pipe[1]);
  *from_child = pipe[0];
  return pid;
}

}  // namespace

bool ChildServer::StartReplies(const ReplyTable& replies, std::string& why) {
  int from_child = -1;
  pid_ = ForkChild([&](int to_parent) { ServeForever(replies, to_parent); }, &from_child, why);
  if (pid_ < 0) return false;
  const bool named = ::read(from_child, &port_, sizeof port_) == sizeof port_;
  ::close(from_child);
  if (!named) {
    why = "the reply server did not start";
    Stop();
  }
  return named;
}

void ChildServer::ServeHere(const ReplyTable& replies) {
  int ports[2];
  if (::pipe(ports) != 0) std::_Exit(1);
  if (::fork() == 0) ServeForever(replies, ports[1]);
  int port = 0;
  if (::read(ports[0], &port, sizeof port) != sizeof port) std::_Exit(1);
  std::printf("reply server listening on 127.0.0.1:%d\n", port);
  std::fflush(stdout);
  for (;;) ::pause();
}

std::unique_ptr<kestrel::wire::Server> StartSilentServer(std::string& why) {
  static SilentResponder silent;
  auto server = std::make_unique<kestrel::wire::Server>(
      silent, kestrel::wire::ServerOptions{"127.0.0.1", 0, 64});
  try {
    server->Start();
  } catch (const std::exception& e) {
    why = e.what();
    return nullptr;
  }
  return server;
}

bool ChildServer::StartSimulator(const std::string& path, const std::vector<std::string>& extra,
                                 std::string& why) {
  if (::access(path.c_str(), X_OK) != 0) {
    why = path + " is not an executable";
    return false;
  }
  std::vector<std::string> args{path, "--port", "0"};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out = -1;
  pid_ = ForkChild(
      [&](int to_parent) {
        ::dup2(to_parent, STDOUT_FILENO);
        ::execv(argv[0], argv.data());
      },
      &out, why);
  if (pid_ < 0) return false;
  // The first line names the port, and with --http the second the control
  // plane's; give the simulator ten seconds. The pipe stays open while it
  // runs, so that nothing it prints later can fail.
  bool http = false;
  for (const auto& a : extra) http = http || a == "--http";
  const std::size_t lines = http ? 2 : 1;
  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  auto count = [&output] { return static_cast<std::size_t>(std::count(output.begin(), output.end(), '\n')); };
  while (count() < lines) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now()).count();
    pollfd p{out, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char chunk[256];
    const ssize_t n = ::read(out, chunk, sizeof chunk);
    if (n <= 0) break;
    output.append(chunk, static_cast<std::size_t>(n));
  }
  out_ = out;
  auto after = [&output](const std::string& marker) {
    const std::size_t at = output.find(marker);
    return at == std::string::npos ? 0 : std::atoi(output.c_str() + at + marker.size());
  };
  port_ = after("listening on 127.0.0.1:");
  http_port_ = http ? after("console on http://127.0.0.1:") : 0;
  if (count() < lines || port_ <= 0 || (http && http_port_ <= 0)) {
    why = "the simulator did not name its port" + std::string(http ? "s" : "") +
          " (first output: '" + output + "')";
    Stop();
    return false;
  }
  return true;
}

void ChildServer::Stop() {
  if (out_ >= 0) ::close(out_);
  out_ = -1;
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  // An orderly stop is quick; after two seconds it is killed.
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

struct StreamReader::State {
  std::atomic<bool> stop{false};
  std::atomic<long long> bytes{0};
  std::thread thread;
};

StreamReader::StreamReader(int http_port) : state_(std::make_unique<State>()) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(http_port));
  const char request[] = "GET /api/journal/stream HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::send(fd_, request, sizeof request - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request - 1)) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return;
  }
  state_->thread = std::thread([fd = fd_, &state = *state_] {
    char chunk[16384];
    while (!state.stop.load()) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      state.bytes.fetch_add(n);
    }
  });
}

StreamReader::~StreamReader() {
  state_->stop = true;
  if (state_->thread.joinable()) state_->thread.join();
  if (fd_ >= 0) ::close(fd_);
}

long long StreamReader::bytes() const { return state_->bytes.load(); }

BareClient::~BareClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool BareClient::Connect(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  const int one = 1;
  return ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

bool BareClient::RoundTrip(const std::string& request, std::size_t reply_size) {
  if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size()))
    return false;
  std::size_t got = 0;
  while (got < reply_size) {
    const ssize_t n = ::recv(fd_, buffer_.data() + got, buffer_.size() - got, 0);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return got == reply_size && buffer_[got - 2] == '\r' && buffer_[got - 1] == '\n';
}

}  // namespace kbench
