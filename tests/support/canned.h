// Runs a client's commands without a network: each exchange records the
// request and hands back a given reply text, as an unframed reply.
#ifndef KESTREL_TEST_CANNED_H
#define KESTREL_TEST_CANNED_H

#include <deque>
#include <string>
#include <vector>

#include "core/record.h"

namespace kestrel_test {

class CannedReplies {
 public:
  // Takes over the exchange of `client` for its lifetime.
  explicit CannedReplies(Kestrel& client);
  ~CannedReplies();

  // Queues the reply text (head,type,payload, without frame) of the next
  // exchange. With none queued the exchange fails as a silent server would.
  void Reply(std::string unframed) { replies_.push_back(std::move(unframed)); }
  const std::vector<std::string>& requests() const { return requests_; }
  KestrelCore& core() { return core_; }

 private:
  static kestrel::Exchange Exchange(KestrelCore& core, char* request, char* reply);
  KestrelCore& core_;
  KestrelCore::ExchangeFn previous_;
  std::deque<std::string> replies_;
  std::vector<std::string> requests_;
};

}  // namespace kestrel_test

#endif  // KESTREL_TEST_CANNED_H
