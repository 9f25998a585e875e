// kestrel-soak: many commands through one client against the simulator,
// which is restarted every so often, watching that nothing fails but what
// the restarts cause, and that descriptors and resident memory stay level.
//
//   kestrel-soak --sim PATH [--count N] [--restart-every K] [--rss-margin-kb M]
//
// N GetReal commands (default 1000000) go through one client. Every K
// commands (default 50000) the simulator (PATH, each restart a new process)
// is stopped, one command is sent while it is away (the induced failure), it
// is started again on the same port and the client reconnects. Every reply
// is checked against the point it answers.
//
// Exit code 0 when no command failed but the induced ones, no reply was
// wrong, the descriptor count came back to where it was and resident memory
// grew by no more than M KiB (default 2048) after the first restart cycle.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "kestrel/host.h"
#include "kestrel/kestrel.h"

namespace {

using Clock = std::chrono::steady_clock;

// Under a sanitizer the allocator keeps freed memory back for a while, so
// resident memory says nothing about leaks there (LeakSanitizer does).
#ifndef __has_feature
#define __has_feature(x) 0  // GCC before 14: __SANITIZE_*__ instead
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || \
    __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kRssMeaningful = false;
#else
constexpr bool kRssMeaningful = true;
#endif

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

// The simulator's default calibration: a pixel maps to (0.0025 x, 0.0025 y),
// written with six decimals.
Point Expected(Point pixel) { return {0.0025 * pixel.X, 0.0025 * pixel.Y}; }
constexpr double kTolerance = 0.5e-6 + 1e-9;

// kestrel-sim as a child process, stopped and started again on the same port.
class Simulator {
 public:
  explicit Simulator(std::string program) : program_(std::move(program)) { Start(); }
  ~Simulator() { Stop(); }
  int port() const { return port_; }

  // kestrel-sim --port PORT, whose first line is "kestrel-sim listening on 127.0.0.1:PORT".
  void Start() {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    const std::string port = std::to_string(port_);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(pipe_fds[1], STDOUT_FILENO);
      ::execl(program_.c_str(), program_.c_str(), "--port", port.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(pipe_fds[1]);
    out_ = ::fdopen(pipe_fds[0], "r");  // kept open: the simulator writes to it
    char line[256] = "";
    const char* colon = std::fgets(line, sizeof line, out_) ? std::strrchr(line, ':') : nullptr;
    if (pid_ < 0 || std::strncmp(line, "kestrel-sim listening on ", 25) != 0 || !colon) {
      Stop();
      throw std::runtime_error(std::string("simulator did not start: ") + line);
    }
    port_ = std::atoi(colon + 1);
  }

  void Stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ != nullptr) std::fclose(out_);
    pid_ = -1;
    out_ = nullptr;
  }

 private:
  std::string program_;
  int port_ = 0;
  pid_t pid_ = -1;
  std::FILE* out_ = nullptr;
};

void CountRed(Corvus::HeraldColor color, const char*, const char*, void* red) {
  *static_cast<long*>(red) += color == Corvus::HeraldColor::Red;  // one client thread
}

}  // namespace

int main(int argc, char** argv) {
  long count = 1000000, restart_every = 50000, rss_margin_kb = 2048;
  std::string sim;
  CLI::App app("Many commands through one client against a restarted simulator", "kestrel-soak");
  app.add_option("--sim", sim, "kestrel-sim to run")->required();
  app.add_option("--count", count, "commands")->check(CLI::PositiveNumber);
  app.add_option("--restart-every", restart_every, "commands between restarts")
      ->check(CLI::PositiveNumber);
  app.add_option("--rss-margin-kb", rss_margin_kb, "growth allowed")->check(CLI::PositiveNumber);
  CLI11_PARSE(app, argc, argv);
  ::signal(SIGPIPE, SIG_IGN);
  Simulator server(sim);
  long red = 0;
  Corvus::Herald_Set_Sink(&CountRed, &red);

  Kestrel client;
  if (!client.Kestrel_Connect_Port("127.0.0.1", server.port())) {
    std::fprintf(stderr, "soak: cannot connect to the simulator on %d\n", server.port());
    return 1;
  }
  long ok = 0, unexpected = 0, wrong = 0, induced = 0, induced_passed = 0, restarts = 0;
  long reconnect_failures = 0, rss_base = -1, rss_max = 0;
  int fds_base = -1, fds_max = 0;
  const long first_restart = std::min(restart_every, count);
  const auto start = Clock::now();
  for (long i = 0; i < count; ++i) {
    if (i > 0 && i % restart_every == 0) {
      server.Stop();
      Point ignored;
      // A command that went through a stopped server would be a fault too.
      (client.Kestrel_GetReal("Cam1", Point{1, 1}, ignored) ? induced_passed : induced)++;
      server.Start();
      reconnect_failures += !client.Kestrel_Reconnect_Port();
      ++restarts;
    }
    // Figures are taken from the end of the first restart cycle on, when
    // every buffer the run needs has been made once.
    if (i == first_restart || (i > first_restart && i % (restart_every / 4 + 1) == 0)) {
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
    } else {
      const Point expected = Expected(pixel);
      const bool right = std::fabs(real.X - expected.X) <= kTolerance &&
                         std::fabs(real.Y - expected.Y) <= kTolerance;
      ++(right ? ok : wrong);
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  client.Kestrel_Disconnect_Port();
  const int fds_end = OpenDescriptors();
  const long rss_end = ResidentKb();
  Corvus::Herald_Set_Sink(nullptr, nullptr);

  const bool fds_level = fds_base < 0 || (fds_end <= fds_base && fds_max <= fds_base + 1);
  const bool rss_level =
      !kRssMeaningful || rss_base < 0 || std::max(rss_end, rss_max) - rss_base <= rss_margin_kb;
  const bool passed = unexpected == 0 && wrong == 0 && induced_passed == 0 &&
                      reconnect_failures == 0 && fds_level && rss_level;
  std::printf(
      "kestrel-soak: %s commands=%ld ok=%ld unexpected_failures=%ld wrong_replies=%ld "
      "restarts=%ld induced_failures=%ld reconnect_failures=%ld fds base=%d max=%d end=%d "
      "rss_kb base=%ld max=%ld end=%ld%s red_lines=%ld seconds=%.1f commands_per_s=%.0f\n",
      passed ? "PASS" : "FAIL", count, ok, unexpected, wrong, restarts, induced, reconnect_failures,
      fds_base, fds_max, fds_end, rss_base, rss_max, rss_end,
      kRssMeaningful ? "" : " (not judged under a sanitizer)", red, seconds,
      seconds > 0 ? count / seconds : 0.0);
  return passed ? 0 : 1;
}
