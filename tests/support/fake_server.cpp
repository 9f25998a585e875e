#include "support/fake_server.h"

#include <chrono>
#include <thread>

namespace kestrel_test {
namespace {

constexpr int kConnectionWaitMs = 5000;  // how long Send and Drop wait for a connection

// Polls `done` every few milliseconds for at most `timeout_ms`.
template <typename Done>
bool Within(int timeout_ms, Done&& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace

FakeServer::Step FakeServer::Chunks(std::vector<std::string> chunks, int pause_ms) {
  Step step;
  for (std::size_t i = 0; i < chunks.size(); ++i)
    step.pieces.push_back({i == 0 ? 0 : pause_ms, std::move(chunks[i])});
  return step;
}

// Lines of any length a test sends are taken whole.
FakeServer::FakeServer() : server_(*this, {"127.0.0.1", 0, 16, 1 << 16}) { server_.Start(); }

void FakeServer::Push(Step step) {
  std::lock_guard<std::mutex> lock(mutex_);
  steps_.push_back(std::move(step));
}

std::vector<std::string> FakeServer::requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

bool FakeServer::WaitForConnections(int n, int timeout_ms) const {
  return Within(timeout_ms, [&] { return server_.accepted() >= n; });
}

bool FakeServer::WaitForOne() const {
  return Within(kConnectionWaitMs, [&] { return server_.active_connections() > 0; });
}

bool FakeServer::Send(const std::string& bytes) {
  return WaitForOne() && server_.SendToLatest(bytes);
}

bool FakeServer::Drop() { return WaitForOne() && server_.DropLatest(); }

FakeServer::Step FakeServer::Answer(kestrel::wire::Connection&, std::string_view line) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.emplace_back(line);
  if (steps_.empty()) return {};
  Step step = std::move(steps_.front());
  steps_.pop_front();
  return step;
}

}  // namespace kestrel_test
