// The console printer without a sink, writing to a standard output that is
// no terminal or console (here a file): one plain line per call, no colour
// codes. On Windows the GBK bytes go out as they are; elsewhere they are
// converted to UTF-8.
#include "host/herald.h"

#include <gtest/gtest.h>

#include <string>

namespace {

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
