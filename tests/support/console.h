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

  std::vector<ConsoleLine> lines() const;
  // The texts of the lines of one colour, in order.
  std::vector<std::string> texts(Corvus::HeraldColor color) const;

 private:
  static void Receive(Corvus::HeraldColor color, const char* title, const char* text, void* self);
  mutable std::mutex mutex_;
  std::vector<ConsoleLine> lines_;
};

// Converts UTF-8 text (as the tests write it) into the GBK bytes the library
// prints.
std::string Gbk(const std::string& utf8);

// Shorthands for expected lines: Red("Kestrel", "text in UTF-8").
template <Corvus::HeraldColor Color>
ConsoleLine Line(std::string title, const std::string& utf8) {
  return {Color, std::move(title), Gbk(utf8)};
}
constexpr auto Red = &Line<Corvus::HeraldColor::Red>;
constexpr auto Yellow = &Line<Corvus::HeraldColor::Yellow>;
constexpr auto Green = &Line<Corvus::HeraldColor::Green>;
constexpr auto Plain = &Line<Corvus::HeraldColor::Plain>;

}  // namespace kestrel_test

#endif  // KESTREL_TEST_CONSOLE_H
