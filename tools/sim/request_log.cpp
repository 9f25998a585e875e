#include "sim/request_log.h"

#include <chrono>
#include <stdexcept>

#include "platform/text.h"
#include "platform/utc.h"

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
  const std::string stamp = platform::UtcStamp(std::chrono::system_clock::now());
  const bool cut = text.size() > kMaxText;
  // Lines are the wire's GBK, events the simulator's own UTF-8.
  const std::string shown = mark == kEvent ? std::string(text.substr(0, kMaxText))
                                           : platform::GbkToUtf8(text.substr(0, kMaxText));
  std::lock_guard<std::mutex> lock(mu_);
  std::fprintf(out_, "%s #%ld %.*s %s", stamp.c_str(), connection, static_cast<int>(mark.size()),
               mark.data(), shown.c_str());
  if (cut) std::fprintf(out_, " ...(%zu bytes)", text.size());
  std::fputc('\n', out_);
  std::fflush(out_);
}

}  // namespace kestrel::sim
