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

namespace kbench {

bool ReplyServer::hold_on_one_cpu = true;

namespace {

// A listening socket on 127.0.0.1 and a free port; -1 on failure.
int Listen(int backlog, int& port, std::string& why) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    why = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t length = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    why = std::string("listen on 127.0.0.1: ") + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  port = ntohs(addr.sin_port);
  return fd;
}

bool SendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// One connection of the reply server: lines in, table replies out.
void ServeConnection(int fd, const ReplyTable* replies) {
  std::vector<char> buffer(128 * 1024);
  std::size_t held = 0;
  std::string unknown;
  for (;;) {
    if (held == buffer.size()) held = 0;  // a line longer than the buffer: dropped
    const ssize_t n = ::recv(fd, buffer.data() + held, buffer.size() - held, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const std::size_t scanned = held;
    held += static_cast<std::size_t>(n);
    std::size_t start = 0;
    std::size_t from = scanned;
    for (;;) {
      const void* hit = std::memchr(buffer.data() + from, '\n', held - from);
      if (hit == nullptr) break;
      const std::size_t end = static_cast<std::size_t>(static_cast<const char*>(hit) -
                                                       buffer.data());
      // The command word lies between '<' and the first ',' (or '>').
      const char* line = buffer.data() + start;
      const std::size_t size = end - start;
      std::size_t w = (size > 0 && line[0] == '<') ? 1 : 0;
      const std::size_t word_begin = w;
      while (w < size && line[w] != ',' && line[w] != '>' && line[w] != '\r') ++w;
      const std::string_view word(line + word_begin, w - word_begin);
      const std::string* reply = nullptr;
      for (const auto& entry : *replies) {
        if (entry.first == word) {
          reply = &entry.second;
          break;
        }
      }
      if (reply == nullptr) {
        unknown = "<";
        unknown.append(word.data(), word.size());
        unknown += ",NG,unknown>\r\n";
        reply = &unknown;
      }
      if (!SendAll(fd, reply->data(), reply->size())) {
        ::close(fd);
        return;
      }
      start = from = end + 1;
    }
    if (start > 0) {
      std::memmove(buffer.data(), buffer.data() + start, held - start);
      held -= start;
    }
  }
  ::close(fd);
}

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

[[noreturn]] void AcceptForever(int listen_fd, const ReplyTable* replies) {
  if (ReplyServer::hold_on_one_cpu) HoldOnLastCpu();
  for (;;) {
    const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::_Exit(1);
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::thread(ServeConnection, fd, replies).detach();
  }
}

}  // namespace

bool ReplyServer::Start(const ReplyTable& replies, std::string& why) {
  const int fd = Listen(64, port_, why);
  if (fd < 0) return false;
  const pid_t parent = ::getpid();
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) {
    why = std::string("fork: ") + std::strerror(errno);
    ::close(fd);
    return false;
  }
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) std::_Exit(0);
    AcceptForever(fd, &replies);
  }
  ::close(fd);
  pid_ = pid;
  return true;
}

void ReplyServer::ServeHere(const ReplyTable& replies) {
  std::string why;
  int port = 0;
  const int fd = Listen(64, port, why);
  if (fd < 0) {
    std::fprintf(stderr, "reply server: %s\n", why.c_str());
    std::_Exit(1);
  }
  std::printf("reply server listening on 127.0.0.1:%d\n", port);
  std::fflush(stdout);
  AcceptForever(fd, &replies);
}

void ReplyServer::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

SilentServer::~SilentServer() {
  if (fd_ >= 0) ::close(fd_);
}

bool SilentServer::Start(std::string& why) {
  fd_ = Listen(16, port_, why);
  return fd_ >= 0;
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
  if (!SendAll(fd_, request.data(), request.size())) return false;
  std::size_t got = 0;
  while (got < reply_size) {
    const ssize_t n = ::recv(fd_, buffer_.data() + got, buffer_.size() - got, 0);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return got == reply_size && buffer_[got - 2] == '\r' && buffer_[got - 1] == '\n';
}

}  // namespace kbench
