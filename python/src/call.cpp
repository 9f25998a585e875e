#include "call.h"

#include <pythread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kestrel/failure.h"

#ifndef _WIN32
#include <csignal>
#endif

namespace kestrel_py {

Client::Client(Corvus::Procedure* procedure)
    : own_(procedure != nullptr ? nullptr : new Corvus::Procedure("python")),
      procedure_(procedure != nullptr ? procedure : own_.get()),
      library_(procedure_) {}

namespace {

// ---- Console lines ---------------------------------------------------------
//
// The library prints on the thread that calls it, under the client's lock.
// The sink never touches Python there (that thread has released the GIL, and
// a Python handler could call back into the client that holds its lock): it
// only appends the line to the list of the call running on its thread.

struct Line {
  Corvus::HeraldColor color;
  std::string title;
  std::string text;
};

thread_local std::vector<Line>* t_lines = nullptr;

// The list that the sink fills on this thread while a call lasts.
class LineScope {
 public:
  explicit LineScope(std::vector<Line>& lines) : previous_(t_lines) { t_lines = &lines; }
  ~LineScope() { t_lines = previous_; }
  LineScope(const LineScope&) = delete;
  LineScope& operator=(const LineScope&) = delete;

 private:
  std::vector<Line>* previous_;
};

// Lines printed on a thread that is in no call of this module (another user
// of the library in the process): kept, up to a bound, for the next call to
// publish.
struct Strays {
  static constexpr std::size_t kMost = 1000;
  std::mutex mutex;
  std::vector<Line> lines;
  std::atomic<bool> any{false};
};

Strays& strays() {
  static Strays* instance = new Strays;  // lines may come while the process exits
  return *instance;
}

void collect(Corvus::HeraldColor color, const char* title, const char* text, void*) noexcept {
  try {
    Line line{color, title, text};
    // A received line keeps its line break; a log record has none.
    while (!line.text.empty() && (line.text.back() == '\n' || line.text.back() == '\r')) {
      line.text.pop_back();
    }
    if (t_lines != nullptr) {
      t_lines->push_back(std::move(line));
      return;
    }
    Strays& s = strays();
    std::lock_guard<std::mutex> hold(s.mutex);
    if (s.lines.size() < Strays::kMost) s.lines.push_back(std::move(line));
    s.any.store(true);
  } catch (...) {
    // Out of memory: the line is lost, the library goes on.
  }
}

// The "kestrel" logger, and the package's cutter of long texts, looked up once.
struct Logging {
  py::object is_enabled_for;
  py::object log;
  py::object cut;
};

Logging& logging() {
  static Logging* instance = [] {
    const py::object logger = py::module_::import("logging").attr("getLogger")("kestrel");
    return new Logging{logger.attr("isEnabledFor"), logger.attr("log"),
                       py::module_::import("kestrel._types").attr("_cut")};
  }();
  return *instance;
}

// Longest console line a log record's message carries whole.
constexpr std::size_t kLogMost = 200;

constexpr int kDebug = 10;  // the levels of the logging module
constexpr int kInfo = 20;
constexpr int kWarning = 30;
constexpr int kError = 40;

int level_of(Corvus::HeraldColor color) {
  switch (color) {
    case Corvus::HeraldColor::Red:
      return kError;
    case Corvus::HeraldColor::Yellow:
      return kWarning;
    case Corvus::HeraldColor::Green:
    case Corvus::HeraldColor::Plain:
      break;
  }
  return kInfo;
}

// The levels of one call's lines. A status query logs at DEBUG, and so does
// a closing disconnect that found no link. Otherwise every line is INFO but
// the one that carries a failure, at its colour's level, so that a failure
// is logged as a warning or an error once: for an abort its (yellow) abort
// line, the last yellow one; for any other failure the first red line. The
// waits of a call that succeeds in the end, and a clean disconnect (yellow
// in the library's console), are INFO.
std::vector<int> levels_of(const std::vector<Line>& lines, Mode mode, bool ok,
                           kestrel::Failure failure) {
  const bool quiet = mode == Mode::kStatus || (mode == Mode::kClose && !ok);
  std::vector<int> levels(lines.size(), quiet ? kDebug : kInfo);
  if (ok || quiet) return levels;
  const bool aborted = mode == Mode::kCommand && (failure == kestrel::Failure::kAborted ||
                                                  failure == kestrel::Failure::kPlantAborted);
  const Corvus::HeraldColor carrier =
      aborted ? Corvus::HeraldColor::Yellow : Corvus::HeraldColor::Red;
  std::size_t found = lines.size();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].color != carrier) continue;
    found = i;
    if (!aborted) break;
  }
  if (found < lines.size()) levels[found] = level_of(carrier);
  return levels;
}

// The request and the reply of a call, as its console lines show them: the
// library prints the request it sent (or could not send) and the reply line
// it received (or the unframed bytes it read). Absent when not printed.
struct Exchange {
  std::optional<std::string> request;
  std::optional<std::string> reply;
};

Exchange exchange_of(const std::vector<Line>& lines) {
  static constexpr std::string_view kSent = "Net_IO_Send Success:";
  static constexpr std::string_view kNotSent = "Net_IO_Send Error:";  // after "Net:host:port "
  static constexpr std::string_view kReceived = "Net_IO_Recv Success:";
  static constexpr std::string_view kUnframed = "Net_IO_Recv Error, Receive[";
  static constexpr std::string_view kUnframedEnd = "],ReadCount:";
  Exchange exchange;
  for (const Line& line : lines) {
    const std::string_view text = line.text;
    const bool red = line.color == Corvus::HeraldColor::Red;
    if (text.substr(0, kSent.size()) == kSent) {
      exchange.request.emplace(text.substr(kSent.size()));
    } else if (text.substr(0, kReceived.size()) == kReceived) {
      exchange.reply.emplace(text.substr(kReceived.size()));
    } else if (red && text.substr(0, kUnframed.size()) == kUnframed) {
      const std::size_t end = text.rfind(kUnframedEnd);
      if (end != std::string_view::npos && end >= kUnframed.size()) {
        exchange.reply.emplace(text.substr(kUnframed.size(), end - kUnframed.size()));
      }
    } else if (const std::size_t at = text.find(kNotSent); red && at != std::string_view::npos) {
      std::string_view request = text.substr(at + kNotSent.size());
      if (!request.empty() && request.back() == ' ') request.remove_suffix(1);
      exchange.request.emplace(request);
    }
  }
  // An unframed reply may hold its line break inside the brackets.
  if (exchange.reply) {
    std::string& reply = *exchange.reply;
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
  }
  return exchange;
}

py::object text_or_none(const std::optional<std::string>& text) {
  return text ? py::object(from_gbk(*text)) : py::object(py::none());
}

// What the records of one call carry beside its line and title: the command
// (the operation without "Kestrel_"), the request, the reply and the time the
// call took. Lines printed outside any call carry None.
struct CallRecord {
  const char* operation = nullptr;
  const Exchange* exchange = nullptr;
  double latency_ms = 0.0;
};

py::object command_of(const char* operation) {
  if (operation == nullptr) return py::none();
  const std::string_view name = operation;
  static constexpr std::string_view kPrefix = "Kestrel_";
  return py::str(std::string(name.substr(0, kPrefix.size()) == kPrefix ? name.substr(kPrefix.size())
                                                                        : name));
}

// Logs `lines` in order at `levels`; the record's message is the line (one
// over kLogMost characters cut, with its length), its `line` attribute the
// whole line, its `title` attribute the client's title, and `command`,
// `request`, `reply` and `latency_ms` those of `call`. The logger is asked
// once per level.
void publish(const std::vector<Line>& lines, const std::vector<int>& levels,
             const CallRecord& call) {
  const Logging& to = logging();
  int enabled[kError + 1] = {};  // by level: 0 not asked yet, 1 yes, -1 no
  py::dict extra;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const int level = levels[i];
    if (enabled[level] == 0) enabled[level] = py::bool_(to.is_enabled_for(level)) ? 1 : -1;
    if (enabled[level] < 0) continue;
    if (extra.empty()) {
      extra["command"] = command_of(call.operation);
      extra["request"] = call.exchange ? text_or_none(call.exchange->request) : py::none();
      extra["reply"] = call.exchange ? text_or_none(call.exchange->reply) : py::none();
      extra["latency_ms"] = call.operation ? py::object(py::float_(call.latency_ms)) : py::none();
    }
    extra["title"] = from_gbk(lines[i].title);
    const py::object line = from_gbk(lines[i].text);
    extra["line"] = line;
    to.log(level, py::len(line) > kLogMost ? to.cut(line, kLogMost) : line,
           py::arg("extra") = extra);
  }
}

void publish_strays() {
  Strays& s = strays();
  if (!s.any.load()) return;
  std::vector<Line> lines;
  {
    std::lock_guard<std::mutex> hold(s.mutex);
    lines.swap(s.lines);
    s.any.store(false);
  }
  std::vector<int> levels;
  levels.reserve(lines.size());
  for (const Line& line : lines) levels.push_back(level_of(line.color));
  publish(lines, levels, CallRecord{});
}

// ---- Ctrl-C ----------------------------------------------------------------
//
// Python's own SIGINT handler only notes the signal; KeyboardInterrupt comes
// when the main thread runs Python again, which it does not while it waits in
// the library. So a handler of ours stands in front of Python's: during a
// call on the main thread it raises the routine abort flag of the calling
// client's procedure, which ends the wait at the next unsuccessful read, and
// it always passes the signal on to Python's handler. Back from the library,
// the call lowers the flag again and lets Python raise its KeyboardInterrupt.

unsigned long g_main_thread = 0;

#ifndef _WIN32

bool on_main_thread() { return PyThread_get_thread_ident() == g_main_thread; }

static_assert(std::atomic<Corvus::Procedure*>::is_always_lock_free &&
                  std::atomic<bool>::is_always_lock_free,
              "the signal handler needs lock-free atomics");

std::atomic<Corvus::Procedure*> g_abort_target{nullptr};
std::atomic<bool> g_abort_raised{false};
struct sigaction g_python_handler;  // written only while ours is not installed

extern "C" void on_sigint(int signal, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  Corvus::Procedure* target = g_abort_target.load();
  if (target != nullptr && !target->Routine_Get_Abort_Flag()) {
    target->Routine_Set_Abort_Flag(true);
    g_abort_raised.store(true);
  }
  errno = saved_errno;
  if ((g_python_handler.sa_flags & SA_SIGINFO) != 0) {
    g_python_handler.sa_sigaction(signal, info, context);
  } else {
    g_python_handler.sa_handler(signal);
  }
}

// True when our handler is in front of SIGINT's, installing it when Python
// has (re)installed its own, as signal.signal() does. Nothing is installed
// when SIGINT is ignored or kills the process: the user chose so.
bool in_front_of_python() {
  struct sigaction current {};
  if (sigaction(SIGINT, nullptr, &current) != 0) return false;
  const bool info = (current.sa_flags & SA_SIGINFO) != 0;
  if (info && current.sa_sigaction == on_sigint) return true;
  if (!info && (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN)) return false;
  g_python_handler = current;
  struct sigaction ours {};
  ours.sa_sigaction = on_sigint;
  ours.sa_flags = SA_SIGINFO | SA_ONSTACK;  // no SA_RESTART: a read ends with EINTR
  sigemptyset(&ours.sa_mask);
  return sigaction(SIGINT, &ours, nullptr) == 0;
}

// Points the handler at the calling client's procedure for the time of one
// call on the main thread (Python runs signal handlers on that thread only).
class CtrlC {
 public:
  explicit CtrlC(Corvus::Procedure& procedure) : procedure_(procedure) {
    if (!on_main_thread() || !in_front_of_python()) return;
    g_abort_raised.store(false);
    g_abort_target.store(&procedure_);
    armed_ = true;
  }
  ~CtrlC() { disarm(); }
  CtrlC(const CtrlC&) = delete;
  CtrlC& operator=(const CtrlC&) = delete;

  // Ends the call's part; true when a Ctrl-C raised the abort flag, which is
  // then lowered again.
  bool disarm() {
    if (!armed_) return false;
    armed_ = false;
    g_abort_target.store(nullptr);
    if (!g_abort_raised.exchange(false)) return false;
    procedure_.Routine_Set_Abort_Flag(false);
    return true;
  }

 private:
  Corvus::Procedure& procedure_;
  bool armed_ = false;
};

#else  // Windows: Ctrl-C reaches Python through its console handler; no abort here.

class CtrlC {
 public:
  explicit CtrlC(Corvus::Procedure&) {}
  bool disarm() { return false; }
};

#endif

// ---- Failures --------------------------------------------------------------

// The exception class of a command's failure; its `kind` is the library's
// name of the failure ("no match" for a template match that found nothing).
py::object Types::*class_of(kestrel::Failure failure) {
  using kestrel::Failure;
  switch (failure) {
    case Failure::kNotConnected:
    case Failure::kSendFailed:
      return &Types::not_connected_error;
    case Failure::kTimedOut:
      return &Types::timeout_error;
    case Failure::kAborted:
    case Failure::kPlantAborted:
      return &Types::aborted_error;
    case Failure::kServerNg:
      return &Types::server_error;
    case Failure::kRequestTooLong:
      return &Types::request_too_long_error;
    case Failure::kUnframed:
      return &Types::unframed_reply_error;
    case Failure::kWrongHead:
      return &Types::wrong_reply_head_error;
    case Failure::kBadType:
      return &Types::bad_reply_type_error;
    case Failure::kBadReply:
      return &Types::bad_reply_error;
    case Failure::kOk:
    case Failure::kOutOfMemory:
    case Failure::kBadArgument:
      break;
  }
  return &Types::command_error;
}

const char* kind_of(kestrel::Failure failure) {
  return failure == kestrel::Failure::kOk ? "no match" : kestrel::FailureName(failure);
}

struct Failed {
  kestrel::Failure failure = kestrel::Failure::kOk;
  std::string error_text;
};

[[noreturn]] void raise_failure(const char* operation, Mode mode, const Failed& failed,
                                const std::vector<Line>& lines, const CallRecord& call) {
  py::list red;
  for (const Line& line : lines) {
    if (line.color == Corvus::HeraldColor::Red) red.append(from_gbk(line.text));
  }
  const Types& t = types();
  py::object error;
  if (mode == Mode::kLink) {
    error = t.connection_error(operation, red);
  } else {
    const py::object Types::*type = class_of(failed.failure);
    const std::optional<std::string>& reply = call.exchange->reply;
    error = (t.*type)(operation, from_gbk(failed.error_text), red, kind_of(failed.failure),
                             reply ? py::object(from_gbk(*reply)) : py::object(py::str("")),
                             call.latency_ms);
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

}  // namespace

bool call_library(Client& client, const char* operation, Mode mode, Body body, void* context) {
  std::vector<Line> lines;
  lines.reserve(4);  // a command prints two lines, a failure three or four
  const LineScope scope(lines);
  CtrlC ctrl_c(client.procedure());
  // A Ctrl-C that came just before: raise it now rather than after a wait.
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
  bool ok = false;
  Failed failed;
  CallRecord call{operation};
  {
    const py::gil_scoped_release released;
    const auto started = std::chrono::steady_clock::now();
    ok = body(context, client.library());
    call.latency_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();
    // Read at once: another thread's failure on this client replaces them.
    if (!ok) {
      failed.failure = kestrel::LastFailure(client.library());
      if (mode == Mode::kCommand) failed.error_text = client.library().Kestrel_GetErrorString();
    }
  }
  // Python's handler runs at the first Python code after a Ctrl-C: let it
  // run here, and raise its KeyboardInterrupt after the call's lines are logged.
  std::optional<py::error_already_set> interrupt;
  if (ctrl_c.disarm() && PyErr_CheckSignals() != 0) interrupt.emplace();
  publish_strays();
  const Exchange exchange = exchange_of(lines);
  call.exchange = &exchange;
  publish(lines, levels_of(lines, mode, ok, failed.failure), call);
  if (interrupt) throw *interrupt;
  if (!ok && (mode == Mode::kCommand || mode == Mode::kLink)) {
    raise_failure(operation, mode, failed, lines, call);
  }
  return ok;
}

bool connected_quietly(Client& client) {
  std::vector<Line> lines;
  const LineScope scope(lines);
  const py::gil_scoped_release released;
  return client.library().Kestrel_Connect_Status();
}

void start_console_capture() {
  g_main_thread =
      py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
  logging();
  Corvus::Herald_Set_Sink(collect, nullptr);
}

}  // namespace kestrel_py
