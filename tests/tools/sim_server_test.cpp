// The simulator over real loopback sockets: the server started in-process on
// an ephemeral port, and the built kestrel-sim program itself.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <ostream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "sim/server.h"

extern char** environ;

namespace kestrel::sim {
namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point t) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// A bare client socket, to see exactly the bytes the simulator writes.
class RawClient {
 public:
  explicit RawClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
      throw std::runtime_error("cannot connect to the simulator");
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  void Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("send failed");
      done += static_cast<std::size_t>(n);
    }
  }

  // Whatever one read brings within the time; empty on timeout or end.
  std::string ReadSome(int timeout_ms) {
    if (!pending_.empty()) return std::exchange(pending_, {});
    return Receive(timeout_ms);
  }

  // Everything up to and including the next '\n'; nullopt when it does not
  // arrive within the time.
  std::optional<std::string> ReadLine(int timeout_ms = 3000) {
    const auto start = Clock::now();
    for (;;) {
      std::size_t nl = pending_.find('\n');
      if (nl != std::string::npos) {
        std::string line = pending_.substr(0, nl + 1);
        pending_.erase(0, nl + 1);
        return line;
      }
      const long left = timeout_ms - MsSince(start);
      if (left <= 0 || closed_) return std::nullopt;
      pending_ += Receive(static_cast<int>(left));
    }
  }

  // The reply line to one request, without CR LF ("" when none came).
  std::string Ask(const std::string& request) {
    Send(request + "\r\n");
    std::string line = ReadLine().value_or("");
    if (line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0)
      line.resize(line.size() - 2);
    return line;
  }

  // True when the simulator closes the connection within the time.
  bool WaitClosed(int timeout_ms) {
    const auto start = Clock::now();
    while (!closed_) {
      const long left = timeout_ms - MsSince(start);
      if (left <= 0) return false;
      Receive(static_cast<int>(left));
    }
    return true;
  }

 private:
  std::string Receive(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) <= 0) return {};
    char buf[65536];
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
      closed_ = true;
      return {};
    }
    return std::string(buf, static_cast<std::size_t>(n));
  }

  int fd_ = -1;
  std::string pending_;
  bool closed_ = false;
};

// Waits until `cond` holds, for at most `ms`.
template <class Cond>
bool Eventually(Cond cond, int ms = 2000) {
  const auto start = Clock::now();
  while (!cond()) {
    if (MsSince(start) > ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class SimServerTest : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> rules = {}, int autofocus_ms = 100, int max_conn = 64,
             RequestLog* log = nullptr) {
    SimConfig cfg;
    cfg.autofocus_ms = autofocus_ms;
    std::vector<Fault> faults;
    for (const auto& r : rules) faults.push_back(ParseFault(r));
    sim_ = std::make_unique<Simulator>(cfg);
    plan_ = std::make_unique<FaultPlan>(std::move(faults));
    ServerOptions opt;
    opt.port = 0;
    opt.max_connections = max_conn;
    server_ = std::make_unique<Server>(*sim_, *plan_, log, opt);
    server_->Start();
    ASSERT_GT(server_->port(), 0);
  }
  void TearDown() override {
    if (server_) server_->Stop();
  }
  int port() const { return server_->port(); }

  std::unique_ptr<Simulator> sim_;
  std::unique_ptr<FaultPlan> plan_;
  std::unique_ptr<Server> server_;
};

// ---------------------------------------------------------------------------

TEST_F(SimServerTest, ServesSeveralClientsAtOnce) {
  Start();
  constexpr int kClients = 8;
  std::vector<std::unique_ptr<RawClient>> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<RawClient>(port()));
  EXPECT_TRUE(Eventually([&] { return server_->active_connections() == kClients; }));

  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      const std::string cam = "Cam" + std::to_string(i);
      for (int k = 0; k < 200; ++k) {
        const std::string gain = std::to_string(i * 1000 + k) + ".000000";
        if (clients[i]->Ask("<SetGain," + cam + "," + gain + ">") != "<SetGain,OK,done>") ++wrong;
        if (clients[i]->Ask("<GetGain," + cam + ">") != "<GetGain,OK," + gain + ">") ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);

  clients.clear();
  EXPECT_TRUE(Eventually([&] { return server_->active_connections() == 0; }));
}

TEST_F(SimServerTest, RequestsMayArriveSplitOrSeveralAtOnce) {
  Start();
  RawClient c(port());
  c.Send("<GetG");
  c.Send("ain,Cam1>\r");
  c.Send("\n");
  EXPECT_EQ(c.ReadLine(), "<GetGain,OK,1.000000>\r\n");
  c.Send("<SetGain,Cam1,3>\r\n<GetGain,Cam1>\r\n<GetIntensity,Cam1>\n");
  EXPECT_EQ(c.ReadLine(), "<SetGain,OK,done>\r\n");
  EXPECT_EQ(c.ReadLine(), "<GetGain,OK,3.000000>\r\n");
  EXPECT_EQ(c.ReadLine(), "<GetIntensity,OK,128>\r\n");
}

// A GetRuler request exactly `total` bytes long, CR LF included.
std::string RulerLine(std::size_t total) {
  std::string head = "<GetRuler,Cam1,1,2.";
  std::string line = head + std::string(total - head.size() - 3, '0') + ">\r\n";
  return line;
}

TEST_F(SimServerTest, OverlongLinesAreRefusedAndTheConnectionGoesOn) {
  Start();
  RawClient c(port());
  // The longest accepted line is answered normally.
  c.Send(RulerLine(kMaxLineBytes));
  EXPECT_EQ(c.ReadLine().value_or("").rfind("<GetRuler,OK,", 0), 0u);

  const std::string refused = "<GetRuler,NG,request line longer than 10240 bytes refused>\r\n";
  struct {
    std::size_t total;
    std::size_t piece;  // the line is sent in pieces of this size
  } cases[] = {{kMaxLineBytes + 1, kMaxLineBytes + 1}, {30000, 30000}, {25000, 1000}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.total);
    const std::string line = RulerLine(k.total);
    for (std::size_t at = 0; at < line.size(); at += k.piece) c.Send(line.substr(at, k.piece));
    EXPECT_EQ(c.ReadLine(), refused);
    EXPECT_EQ(c.Ask("<GetGain,Cam1>"), "<GetGain,OK,1.000000>");
  }
  c.Send(std::string(12000, 'x') + "\r\n");
  EXPECT_EQ(c.ReadLine(), "<Unknown,NG,request line longer than 10240 bytes refused>\r\n");
  EXPECT_EQ(c.Ask("<GetGain,Cam1>"), "<GetGain,OK,1.000000>");
}

TEST_F(SimServerTest, AutoFocusAnswersAfterItsCycleWhileOthersAreServed) {
  Start({}, 300);
  RawClient focus(port()), other(port());
  const auto start = Clock::now();
  focus.Send("<AutoFocus,Cam1,2,0.500000,1.500000,0.010000,3.000000,0.000000>\r\n");
  EXPECT_EQ(other.Ask("<GetGain,Cam1>"), "<GetGain,OK,1.000000>");
  EXPECT_LT(MsSince(start), 300) << "another connection waited for the auto focus";
  auto reply = focus.ReadLine();
  EXPECT_GE(MsSince(start), 300);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->rfind("<AutoFocus,OK,1.000000,", 0), 0u) << *reply;
}

// ---------------------------------------------------------------------------
// Faults, seen from a raw socket.

struct TextFault {
  const char* rule;
  const char* request;
  const char* bytes;  // the whole reply as sent
};
std::ostream& operator<<(std::ostream& os, const TextFault& t) { return os << t.rule; }

class SimServerTextFault : public SimServerTest, public ::testing::WithParamInterface<TextFault> {};

TEST_P(SimServerTextFault, ReplyIsAlteredOnlyForItsWord) {
  Start({GetParam().rule});
  RawClient c(port());
  c.Send(std::string(GetParam().request) + "\r\n");
  EXPECT_EQ(c.ReadLine(), GetParam().bytes);
  EXPECT_EQ(c.Ask("<GetExposure,Cam1>"), "<GetExposure,OK,10000.000000>");
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SimServerTextFault,
    ::testing::Values(TextFault{"GetGain:wrong-head", "<GetGain,Cam1>",
                                "<WrongHead,OK,1.000000>\r\n"},
                      TextFault{"GetGain:bad-type", "<GetGain,Cam1>", "<GetGain,ERR,1.000000>\r\n"},
                      TextFault{"GetGain:ng:camera busy, retry", "<GetGain,Cam1>",
                                "<GetGain,NG,camera busy, retry>\r\n"},
                      TextFault{"GetGain:unframed", "<GetGain,Cam1>", "GetGain,OK,1.000000\r\n"},
                      TextFault{"GetGain:delay:0", "<GetGain,Cam1>", "<GetGain,OK,1.000000>\r\n"}));

TEST_F(SimServerTest, OversizedReplyHasTheAskedSizeAndObeysItsLimit) {
  Start({"GetGain/1:oversized:12000"});
  RawClient c(port());
  c.Send("<GetGain,Cam1>\r\n");
  auto line = c.ReadLine();
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(line->size(), 12000u);
  EXPECT_EQ(line->rfind("<GetGain,OK,XXX", 0), 0u);
  EXPECT_EQ(line->compare(line->size() - 3, 3, ">\r\n"), 0);
  EXPECT_EQ(c.Ask("<GetGain,Cam1>"), "<GetGain,OK,1.000000>") << "/1 allows one oversized reply";
}

TEST_F(SimServerTest, DelayedReplyComesLate) {
  Start({"GetGain:delay:200"});
  RawClient c(port());
  auto start = Clock::now();
  EXPECT_EQ(c.Ask("<GetGain,Cam1>"), "<GetGain,OK,1.000000>");
  EXPECT_GE(MsSince(start), 200);
  start = Clock::now();
  EXPECT_EQ(c.Ask("<GetExposure,Cam1>"), "<GetExposure,OK,10000.000000>");
  EXPECT_LT(MsSince(start), 200);
}

TEST_F(SimServerTest, SilentRequestGetsNoReplyButTheConnectionStays) {
  Start({"GetGain/1:silent"});
  RawClient c(port());
  c.Send("<GetGain,Cam1>\r\n");
  EXPECT_EQ(c.ReadLine(300), std::nullopt);
  EXPECT_EQ(c.Ask("<GetGain,Cam1>"), "<GetGain,OK,1.000000>");
}

TEST_F(SimServerTest, ChunkedReplyArrivesInPiecesWithPauses) {
  Start({"GetGain:chunks:3:120"});
  RawClient c(port());
  const auto start = Clock::now();
  c.Send("<GetGain,Cam1>\r\n");
  std::string first = c.ReadSome(2000);
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(first.find('\n'), std::string::npos) << "the first piece is not the whole reply";
  auto rest = c.ReadLine();
  EXPECT_GE(MsSince(start), 240);
  EXPECT_EQ(first + rest.value_or(""), "<GetGain,OK,1.000000>\r\n");
}

TEST_F(SimServerTest, CloseAfterCountsEachConnectionsRequests) {
  Start({"GetGain/2:close-after:2"});
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    RawClient c(port());
    EXPECT_EQ(c.Ask("<GetExposure,Cam1>"), "<GetExposure,OK,10000.000000>");  // not counted
    EXPECT_EQ(c.Ask("<GetGain,Cam1>"), "<GetGain,OK,1.000000>");
    EXPECT_EQ(c.Ask("<GetGain,Cam1>"), "<GetGain,OK,1.000000>");
    // The rule closes two connections; the third one is left open.
    EXPECT_EQ(c.WaitClosed(round < 2 ? 2000 : 200), round < 2);
  }
}

TEST_F(SimServerTest, ConnectionsBeyondTheLimitAreRefused) {
  Start({}, 100, 2);
  auto a = std::make_unique<RawClient>(port());
  RawClient b(port());
  EXPECT_EQ(a->Ask("<GetGain,Cam1>"), "<GetGain,OK,1.000000>");
  EXPECT_EQ(b.Ask("<GetGain,Cam1>"), "<GetGain,OK,1.000000>");
  {
    RawClient c(port());
    EXPECT_EQ(c.ReadLine(), "<Unknown,NG,too many connections>\r\n");
    EXPECT_TRUE(c.WaitClosed(2000));
  }
  a.reset();
  ASSERT_TRUE(Eventually([&] { return server_->active_connections() < 2; }));
  RawClient d(port());
  EXPECT_EQ(d.Ask("<GetGain,Cam1>"), "<GetGain,OK,1.000000>");
}

TEST_F(SimServerTest, StopClosesConnectionsEvenDuringALongReply) {
  Start({}, 20000);
  RawClient idle(port()), focusing(port());
  focusing.Send("<AutoFocus,Cam1,2,0,1,0,0,0>\r\n");
  EXPECT_TRUE(Eventually([&] { return server_->active_connections() == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let the cycle start
  const auto start = Clock::now();
  server_->Stop();
  EXPECT_LT(MsSince(start), 1000);
  EXPECT_TRUE(idle.WaitClosed(1000));
  EXPECT_TRUE(focusing.WaitClosed(1000));
  EXPECT_EQ(server_->active_connections(), 0);
}

TEST_F(SimServerTest, LogHasOneStampedLinePerRequestAndReply) {
  char path[] = "/tmp/kestrel-sim-log-XXXXXX";
  int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  auto log = RequestLog::Open(path);
  Start({"GetExposure:ng:nope"}, 100, 64, log.get());
  {
    RawClient c(port());
    EXPECT_EQ(c.Ask("<GetGain,Cam1>"), "<GetGain,OK,1.000000>");
    EXPECT_EQ(c.Ask("<GetExposure,Cam1>"), "<GetExposure,NG,nope>");
  }
  EXPECT_TRUE(Eventually([&] { return server_->active_connections() == 0; }));
  server_->Stop();
  log.reset();
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  ::unlink(path);
  const std::string stamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z #1 )";
  for (const std::string line :
       {"-- connected 127\\.0\\.0\\.1:\\d+", "<- <GetGain,Cam1>", "-> <GetGain,OK,1\\.000000>",
        "-- fault GetExposure:ng:nope", "-> <GetExposure,NG,nope>", "-- closed by peer"}) {
    EXPECT_TRUE(std::regex_search(text.str(), std::regex("(^|\n)" + stamp + line + "\n")))
        << line << "\nin:\n"
        << text.str();
  }
}

// ---------------------------------------------------------------------------
// The program itself.

struct Child {
  pid_t pid = -1;
  int out = -1;  // its stdout and stderr
};

Child Spawn(std::vector<std::string> args) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  args.insert(args.begin(), KESTREL_SIM_PATH);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Child child;
  if (posix_spawn(&child.pid, KESTREL_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0)
    throw std::runtime_error("cannot start kestrel-sim");
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  child.out = fds[0];
  return child;
}

// Reads the child's output until `stop` appears, it ends, or the time is up.
std::string ReadOutput(int fd, const char* stop, int timeout_ms = 5000) {
  std::string text;
  const auto start = Clock::now();
  while (text.find(stop) == std::string::npos) {
    const long left = timeout_ms - MsSince(start);
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  return text;
}

int WaitExit(pid_t pid) {
  int status = 0;
  for (int i = 0; i < 500; ++i) {
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

TEST(SimProgram, PrintsItsPortServesAndStopsCleanlyOnSignals) {
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    Child child = Spawn({"--port", "0", "--autofocus-ms", "10", "--fault", "GetExposure:ng:cli"});
    const std::string first = ReadOutput(child.out, "\n");
    std::smatch m;
    ASSERT_TRUE(
        std::regex_match(first, m, std::regex(R"(kestrel-sim listening on 127\.0\.0\.1:(\d+)\n)")))
        << first;
    {
      RawClient c(std::stoi(m[1]));
      EXPECT_EQ(c.Ask("<GetGain,Cam1>"), "<GetGain,OK,1.000000>");
      EXPECT_EQ(c.Ask("<GetExposure,Cam1>"), "<GetExposure,NG,cli>");
      ::kill(child.pid, sig);
      EXPECT_TRUE(c.WaitClosed(3000));
    }
    EXPECT_EQ(WaitExit(child.pid), 0);
    ::close(child.out);
  }
}

TEST(SimProgram, RefusesABadCommandLine) {
  struct {
    std::vector<std::string> args;
    const char* message_part;
  } cases[] = {
      {{"--fault", "GetRael:silent"}, "unknown command word 'GetRael'"},
      {{"--calibration", "Cam1=1,2,3"}, "NAME=sx,sy,ox,oy,deg"},
      {{"--scenario", "/nonexistent/scenario.txt"}, "scenario"},
  };
  for (auto& k : cases) {
    SCOPED_TRACE(k.args[0] + " " + k.args[1]);
    Child child = Spawn(k.args);
    const std::string text = ReadOutput(child.out, k.message_part);
    EXPECT_NE(text.find(k.message_part), std::string::npos) << text;
    EXPECT_NE(WaitExit(child.pid), 0);
    ::close(child.out);
  }
}

}  // namespace
}  // namespace kestrel::sim
