// The simulator's request/reply log: one line per request, per reply and per
// connection event, each with a UTC time stamp and the connection number.
//
//   2024-05-06T09:14:03.512034Z #3 <- <GetReal,Cam1,10.000000,20.000000>
//   2024-05-06T09:14:03.512101Z #3 -> <GetReal,OK,0.025000&0.050000>
//   2024-05-06T09:14:03.700000Z #3 -- closed by peer
#ifndef KESTREL_SIM_REQUEST_LOG_H
#define KESTREL_SIM_REQUEST_LOG_H

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace kestrel::sim {

class RequestLog {
 public:
  // The mark of an event line (the server's also marks requests "<-" and
  // replies "->").
  static constexpr std::string_view kEvent = "--";
  // Texts longer than this are cut in the log, with their size noted.
  static constexpr std::size_t kMaxText = 512;

  // "-" logs to stderr, anything else is a file opened for appending. Throws
  // std::runtime_error when the file cannot be opened.
  static std::unique_ptr<RequestLog> Open(const std::string& target);

  RequestLog(std::FILE* out, bool owned) : out_(out), owned_(owned) {}
  ~RequestLog();  // not copied: it holds a mutex

  // One line, written and flushed at once; safe from any thread.
  void Write(long connection, std::string_view mark, std::string_view text);

 private:
  std::mutex mu_;
  std::FILE* out_;
  bool owned_;
};

}  // namespace kestrel::sim

#endif  // KESTREL_SIM_REQUEST_LOG_H
