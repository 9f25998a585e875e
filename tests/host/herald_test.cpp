// The console printer: what it makes of each format, at any length. (Its
// colours, titles and GBK bytes show in every console line the client tests
// expect, and many threads printing at once in the shared-client test.)
#include "host/herald.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/console.h"

namespace {

using kestrel_test::ConsoleCapture;

// Lines of %s, %d and %% alone are put together without vsnprintf; every
// line must still be what vsnprintf makes of it, including the forms that go
// to vsnprintf (other conversions, flags, a null %s).
TEST(Herald, EveryFormatGivesWhatVsnprintfGives) {
  ConsoleCapture console;
  std::vector<std::string> expected;
  auto both = [&](const char* format, auto... args) {
    char text[512];
    std::snprintf(text, sizeof text, format, args...);
    expected.push_back(text);
    Corvus::Herald("T", format, args...);
  };
  both("plain");
  both("");
  both("%s", "");
  both("Net_IO_Send Success:%s", "<GetReal,Cam1,1.000000,2.000000>");
  both("Net %s:%d Connect Success.", "127.0.0.1", 8000);
  both("%d|%d|%d|%d", 0, -1, 2147483647, -2147483647 - 1);
  both("100%% [%s] %d%%", "x", 5);
  both("%s%s%s", "a", "\xB5\xC8", "c");
  both("%5d|%-3s|%x|%.2f|%c", 42, "ab", 255, 1.5, 'z');
  const char* volatile none = nullptr;  // unknown to the compiler's format checks
  both("%s|%s", "left", static_cast<const char*>(none));
  EXPECT_EQ(console.texts(Corvus::HeraldColor::Plain), expected);
}

// Around the 16 KiB the printer formats on the stack, and beyond it.
TEST(Herald, LinesAtAndBeyondTheLineBufferArriveWhole) {
  ConsoleCapture console;
  for (const std::size_t size : {16382u, 16383u, 16384u, 40000u}) {
    const std::string part(size - 2, 'y');
    Corvus::Herald("T", "<%s>", part.c_str());
    Corvus::Herald("T", "%d:%s", 7, part.c_str());
  }
  const auto lines = console.texts(Corvus::HeraldColor::Plain);
  ASSERT_EQ(lines.size(), 8u);
  for (std::size_t i = 0; i < 4; ++i) {
    const std::string part((i < 3 ? 16382u + i : 40000u) - 2, 'y');
    EXPECT_EQ(lines[2 * i], "<" + part + ">");
    EXPECT_EQ(lines[2 * i + 1], "7:" + part);
  }
}

}  // namespace
