// kestrel-soak: many commands through one client against one server that is
// restarted every so often, watching that nothing fails but what the
// restarts cause, and that descriptors and resident memory stay level.
//
//   kestrel-soak [--count N] [--restart-every K] [--sim PATH] [--rss-margin-kb M]
//
// N GetReal commands (default 1000000) go through one client. Every K
// commands (default 50000) the server is stopped, one command is sent while
// it is away (the induced failure), the server is started again on the same
// port and the client reconnects. The server is the simulator when --sim
// names its program (each restart a new process), else a server inside this
// process. Every reply is checked against the point it answers.
//
// Exit code 0 when no command failed but the induced ones, no reply was
// wrong, the descriptor count came back to where it was and resident memory
// grew by no more than M KiB (default 2048) after the first restart cycle.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "kestrel/host.h"
#include "kestrel/kestrel.h"
#include "loopback_server.h"

namespace {

using Clock = std::chrono::steady_clock;

// Under a sanitizer the allocator keeps freed memory back for a while, so
// resident memory says nothing about leaks there (LeakSanitizer does).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kRssMeaningful = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kRssMeaningful = false;
#else
constexpr bool kRssMeaningful = true;
#endif
#else
constexpr bool kRssMeaningful = true;
#endif

// ---- Process figures ------------------------------------------------------

int OpenDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int n = 0;
  while (const dirent* entry = ::readdir(dir)) n += entry->d_name[0] != '.';
  ::closedir(dir);
  return n - 1;  // the directory's own descriptor
}

long ResidentKb() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  long size = 0, resident = 0;
  const int got = std::fscanf(f, "%ld %ld", &size, &resident);
  std::fclose(f);
  return got == 2 ? resident * (::sysconf(_SC_PAGESIZE) / 1024) : -1;
}

// ---- Servers --------------------------------------------------------------

// A server that can be stopped and started again on the same port.
class Server {
 public:
  virtual ~Server() = default;
  virtual int port() const = 0;
  virtual void Stop() = 0;
  virtual void Start() = 0;
  // The real point the server gives for pixel (x, y).
  virtual Point Expected(Point pixel) const = 0;
  // Largest difference from Expected that the reply's text form explains.
  virtual double Tolerance() const = 0;
  virtual const char* name() const = 0;
};

class InProcessServer : public Server {
 public:
  int port() const override { return server_.port(); }
  void Stop() override { server_.Stop(); }
  void Start() override { server_.Start(); }
  Point Expected(Point p) const override {
    return {kestrel_reliability::EchoX(p.X), kestrel_reliability::EchoY(p.Y)};
  }
  double Tolerance() const override { return 0.0; }  // quarter pixels: exact in "%f"
  const char* name() const override { return "in-process"; }

 private:
  kestrel_reliability::LoopbackServer server_;
};

// kestrel-sim as a child process; its default calibration maps a pixel to
// (0.0025 x, 0.0025 y), written with six decimals.
class SimulatorServer : public Server {
 public:
  explicit SimulatorServer(std::string program) : program_(std::move(program)) { Start(); }
  ~SimulatorServer() override { Stop(); }
  int port() const override { return port_; }
  void Stop() override {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    if (out_ >= 0) ::close(out_);
    out_ = -1;
  }
  void Start() override {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const std::string port = std::to_string(port_);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
      ::dup2(pipe_fds[1], STDOUT_FILENO);
      ::execl(program_.c_str(), program_.c_str(), "--port", port.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(pipe_fds[1]);
    pid_ = pid;
    out_ = pipe_fds[0];
    // First line: "kestrel-sim listening on 127.0.0.1:PORT", within seconds.
    std::string line;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos && Clock::now() < deadline) {
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 200) <= 0) continue;
      char chunk[256];
      const ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) break;
      line.append(chunk, static_cast<std::size_t>(n));
    }
    const std::size_t colon = line.rfind(':');
    if (line.rfind("kestrel-sim listening on ", 0) != 0 || colon == std::string::npos) {
      Stop();
      throw std::runtime_error("simulator did not start: " + line);
    }
    port_ = std::atoi(line.c_str() + colon + 1);
  }
  Point Expected(Point p) const override { return {0.0025 * p.X, 0.0025 * p.Y}; }
  double Tolerance() const override { return 0.5e-6 + 1e-9; }
  const char* name() const override { return "kestrel-sim"; }

 private:
  std::string program_;
  pid_t pid_ = -1;
  int out_ = -1;
  int port_ = 0;
};

// ---- Console ----------------------------------------------------------------

struct Lines {
  std::atomic<long> plain{0}, red{0}, other{0};
  static void Receive(Corvus::HeraldColor color, const char*, const char*, void* self) {
    auto* l = static_cast<Lines*>(self);
    (color == Corvus::HeraldColor::Plain ? l->plain
     : color == Corvus::HeraldColor::Red ? l->red
                                         : l->other)++;
  }
};

struct Options {
  long count = 1000000;
  long restart_every = 50000;
  long rss_margin_kb = 2048;
  std::string sim;
};

bool ParseLong(const char* text, long& out) {
  char* end = nullptr;
  out = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && out > 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: kestrel-soak [--count N] [--restart-every K] [--sim PATH] "
               "[--rss-margin-kb M]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) return Usage();
    const char* value = argv[++i];
    if (arg == "--count" && ParseLong(value, o.count)) continue;
    if (arg == "--restart-every" && ParseLong(value, o.restart_every)) continue;
    if (arg == "--rss-margin-kb" && ParseLong(value, o.rss_margin_kb)) continue;
    if (arg == "--sim") {
      o.sim = value;
      continue;
    }
    return Usage();
  }
  ::signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<Server> server;
  if (!o.sim.empty()) {
    server = std::make_unique<SimulatorServer>(o.sim);
  } else {
    server = std::make_unique<InProcessServer>();
  }
  Lines lines;
  Corvus::Herald_Set_Sink(&Lines::Receive, &lines);

  Kestrel client;
  if (!client.Kestrel_Connect_Port("127.0.0.1", server->port())) {
    std::fprintf(stderr, "soak: cannot connect to %s on %d\n", server->name(), server->port());
    return 1;
  }

  long ok = 0, unexpected = 0, wrong = 0, induced = 0, induced_passed = 0, restarts = 0;
  long reconnect_failures = 0;
  int fds_base = -1, fds_max = 0;
  long rss_base = -1, rss_max = 0;
  const long first_restart = std::min(o.restart_every, o.count);
  const auto start = Clock::now();
  for (long i = 0; i < o.count; ++i) {
    if (i > 0 && i % o.restart_every == 0) {
      server->Stop();
      Point ignored;
      if (client.Kestrel_GetReal("Cam1", Point{1, 1}, ignored)) {
        ++induced_passed;  // a command that went through a stopped server
      } else {
        ++induced;
      }
      server->Start();
      if (!client.Kestrel_Reconnect_Port()) ++reconnect_failures;
      ++restarts;
    }
    // Figures are taken from the end of the first restart cycle on, when
    // every buffer the run needs has been made once.
    if (i == first_restart || (i > first_restart && i % (o.restart_every / 4 + 1) == 0)) {
      const int fds = OpenDescriptors();
      const long rss = ResidentKb();
      if (fds_base < 0) fds_base = fds;
      if (rss_base < 0) rss_base = rss;
      fds_max = std::max(fds_max, fds);
      rss_max = std::max(rss_max, rss);
    }
    const Point pixel{static_cast<double>(i % 4000) + 0.25, static_cast<double>(i / 4000) - 0.5};
    Point real{-1, -1};
    if (!client.Kestrel_GetReal("Cam1", pixel, real)) {
      ++unexpected;
      continue;
    }
    const Point expected = server->Expected(pixel);
    if (std::fabs(real.X - expected.X) > server->Tolerance() ||
        std::fabs(real.Y - expected.Y) > server->Tolerance()) {
      ++wrong;
    } else {
      ++ok;
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  client.Kestrel_Disconnect_Port();
  const int fds_end = OpenDescriptors();
  const long rss_end = ResidentKb();
  Corvus::Herald_Set_Sink(nullptr, nullptr);

  const bool fds_level = fds_base < 0 || (fds_end <= fds_base && fds_max <= fds_base + 1);
  const bool rss_level =
      !kRssMeaningful || rss_base < 0 || std::max(rss_end, rss_max) - rss_base <= o.rss_margin_kb;
  const bool passed = unexpected == 0 && wrong == 0 && induced_passed == 0 &&
                      reconnect_failures == 0 && fds_level && rss_level;
  std::printf(
      "kestrel-soak: %s server=%s commands=%ld ok=%ld unexpected_failures=%ld wrong_replies=%ld "
      "restarts=%ld induced_failures=%ld reconnect_failures=%ld fds base=%d max=%d end=%d "
      "rss_kb base=%ld max=%ld end=%ld%s red_lines=%ld seconds=%.1f commands_per_s=%.0f\n",
      passed ? "PASS" : "FAIL", server->name(), o.count, ok, unexpected, wrong, restarts, induced,
      reconnect_failures, fds_base, fds_max, fds_end, rss_base, rss_max, rss_end,
      kRssMeaningful ? "" : " (not judged under a sanitizer)", lines.red.load(), seconds,
      seconds > 0 ? o.count / seconds : 0.0);
  return passed ? 0 : 1;
}
