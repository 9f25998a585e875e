// Auto focus: the server answers only when the focus cycle is over, so the
// exchange of any request holding "AutoFocus" waits under its long budget.
#include <string>

#include "core/command.h"
#include "core/texts.h"

namespace kestrel {
namespace {
constexpr Command kAutoFocus{"AutoFocus", "Kestrel::Kestrel_AutoFocus"};

// "value,free text": the text (commas and all) is handed over before the
// value is converted, so a bad value still leaves the text written.
struct FocusResult {
  double& value;
  std::string& text;
  bool operator()(KestrelCore& core, Payload& payload) const {
    Field<> value_text;
    char result_text[kLongFieldCapacity] = {};  // a longer text is cut to 511 characters
    Corvus::Yarn_Seperate_Char(payload, ',', value_text.text, result_text, kTextCapacity);
    text = result_text;
    return convert(core, value_text, value, text::kResXNotDouble);
  }
};
}  // namespace
}  // namespace kestrel

using namespace kestrel;

bool Kestrel::Kestrel_AutoFocus(const char* cameraName, int number, double value1, double value2,
                                double value3, double value4, double value5, double& result,
                                std::string& resultText, bool /*flag: changes nothing*/) {
  return run(*core_, kAutoFocus,
             Request("<%s,%s,%d,%f,%f,%f,%f,%f>", kAutoFocus.word, cameraName, number, value1,
                     value2, value3, value4, value5),
             FocusResult{result, resultText});
}
