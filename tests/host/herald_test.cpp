// The console printer: what it makes of each format, at any length, and the
// plain lines it writes without a sink to a standard output that is no
// terminal or console (on Windows the GBK bytes as they are, elsewhere in
// UTF-8). (Its colours, titles and GBK bytes through a sink show in every
// console line the client tests expect, and many threads printing at once in
// the shared-client test.)
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

#ifdef _WIN32
const char kShown[] = "\xCD\xA8\xD1\xB6:8000";  // GBK bytes unchanged
#else
const char kShown[] = "\xE9\x80\x9A\xE8\xAE\xAF:8000";  // the same text in UTF-8
#endif

TEST(HeraldConsole, RedirectedOutputGetsPlainLines) {
  Corvus::Herald_Set_Sink(nullptr, nullptr);
  // GoogleTest's capture sends descriptor 1 to a file (on Windows a text
  // stream, as a redirected standard output starts, read back as text).
  testing::internal::CaptureStdout();
  Corvus::Herald_Red("Seq1/Kestrel", "%s:%d", "\xCD\xA8\xD1\xB6", 8000);
  Corvus::Herald_Green("T", "Net_IO_Recv Success:%s", "<a>\r\n");  // shown without its CR LF
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string first = std::string(" [Seq1/Kestrel] ") + kShown + "\n";
  const std::string second = " [T] Net_IO_Recv Success:<a>\n";
  EXPECT_NE(out.find(first), std::string::npos) << out;
  EXPECT_NE(out.find(second), std::string::npos) << out;
  EXPECT_LT(out.find(first), out.find(second));
  EXPECT_EQ(out.find('\033'), std::string::npos) << "colour codes in a file";
  EXPECT_EQ(out.size(), 12 + first.size() + 12 + second.size()) << "two lines, each after its time";
}

}  // namespace
