// Runs a client's commands without a network: each exchange records the
// request and hands back a given reply text, as an unframed reply.
#ifndef KESTREL_TEST_CANNED_H
#define KESTREL_TEST_CANNED_H

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "core/record.h"

namespace kestrel_test {

class CannedReplies {
 public:
  // Takes over the exchange of `client` for its lifetime.
  explicit CannedReplies(Kestrel& client)
      : core_(kestrel::KestrelCoreAccess::of(client)), previous_(core_.exchange) {
    core_.exchange = &CannedReplies::Exchange;
    core_.exchange_context = this;
  }
  ~CannedReplies() {
    core_.exchange = previous_;
    core_.exchange_context = nullptr;
  }

  // Queues the reply text (head,type,payload, without frame) of the next
  // exchange. With none queued the exchange fails as a silent server would.
  void Reply(std::string unframed) { replies_.push_back(std::move(unframed)); }
  const std::vector<std::string>& requests() const { return requests_; }
  KestrelCore& core() { return core_; }

 private:
  // Records the request and hands back the next reply, cut to the buffer.
  static kestrel::Exchange Exchange(KestrelCore& core, char* request, char* reply) {
    auto* self = static_cast<CannedReplies*>(core.exchange_context);
    self->requests_.emplace_back(request);
    if (self->replies_.empty()) return kestrel::Exchange::kTimedOut;
    const std::string& text = self->replies_.front();
    const std::size_t n = std::min<std::size_t>(text.size(), kestrel::kTextCapacity - 1);
    std::memcpy(reply, text.data(), n);
    reply[n] = '\0';
    self->replies_.pop_front();
    return kestrel::Exchange::kReplied;
  }

  KestrelCore& core_;
  KestrelCore::ExchangeFn previous_;
  std::deque<std::string> replies_;
  std::vector<std::string> requests_;
};

}  // namespace kestrel_test

#endif  // KESTREL_TEST_CANNED_H
