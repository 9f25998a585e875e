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

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "wire/server.h"

namespace kbench {

bool ReplyServer::hold_on_one_cpu = true;

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
  if (ReplyServer::hold_on_one_cpu) HoldOnLastCpu();
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

}  // namespace

bool ReplyServer::Start(const ReplyTable& replies, std::string& why) {
  int ports[2];
  if (::pipe2(ports, O_CLOEXEC) != 0) {
    why = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  const pid_t parent = ::getpid();
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    why = std::string("fork: ") + std::strerror(errno);
    ::close(ports[0]);
    ::close(ports[1]);
    return false;
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) std::_Exit(0);
    ::close(ports[0]);
    ServeForever(replies, ports[1]);
  }
  ::close(ports[1]);
  pid_ = pid;
  const bool named = ::read(ports[0], &port_, sizeof port_) == sizeof port_;
  ::close(ports[0]);
  if (!named) {
    why = "the reply server did not start";
    Stop();
  }
  return named;
}

void ReplyServer::ServeHere(const ReplyTable& replies) {
  int ports[2];
  if (::pipe(ports) != 0) std::_Exit(1);
  if (::fork() == 0) ServeForever(replies, ports[1]);
  int port = 0;
  if (::read(ports[0], &port, sizeof port) != sizeof port) std::_Exit(1);
  std::printf("reply server listening on 127.0.0.1:%d\n", port);
  std::fflush(stdout);
  for (;;) ::pause();
}

void ReplyServer::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

SilentServer::SilentServer() = default;
SilentServer::~SilentServer() = default;

bool SilentServer::Start(std::string& why) {
  static SilentResponder silent;
  server_ = std::make_unique<kestrel::wire::Server>(silent, kestrel::wire::ServerOptions{"127.0.0.1", 0, 64});
  try {
    server_->Start();
  } catch (const std::exception& e) {
    why = e.what();
    return false;
  }
  port_ = server_->port();
  return true;
}

bool SimulatorProcess::Start(const std::string& path, const std::vector<std::string>& extra,
                             std::string& why) {
  if (::access(path.c_str(), X_OK) != 0) {
    why = path + " is not an executable";
    return false;
  }
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    why = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  std::vector<std::string> args{path, "--port", "0"};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t parent = ::getpid();
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    why = std::string("fork: ") + std::strerror(errno);
    ::close(out[0]);
    ::close(out[1]);
    return false;
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(0);
    ::dup2(out[1], STDOUT_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  pid_ = pid;
  // The first line names the port; give the simulator ten seconds.
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (line.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now()).count();
    pollfd p{out[0], POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char chunk[256];
    const ssize_t n = ::read(out[0], chunk, sizeof chunk);
    if (n <= 0) break;
    line.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  const std::string marker = "listening on 127.0.0.1:";
  const std::size_t at = line.find(marker);
  if (at == std::string::npos || line.find('\n') == std::string::npos) {
    why = "the simulator did not name its port (first output: '" + line + "')";
    Stop();
    return false;
  }
  port_ = std::atoi(line.c_str() + at + marker.size());
  return port_ > 0;
}

void SimulatorProcess::Stop() {
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
