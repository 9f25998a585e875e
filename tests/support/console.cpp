#include "support/console.h"

#include <stdexcept>

#include "platform/text.h"

namespace kestrel_test {

ConsoleCapture::ConsoleCapture() { Corvus::Herald_Set_Sink(&ConsoleCapture::Receive, this); }

ConsoleCapture::~ConsoleCapture() { Corvus::Herald_Set_Sink(nullptr, nullptr); }

void ConsoleCapture::Receive(Corvus::HeraldColor color, const char* title, const char* text,
                             void* self) {
  auto* capture = static_cast<ConsoleCapture*>(self);
  std::lock_guard<std::mutex> hold(capture->mutex_);
  capture->lines_.push_back({color, title, text});
}

std::vector<ConsoleLine> ConsoleCapture::lines() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return lines_;
}

std::vector<std::string> ConsoleCapture::texts(Corvus::HeraldColor color) const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<std::string> out;
  for (const ConsoleLine& line : lines_) {
    if (line.color == color) out.push_back(line.text);
  }
  return out;
}

std::string Gbk(const std::string& utf8) {
  const auto gbk = kestrel::platform::Utf8ToGbk(utf8);
  if (!gbk) throw std::runtime_error("Gbk: not convertible: " + utf8);
  return *gbk;
}

}  // namespace kestrel_test
