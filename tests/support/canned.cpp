#include "support/canned.h"

#include <cstring>

namespace kestrel_test {

CannedReplies::CannedReplies(Kestrel& client)
    : core_(kestrel::KestrelCoreAccess::of(client)), previous_(core_.exchange) {
  core_.exchange = &CannedReplies::Exchange;
  core_.exchange_context = this;
}

CannedReplies::~CannedReplies() {
  core_.exchange = previous_;
  core_.exchange_context = nullptr;
}

kestrel::Exchange CannedReplies::Exchange(KestrelCore& core, char* request, char* reply) {
  auto* self = static_cast<CannedReplies*>(core.exchange_context);
  self->requests_.emplace_back(request);
  if (self->replies_.empty()) return kestrel::Exchange::kTimedOut;
  const std::string& text = self->replies_.front();
  const std::size_t n = text.size() < kestrel::kTextCapacity - 1 ? text.size()
                                                                  : kestrel::kTextCapacity - 1;
  std::memcpy(reply, text.data(), n);
  reply[n] = '\0';
  self->replies_.pop_front();
  return kestrel::Exchange::kReplied;
}

}  // namespace kestrel_test
