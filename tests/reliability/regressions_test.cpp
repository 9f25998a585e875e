// Findings of the fuzz targets and the fault tests, each pinned down where it
// shows: in the toolkit and through the public operation that it corrupted.
// (The NUL byte inside a framed reply is pinned down by the fault tests.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/yarn.h"
#include "kestrel/kestrel.h"
#include "support/canned.h"
#include "support/console.h"

namespace {

const std::string kHuge = "1" + std::string(400, '0') + "e-1";  // 10^399
const std::string kTiny = "0." + std::string(400, '0') + "1";   // 10^-401

// An out-of-range number was judged by the exponent's sign alone: a long
// mantissa with a negative exponent (far too large) became 0, and a long run
// of zeros after the point (too small) was refused. The magnitude decides.
TEST(Regressions, OutOfRangeDoublesAreJudgedByTheirMagnitude) {
  const struct {
    std::string text;
    bool ok;
    double value;
  } cases[] = {{kHuge, false, 0},
               {"-" + kHuge, false, 0},
               {kTiny, true, 0},
               {"-" + kTiny, true, 0},
               {"1e400", false, 0},
               {"1e-400", true, 0},
               {"0.001e-330", true, 0},
               {std::string(310, '9') + "e-1", false, 0},
               {"0." + std::string(300, '0') + "1e300", true, 0.1}};
  for (const auto& c : cases) {
    double out = 42;
    EXPECT_EQ(Corvus::Yarn_To_Double(c.text.c_str(), 0.0, 0.0, &out), c.ok) << c.text;
    EXPECT_EQ(out, c.ok ? c.value : 42) << c.text;
  }
}

// The same through a getter, whose whole payload is one number: a reply far
// beyond a double is refused with the conversion line, not taken as 0.
TEST(Regressions, GetterRefusesANumberBeyondADouble) {
  Kestrel client;
  kestrel_test::CannedReplies canned(client);
  kestrel_test::ConsoleCapture console;
  canned.Reply("GetGain,OK," + kHuge);
  canned.Reply("GetGain,OK," + kTiny);
  double gain = 7;
  EXPECT_FALSE(client.Kestrel_GetGain("Cam1", gain));
  EXPECT_EQ(gain, 7);
  EXPECT_EQ(console.texts(Corvus::HeraldColor::Red),
            std::vector<std::string>{kestrel_test::Gbk("Gain:" + kHuge + "，不能转换double")});
  EXPECT_TRUE(client.Kestrel_GetGain("Cam1", gain));
  EXPECT_EQ(gain, 0.0);
}

}  // namespace
