// The console printer: a sink receives each line as the exact bytes.
#include "host/herald.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "support/console.h"

namespace {

using kestrel_test::ConsoleCapture;
using kestrel_test::ConsoleLine;

TEST(Herald, SinkReceivesColourTitleAndExactBytes) {
  ConsoleCapture console;
  Corvus::Herald("T", "send:%s", "<a>\r\n");
  Corvus::Herald_Red("T", "%s:%d", "\xCD\xA8\xD1\xB6", 8000);
  Corvus::Herald_Yellow("Seq1/Kestrel", "%s", "y");
  Corvus::Herald_Green("T", "g");
  const std::vector<ConsoleLine> expected = {
      {Corvus::HeraldColor::Plain, "T", "send:<a>\r\n"},
      {Corvus::HeraldColor::Red, "T", "\xCD\xA8\xD1\xB6:8000"},
      {Corvus::HeraldColor::Yellow, "Seq1/Kestrel", "y"},
      {Corvus::HeraldColor::Green, "T", "g"},
  };
  EXPECT_EQ(console.lines(), expected);
}

TEST(Herald, LinesLongerThanTheLineBufferArriveWhole) {
  ConsoleCapture console;
  const std::string big(40000, 'x');
  Corvus::Herald_Red("T", "[%s]", big.c_str());
  ASSERT_EQ(console.lines().size(), 1u);
  EXPECT_EQ(console.lines()[0].text, "[" + big + "]");
}

TEST(Herald, LinesFromManyThreadsNeverInterleave) {
  ConsoleCapture console;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) Corvus::Herald("T", "%d:%d", t, i);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(console.lines().size(), 800u);
}

}  // namespace
