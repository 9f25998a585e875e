#include "support/console.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <stdexcept>

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

void ConsoleCapture::clear() {
  std::lock_guard<std::mutex> hold(mutex_);
  lines_.clear();
}

#ifdef _WIN32
// UTF-8 to UTF-16 to code page 936, refusing what either step cannot take.
std::string Gbk(const std::string& utf8) {
  if (utf8.empty()) return std::string();
  const int size = static_cast<int>(utf8.size());
  std::wstring wide(utf8.size(), L'\0');
  const int units =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, wide.data(), size);
  if (units <= 0) throw std::runtime_error("Gbk: not UTF-8");
  std::string out(static_cast<std::size_t>(units) * 2, '\0');
  BOOL lossy = FALSE;
  const int bytes = WideCharToMultiByte(936, WC_NO_BEST_FIT_CHARS, wide.data(), units, out.data(),
                                        static_cast<int>(out.size()), nullptr, &lossy);
  if (bytes <= 0 || lossy) throw std::runtime_error("Gbk: not convertible");
  out.resize(static_cast<std::size_t>(bytes));
  return out;
}
#else
std::string Gbk(const std::string& utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv: no GBK");
  std::string out(utf8.size() * 2 + 1, '\0');
  char* in = const_cast<char*>(utf8.data());
  std::size_t in_left = utf8.size();
  char* o = out.data();
  std::size_t out_left = out.size();
  const std::size_t r = iconv(cd, &in, &in_left, &o, &out_left);
  iconv_close(cd);
  if (r == static_cast<std::size_t>(-1)) throw std::runtime_error("iconv: not convertible");
  out.resize(out.size() - out_left);
  return out;
}
#endif

}  // namespace kestrel_test
