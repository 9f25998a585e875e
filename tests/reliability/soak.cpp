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
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "kestrel/host.h"
#include "kestrel/kestrel.h"

namespace {

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

long OpenDescriptors() {  // less the iterator's own
  return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}) - 1;
}

long ResidentKb() {
  long size = 0, resident = -1;
  std::ifstream("/proc/self/statm") >> size >> resident;
  return resident < 0 ? -1 : resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

// A figure's first value and its largest.
struct Level {
  long base = -1, max = 0;
  void Take(long value) {
    base = base < 0 ? value : base;
    max = std::max(max, value);
  }
};

// kestrel-sim as a child process, stopped and started again on the same port.
class Simulator {
 public:
  explicit Simulator(std::string program) : program_(std::move(program)) { Start(); }
  ~Simulator() { Stop(); }
  int port() const { return port_; }

  // kestrel-sim --port PORT (0 at first), under a shell that prints its pid
  // and becomes the simulator, whose first line is "kestrel-sim listening on
  // 127.0.0.1:PORT". Its output stays open: the simulator writes to it.
  void Start() {
    const std::string command = "echo $$; exec '" + program_ + "' --port " + std::to_string(port_);
    out_ = ::popen(command.c_str(), "re");
    if (out_ == nullptr ||
        std::fscanf(out_, "%d kestrel-sim listening on %*[^:]:%d", &pid_, &port_) != 2) {
      Stop();
      throw std::runtime_error("simulator did not start: " + command);
    }
  }

  void Stop() {
    if (pid_ > 0) ::kill(pid_, SIGTERM);
    if (out_ != nullptr) ::pclose(out_);  // waits for it
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
  client.Kestrel_Connect_Port("127.0.0.1", server.port());  // else every command fails
  long ok = 0, unexpected = 0, wrong = 0, induced = 0, reconnect_failures = 0;
  Level fds, rss;
  const long first_restart = std::min(restart_every, count);
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < count; ++i) {
    Point real{-1, -1};
    if (i > 0 && i % restart_every == 0) {
      server.Stop();
      // A reply from the stopped server would be a wrong one.
      ++(client.Kestrel_GetReal("Cam1", Point{1, 1}, real) ? wrong : induced);
      server.Start();
      reconnect_failures += !client.Kestrel_Reconnect_Port();
    }
    // Figures are taken from the end of the first restart cycle on, when
    // every buffer the run needs has been made once.
    if (i == first_restart || (i > first_restart && i % (restart_every / 4 + 1) == 0)) {
      fds.Take(OpenDescriptors());
      rss.Take(ResidentKb());
    }
    // The simulator's default calibration: a pixel maps to (0.0025 x, 0.0025 y),
    // written with six decimals.
    const Point pixel{static_cast<double>(i % 4000) + 0.25, static_cast<double>(i / 4000) - 0.5};
    if (!client.Kestrel_GetReal("Cam1", pixel, real)) {
      ++unexpected;
    } else {
      const double tolerance = 0.5e-6 + 1e-9;
      ++(std::fabs(real.X - 0.0025 * pixel.X) <= tolerance &&
                 std::fabs(real.Y - 0.0025 * pixel.Y) <= tolerance
             ? ok
             : wrong);
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  client.Kestrel_Disconnect_Port();
  const long fds_end = OpenDescriptors(), rss_end = ResidentKb();
  Corvus::Herald_Set_Sink(nullptr, nullptr);
  const bool passed =
      unexpected == 0 && wrong == 0 && reconnect_failures == 0 &&
      (fds.base < 0 || (fds_end <= fds.base && fds.max <= fds.base + 1)) &&
      (!kRssMeaningful || rss.base < 0 || std::max(rss_end, rss.max) - rss.base <= rss_margin_kb);
  std::printf(
      "kestrel-soak: %s commands=%ld ok=%ld unexpected_failures=%ld wrong_replies=%ld "
      "restarts=%ld induced_failures=%ld reconnect_failures=%ld fds base=%ld max=%ld end=%ld "
      "rss_kb base=%ld max=%ld end=%ld%s red_lines=%ld seconds=%.1f commands_per_s=%.0f\n",
      passed ? "PASS" : "FAIL", count, ok, unexpected, wrong, (count - 1) / restart_every, induced,
      reconnect_failures, fds.base, fds.max, fds_end, rss.base, rss.max, rss_end,
      kRssMeaningful ? "" : " (not judged under a sanitizer)", red, seconds,
      seconds > 0 ? count / seconds : 0.0);
  return passed ? 0 : 1;
}
