// Kerf check: the cut kerf and the chipping beside it, eight measured values.
#include "core/command.h"
#include "core/texts.h"

namespace kestrel {
namespace {
constexpr Command kKerfCheck{"KerfCheck", "Kestrel::Kestrel_KerfCheck"};

// Eight numbers separated by ',': all split before the first conversion; the
// eighth field takes everything after the seventh ',' and is converted whole.
// Conversion stops at the first field that fails.
struct KerfValues {
  double* outputs[8];

  bool operator()(KestrelCore& core, Payload& payload) const {
    static const char* const kMessages[8] = {
        text::kKerfCenterNotDouble,          text::kKerfWidthWithoutChippNotDouble,
        text::kKerfWidthWithChippNotDouble,  text::kCenterChippDistanceNotDouble,
        text::kChippSizeWidthNotDouble,      text::kChippSizeHeightNotDouble,
        text::kKerfMeasure7NotDouble,        text::kKerfWidthWithChipp2NotDouble};
    Field<> f[8];
    Corvus::Yarn_Seperate_Char(payload, ',', f[0].text, f[1].text, f[2].text, payload,
                               kTextCapacity);
    Corvus::Yarn_Seperate_Char(payload, ',', f[3].text, f[4].text, f[5].text, payload,
                               kTextCapacity);
    Corvus::Yarn_Seperate_Char(payload, ',', f[6].text, f[7].text, kTextCapacity);
    for (int i = 0; i < 8; ++i) {
      if (!convert(core, f[i], *outputs[i], kMessages[i])) return false;
    }
    return true;
  }
};
}  // namespace
}  // namespace kestrel

using namespace kestrel;

// value17 is accepted and not sent; textC goes last, textD after the flag.
bool Kestrel::Kestrel_KerfCheck(
    const char* textA, const char* textB, const char* textC, double value1, double value2,
    int number1, double value3, double value4, double value5, int number2, double value6,
    double value7, double value8, double value9, double value10, double value11, double value12,
    double value13, double value14, double value15, double value16, double /*value17*/,
    double value18, double& Center, double& KerfWidthWithoutChipp, double& KerfWidthWithChipp,
    double& CenterChippDistance, double& ChippSizeWidth, double& ChippSizeHeight,
    double& KerfMeasure7, double& kerfWidthWithChipp2, bool flag, const char* textD) {
  return run(*core_, kKerfCheck,
             Request("<%s,%s,%s,%f,%f,%d,%f,%f,%f,%d,%f,%f,%f,%f,%f,%f,%f,%f,%f,%f,%f,%s,%s,%f,%s>",
                     kKerfCheck.word, textA, textB, value1, value2, number1, value3, value4,
                     value5, number2, value6, value7, value8, value9, value10, value11, value12,
                     value13, value14, value15, value16, flag ? "true" : "false", textD, value18,
                     textC),
             KerfValues{{&Center, &KerfWidthWithoutChipp, &KerfWidthWithChipp,
                         &CenterChippDistance, &ChippSizeWidth, &ChippSizeHeight, &KerfMeasure7,
                         &kerfWidthWithChipp2}});
}

// Does nothing: sends nothing, writes no output, prints nothing.
bool Kestrel::Kestrel_LGKerfCheck(const char*, const char*, const char*, double, double, int,
                                  double, double, double, int, double, double, double, double,
                                  double, double, double, double, double, double, double, double,
                                  double, double&, double&, double&, double&, double&, double&,
                                  double&, double&, bool, const char*) {
  return true;
}
