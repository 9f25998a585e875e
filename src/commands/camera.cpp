// Camera parameters: gain, exposure and light intensity of one camera. The
// library keeps no copy: a getter always asks the server.
#include "core/command.h"
#include "core/texts.h"

namespace kestrel {
namespace {
constexpr Command kSetGain{"SetGain", "Kestrel::Kestrel_SetGain"};
constexpr Command kSetExposure{"SetExposure", "Kestrel::Kestrel_SetExposure"};
constexpr Command kSetLight{"SetIntensity", "Kestrel::Kestrel_SetLight"};
constexpr Command kSetLightAndExposure{"AdjustBrightness",
                                       "Kestrel::Kestrel_SetLightAndExposure"};
constexpr Command kGetGain{"GetGain", "Kestrel::Kestrel_GetGain"};
constexpr Command kGetExposure{"GetExposure", "Kestrel::Kestrel_GetExposure"};
constexpr Command kGetLight{"GetIntensity", "Kestrel::Kestrel_GetLight"};
}  // namespace
}  // namespace kestrel

using namespace kestrel;

bool Kestrel::Kestrel_SetGain(const char* cameraName, double gain) {
  Request request("<%s,%s,%f>", kSetGain.word, cameraName, gain);
  return run(*core_, kSetGain, request, AcceptAny{});
}

bool Kestrel::Kestrel_SetExposure(const char* cameraName, double exposure) {
  Request request("<%s,%s,%f>", kSetExposure.word, cameraName, exposure);
  return run(*core_, kSetExposure, request, AcceptAny{});
}

bool Kestrel::Kestrel_SetLight(const char* cameraName, int intensity) {
  Request request("<%s,%s,%d>", kSetLight.word, cameraName, intensity);
  return run(*core_, kSetLight, request, AcceptAny{});
}

// The second text goes first on the wire, and the flag goes as 1 or 0.
bool Kestrel::Kestrel_SetLightAndExposure(const char* textA, const char* textB, int number,
                                          bool flag) {
  Request request("<%s,%s,%s,%d,%d>", kSetLightAndExposure.word, textB, textA, number,
                  flag ? 1 : 0);
  return run(*core_, kSetLightAndExposure, request, AcceptAny{});
}

bool Kestrel::Kestrel_GetGain(const char* cameraName, double& gain) {
  Request request("<%s,%s>", kGetGain.word, cameraName);
  return run(*core_, kGetGain, request, OneNumber{gain, text::kGainNotDouble});
}

bool Kestrel::Kestrel_GetExposure(const char* cameraName, double& exposure) {
  Request request("<%s,%s>", kGetExposure.word, cameraName);
  return run(*core_, kGetExposure, request, OneNumber{exposure, text::kExposureNotDouble});
}

bool Kestrel::Kestrel_GetLight(const char* cameraName, int& intensity) {
  Request request("<%s,%s>", kGetLight.word, cameraName);
  return run(*core_, kGetLight, request, OneNumber{intensity, text::kIntensityNotInt});
}
