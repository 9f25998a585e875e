// The simulator over real loopback sockets: what only a socket shows (line
// framing, concurrent clients, faults on the wire, closing) with the server
// started in-process, and the built kestrel-sim program's life cycle.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "sim/server.h"

namespace kestrel::sim {
namespace {

using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// A bare client socket, to see exactly the bytes the simulator writes.
class RawClient {
 public:
  explicit RawClient(int port) : fd_(platform::ConnectLoopback(port)) {
    if (fd_ == platform::kNoSocket) throw std::runtime_error("cannot connect to the simulator");
  }
  ~RawClient() { platform::Close(fd_); }
  void Send(const std::string& bytes) {
    if (!platform::SendAll(fd_, bytes.data(), bytes.size())) throw std::runtime_error("send failed");
  }
  // Adds what one read brings within the time to the pending bytes; false on
  // timeout or end.
  bool Receive(long timeout_ms) {
    bool ready = false;
    if (closed_ ||
        platform::WaitReadable(&fd_, &ready, 1, static_cast<int>(std::max(0L, timeout_ms))) <= 0)
      return false;
    char buf[65536];
    const long n = platform::Receive(fd_, buf, sizeof buf);
    if (n > 0) pending_.append(buf, static_cast<std::size_t>(n));
    closed_ = n <= 0;
    return !closed_;
  }
  // Everything up to and including the next '\n'; nullopt when it does not come in time.
  std::optional<std::string> ReadLine(int timeout_ms = 3000) {
    const auto start = Clock::now();
    std::size_t nl;
    while ((nl = pending_.find('\n')) == std::string::npos)
      if (!Receive(timeout_ms - MsSince(start))) return std::nullopt;
    std::string line = pending_.substr(0, nl + 1);
    pending_.erase(0, nl + 1);
    return line;
  }
  // The reply line to one request without its (assumed) CR LF; "" when none came.
  std::string Ask(const std::string& request) {
    Send(request + "\r\n");
    const std::string line = ReadLine().value_or("\r\n");
    return line.substr(0, line.size() - 2);
  }
  // True when the simulator closes the connection within the time.
  bool WaitClosed(int timeout_ms) {
    while (ReadLine(timeout_ms)) continue;
    return closed_;
  }

 private:
  platform::Socket fd_;
  std::string pending_;
  bool closed_ = false;
};

class SimServerTest : public ::testing::Test {
 protected:
  void Start(const std::vector<std::string>& rules = {}, int autofocus_ms = 100) {
    SimConfig cfg;
    cfg.autofocus_ms = autofocus_ms;
    std::vector<Fault> faults;
    for (const auto& r : rules) faults.push_back(ParseFault(r));
    sim_.emplace(cfg);
    plan_.emplace(std::move(faults));
    server_.emplace(*sim_, *plan_, nullptr, ServerOptions{"127.0.0.1", 0, 64});
    server_->Start();
  }
  int port() const { return server_->port(); }

  std::optional<Simulator> sim_;
  std::optional<FaultPlan> plan_;
  std::optional<Server> server_;  // last: stopped before the rest goes
};

const std::string kGain = "<GetGain,OK,1.000000>";

TEST_F(SimServerTest, ServesClientsAtOnceWhileAnAutoFocusRuns) {
  Start({}, 300);
  RawClient focus(port()), other(port());
  const auto start = Clock::now();
  focus.Send("<AutoFocus,Cam1,2,0.5,1.5,0.01,3,0>\r\n");
  EXPECT_EQ(other.Ask("<GetGain,Cam1>"), kGain);
  EXPECT_LT(MsSince(start), 300) << "a client waited for another's auto focus";
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      RawClient c(port());
      const std::string cam = "Cam" + std::to_string(i);
      for (int k = 0; k < 200; ++k) {
        const std::string gain = std::to_string(i * 1000 + k) + ".000000";
        wrong += c.Ask("<SetGain," + cam + "," + gain + ">") != "<SetGain,OK,done>";
        wrong += c.Ask("<GetGain," + cam + ">") != "<GetGain,OK," + gain + ">";
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_THAT(focus.ReadLine().value_or(""), StartsWith("<AutoFocus,OK,1.000000,"));
  EXPECT_GE(MsSince(start), 300) << "the auto focus cycle was cut short";
}

// A GetRuler request exactly `total` bytes long, CR LF included.
std::string RulerLine(std::size_t total) {
  const std::string head = "<GetRuler,Cam1,1,2.";
  return head + std::string(total - head.size() - 3, '0') + ">\r\n";
}

TEST_F(SimServerTest, LinesAreFramedAcrossReadsAndOverlongOnesRefused) {
  Start();
  RawClient c(port());
  for (const char* piece : {"<GetG", "ain,Cam1>\r", "\n"}) c.Send(piece);
  EXPECT_EQ(c.ReadLine(), kGain + "\r\n");
  c.Send("<SetGain,Cam1,3>\r\n<GetGain,Cam1>\r\n<GetIntensity,Cam1>\n");
  for (const char* reply :
       {"<SetGain,OK,done>\r\n", "<GetGain,OK,3.000000>\r\n", "<GetIntensity,OK,128>\r\n"})
    EXPECT_EQ(c.ReadLine(), reply);
  c.Send(RulerLine(kMaxLineBytes));  // the longest line taken
  EXPECT_THAT(c.ReadLine().value_or(""), StartsWith("<GetRuler,OK,"));
  const std::string refused = ",NG,request line longer than 10240 bytes refused>\r\n";
  // Each line, and the size of the pieces it is sent in.
  const std::pair<std::string, std::size_t> cases[] = {
      {RulerLine(kMaxLineBytes + 1), kMaxLineBytes + 1},
      {RulerLine(30000), 30000},
      {RulerLine(25000), 1000},
      {std::string(12000, 'x') + "\r\n", 12002}};
  for (const auto& [line, piece] : cases) {
    for (std::size_t at = 0; at < line.size(); at += piece) c.Send(line.substr(at, piece));
    EXPECT_EQ(c.ReadLine(), (line[0] == '<' ? "<GetRuler" : "<Unknown") + refused);
    EXPECT_EQ(c.Ask("<GetGain,Cam1>"), "<GetGain,OK,3.000000>") << line.size();
  }
}

// Each fault kind on the wire: the reply bytes to <GetGain,Cam1>, and how late
// they come at the least. Another word is answered normally afterwards.
struct WireFault {
  const char* rule;
  std::string bytes;  // "": no reply at all
  long min_ms = 0;
  bool pieces = false;  // the first read brings part of the line only
};
std::ostream& operator<<(std::ostream& os, const WireFault& f) { return os << f.rule; }

class SimServerFault : public SimServerTest, public ::testing::WithParamInterface<WireFault> {};

TEST_P(SimServerFault, AltersTheReplyOfItsWordOnly) {
  const WireFault& f = GetParam();
  Start({f.rule});
  RawClient c(port());
  const auto start = Clock::now();
  c.Send("<GetGain,Cam1>\r\n");
  if (f.pieces) {
    ASSERT_TRUE(c.Receive(3000));
    EXPECT_EQ(c.ReadLine(0), std::nullopt) << "the first piece is the whole reply";
  }
  EXPECT_EQ(c.ReadLine(f.bytes.empty() ? 300 : 3000).value_or(""), f.bytes);
  EXPECT_GE(MsSince(start), f.min_ms);
  EXPECT_EQ(c.Ask("<GetExposure,Cam1>"), "<GetExposure,OK,10000.000000>");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SimServerFault,
    ::testing::Values(
        WireFault{"GetGain:wrong-head", "<WrongHead,OK,1.000000>\r\n"},
        WireFault{"GetGain:bad-type", "<GetGain,ERR,1.000000>\r\n"},
        WireFault{"GetGain:ng:camera busy, retry", "<GetGain,NG,camera busy, retry>\r\n"},
        WireFault{"GetGain:unframed", "GetGain,OK,1.000000\r\n"},
        WireFault{"GetGain:oversized:12000", "<GetGain,OK," + std::string(11985, 'X') + ">\r\n"},
        WireFault{"GetGain:delay:200", kGain + "\r\n", 200},
        WireFault{"GetGain:chunks:3:120", kGain + "\r\n", 240, true},
        WireFault{"GetGain:silent", ""}, WireFault{"*/1:silent", ""}));

TEST_F(SimServerTest, CloseAfterCountsEachConnectionsRequests) {
  Start({"GetGain/2:close-after:2"});
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    RawClient c(port());
    EXPECT_EQ(c.Ask("<GetExposure,Cam1>"), "<GetExposure,OK,10000.000000>");  // not counted
    EXPECT_EQ(c.Ask("<GetGain,Cam1>"), kGain);
    EXPECT_EQ(c.Ask("<GetGain,Cam1>"), kGain) << "closed before it replied";
    // The rule closes two connections; the third one is left open.
    EXPECT_EQ(c.WaitClosed(round < 2 ? 2000 : 200), round < 2);
  }
}

// ---------------------------------------------------------------------------
// The program itself.

#ifdef _WIN32
TEST(SimProgram, ServesAndStopsPromptlyOnSignalsEvenMidReply) {
  GTEST_SKIP() << "stops the program with POSIX signals; a Windows program stops on a console "
                  "control event, which a test cannot send to a program without a console";
}
#else

// Starts the built program with `args` under a shell that prints its pid
// first and then becomes the program (same pid); returns the pid and the
// program's stdout and stderr.
std::pair<pid_t, std::FILE*> Spawn(const std::string& args) {
  std::FILE* out = ::popen(("echo $$; exec " KESTREL_SIM_PATH " " + args + " 2>&1").c_str(), "r");
  pid_t pid = -1;
  if (out == nullptr || std::fscanf(out, "%d\n", &pid) != 1) throw std::runtime_error("popen");
  return {pid, out};
}

// Exit code (128 + signal when killed); -1 when it does not end within 5 s.
int WaitExit(pid_t pid) {
  int status = 0;
  for (const auto start = Clock::now(); MsSince(start) < 5000;
       std::this_thread::sleep_for(std::chrono::milliseconds(5)))
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

TEST(SimProgram, ServesAndStopsPromptlyOnSignalsEvenMidReply) {
  for (const auto& [sig, name] : {std::pair{SIGTERM, "SIGTERM"}, std::pair{SIGINT, "SIGINT"}}) {
    SCOPED_TRACE(name);
    const auto [pid, out] = Spawn("--port 0 --autofocus-ms 20000 --fault GetExposure:ng:cli");
    int port = 0;
    const bool listening = std::fscanf(out, "kestrel-sim listening on 127.0.0.1:%d", &port) == 1;
    if (!listening) ::kill(pid, SIGKILL);
    ASSERT_TRUE(listening);
    RawClient c(port), focusing(port);
    focusing.Send("<AutoFocus,Cam1,2,0,1,0,0,0>\r\n");
    EXPECT_EQ(c.Ask("<GetGain,Cam1>"), kGain);
    EXPECT_EQ(c.Ask("<GetExposure,Cam1>"), "<GetExposure,NG,cli>");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the cycle start
    const auto start = Clock::now();
    ::kill(pid, sig);
    EXPECT_TRUE(c.WaitClosed(3000));
    EXPECT_TRUE(focusing.WaitClosed(3000));
    EXPECT_EQ(WaitExit(pid), 0);
    EXPECT_LT(MsSince(start), 3000) << "the auto focus cycle held up the stop";
    ::pclose(out);
  }
}
#endif

}  // namespace
}  // namespace kestrel::sim
