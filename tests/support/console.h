// Captures every console line of the library through the printer's sink.
#ifndef KESTREL_TEST_CONSOLE_H
#define KESTREL_TEST_CONSOLE_H

#include <mutex>
#include <string>
#include <vector>

#include "kestrel/host.h"

namespace kestrel_test {

struct ConsoleLine {
  Corvus::HeraldColor color;
  std::string title;
  std::string text;  // the exact GBK bytes
  bool operator==(const ConsoleLine& other) const {
    return color == other.color && title == other.title && text == other.text;
  }
};

// Installs itself as the printer's sink for its lifetime.
class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  std::vector<ConsoleLine> lines() const;
  // The texts of the lines of one colour, in order.
  std::vector<std::string> texts(Corvus::HeraldColor color) const;
  void clear();

 private:
  static void Receive(Corvus::HeraldColor color, const char* title, const char* text, void* self);
  mutable std::mutex mutex_;
  std::vector<ConsoleLine> lines_;
};

// Converts UTF-8 text (as the tests write it) into the GBK bytes the library
// prints.
std::string Gbk(const std::string& utf8);

// Shorthands for expected lines.
inline ConsoleLine Red(std::string title, std::string utf8) {
  return {Corvus::HeraldColor::Red, std::move(title), Gbk(utf8)};
}
inline ConsoleLine Yellow(std::string title, std::string utf8) {
  return {Corvus::HeraldColor::Yellow, std::move(title), Gbk(utf8)};
}
inline ConsoleLine Green(std::string title, std::string utf8) {
  return {Corvus::HeraldColor::Green, std::move(title), Gbk(utf8)};
}
inline ConsoleLine Plain(std::string title, std::string utf8) {
  return {Corvus::HeraldColor::Plain, std::move(title), Gbk(utf8)};
}

}  // namespace kestrel_test

#endif  // KESTREL_TEST_CONSOLE_H
