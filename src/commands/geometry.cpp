// Rotation and line geometry: rotation centre of a camera, angle of a line,
// a point after a rotation. The server does the geometry.
#include "core/command.h"
#include "core/texts.h"

namespace kestrel {
namespace {
constexpr Command kRotateCenter{"GetRotateCenter", "Kestrel::Kestrel_GetRotateCenter"};
constexpr Command kLineAngle{"GetLineAngle", "Kestrel::Kestrel_GetLineAngle"};
constexpr Command kAfterRotate{"GetPointAfterRotate_Real",
                               "Kestrel::Kestrel_GetPointAfterRotate_Real"};
}  // namespace
}  // namespace kestrel

using namespace kestrel;

bool Kestrel::Kestrel_GetRotateCenter(const char* cameraName, double& Center_X,
                                      double& Center_Y) {
  return run(*core_, kRotateCenter, Request("<%s,%s>", kRotateCenter.word, cameraName),
             PointPayload{Center_X, Center_Y, text::kCenterXUnderscoreNotDouble,
                          text::kCenterYUnderscoreNotDouble});
}

// The whole payload is the angle; it is not split.
bool Kestrel::Kestrel_GetLineAngle(Point firstPoint, Point secondPoint, double& Angle) {
  return run(*core_, kLineAngle,
             Request("<%s,%f,%f,%f,%f>", kLineAngle.word, firstPoint.X, firstPoint.Y,
                     secondPoint.X, secondPoint.Y),
             OneNumber{Angle, text::kAngleNotDouble});
}

bool Kestrel::Kestrel_GetPointAfterRotate_Real(Point firstPoint, Point secondPoint,
                                               double rotateAngle, Point& PointAfterRotate) {
  return run(*core_, kAfterRotate,
             Request("<%s,%f,%f,%f,%f,%f>", kAfterRotate.word, firstPoint.X, firstPoint.Y,
                     secondPoint.X, secondPoint.Y, rotateAngle),
             PointPayload{PointAfterRotate.X, PointAfterRotate.Y,
                          text::kPointAfterRotateXNotDouble, text::kPointAfterRotateYNotDouble});
}
