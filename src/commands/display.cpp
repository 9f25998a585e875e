// Acquisition and display: grabbing, clearing, camera and window switching,
// overlay and colour settings, and the camera scale.
#include <vector>

#include "core/command.h"
#include "core/texts.h"

namespace kestrel {
namespace {
constexpr Command kStartGrab{"StartGrab", "Kestrel::Kestrel_StartGrab"};
constexpr Command kStopGrab{"StopGrab", "Kestrel::Kestrel_StopGrab"};
constexpr Command kClearImage{"ClearCameraIamge", "Kestrel::Kestrel_ClearCameraIamge"};
constexpr Command kGetScale{"GetScale", "Kestrel::Kestrel_GetCameraScale"};
constexpr Command kSetStateColor{"SetStateColor", "Kestrel::Kestrel_SetTargetColor"};
constexpr Command kSwitchCamera{"SwitchToTheCamera", "Kestrel::Kestrel_SwitchToCamera"};
constexpr Command kWindowVisible{"CameraWinVisibleControl",
                                 "Kestrel::Kestrel_SetCamControlVisiable"};
constexpr Command kShowBaseLine{"ShowBaseLineWidth", "Kestrel::Kestrel_ShowCutLine"};
}  // namespace
}  // namespace kestrel

using namespace kestrel;

bool Kestrel::Kestrel_StartGrab(const char* cameraName) {
  return run(*core_, kStartGrab, Request("<%s,%s>", kStartGrab.word, cameraName), AcceptAny{});
}

bool Kestrel::Kestrel_StopGrab(const char* cameraName) {
  return run(*core_, kStopGrab, Request("<%s,%s>", kStopGrab.word, cameraName), AcceptAny{});
}

bool Kestrel::Kestrel_ClearCameraIamge(const char* cameraName) {
  return run(*core_, kClearImage, Request("<%s,%s>", kClearImage.word, cameraName), AcceptAny{});
}

// Both failure lines name the whole payload.
bool Kestrel::Kestrel_GetCameraScale(const char* cameraName, double& scaleX, double& scaleY) {
  return run(*core_, kGetScale, Request("<%s,%s>", kGetScale.word, cameraName),
             PointPayload{scaleX, scaleY, text::kScaleXNotDouble, text::kScaleYNotDouble, true});
}

// The entries become further comma-separated fields, with nothing to tell
// them from other fields: red, green, blue give <SetStateColor,Cam1,red,green,blue>.
bool Kestrel::Kestrel_SetTargetColor(const char* cameraName, std::vector<const char*> colors) {
  Request request("<%s,%s,", kSetStateColor.word, cameraName);
  const char* item = "%s";
  for (const char* color : colors) {
    request.add(item, color);
    item = ",%s";
  }
  return run(*core_, kSetStateColor, request.add(">"), AcceptAny{});
}

bool Kestrel::Kestrel_SwitchToCamera(const char* textA, const char* textB) {
  return run(*core_, kSwitchCamera, Request("<%s,%s,%s>", kSwitchCamera.word, textA, textB),
             AcceptAny{});
}

// The flag goes between the two texts.
bool Kestrel::Kestrel_SetCamControlVisiable(const char* textA, const char* textB, bool visible) {
  return run(*core_, kWindowVisible,
             Request("<%s,%s,%s,%s>", kWindowVisible.word, textA, visible ? "true" : "false",
                     textB),
             AcceptAny{});
}

bool Kestrel::Kestrel_ShowCutLine(const char* cameraName, double width) {
  return run(*core_, kShowBaseLine, Request("<%s,%s,%f>", kShowBaseLine.word, cameraName, width),
             AcceptAny{});
}
