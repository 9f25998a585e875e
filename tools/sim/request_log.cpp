#include "sim/request_log.h"

#include <chrono>
#include <ctime>
#include <stdexcept>

namespace kestrel::sim {

std::unique_ptr<RequestLog> RequestLog::Open(const std::string& target) {
  if (target == "-") return std::make_unique<RequestLog>(stderr, false);
  std::FILE* f = std::fopen(target.c_str(), "a");
  if (f == nullptr) throw std::runtime_error("cannot open log file '" + target + "'");
  return std::make_unique<RequestLog>(f, true);
}

RequestLog::~RequestLog() {
  if (owned_) std::fclose(out_);
}

void RequestLog::Write(long connection, std::string_view mark, std::string_view text) {
  using namespace std::chrono;
  const auto now = system_clock::now();
  const std::time_t secs = system_clock::to_time_t(now);
  const long micros =
      static_cast<long>(duration_cast<microseconds>(now.time_since_epoch()).count() % 1000000);
  const bool cut = text.size() > kMaxText;
  std::lock_guard<std::mutex> lock(mu_);
  // std::gmtime's result is shared (per process on some systems): used under
  // the log's lock, and nothing else of the simulator calls it.
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", std::gmtime(&secs));
  std::fprintf(out_, "%s.%06ldZ #%ld %.*s %.*s", stamp, micros, connection,
               static_cast<int>(mark.size()), mark.data(),
               static_cast<int>(cut ? kMaxText : text.size()), text.data());
  if (cut) std::fprintf(out_, " ...(%zu bytes)", text.size());
  std::fputc('\n', out_);
  std::fflush(out_);
}

}  // namespace kestrel::sim
