// Point conversion: camera points into real and ruler coordinates, and from
// one camera to another. The server does the arithmetic; every reply is one
// point "x&y".
#include "core/command.h"
#include "core/texts.h"

namespace kestrel {
namespace {
constexpr Command kGetReal{"GetReal", "Kestrel::Kestrel_GetReal"};
constexpr Command kGetRuler{"GetRuler", "Kestrel::Kestrel_GetRuler"};
constexpr Command kRealByPixel{"GetRealByPixelPoint", "Kestrel::Kestrel_GetRealByPixelPoint"};
constexpr Command kCameraAToB{"CovertPointCameraAToB", "Kestrel::Kestrel_GetTargetCamReal"};
constexpr Command kAnotherPoint{"MwCalAnotherPointReal",
                                "Kestrel::Kestrel_MwCalAnotherPointReal"};
}  // namespace
}  // namespace kestrel

using namespace kestrel;

bool Kestrel::Kestrel_GetReal(const char* cameraName, Point point, Point& RealPoint) {
  return run(*core_, kGetReal, Request("<%s,%s,%f,%f>", kGetReal.word, cameraName, point.X, point.Y),
             PointPayload{RealPoint.X, RealPoint.Y, text::kRealPointXNotDouble,
                          text::kRealPointYNotDouble});
}

bool Kestrel::Kestrel_GetRuler(const char* cameraName, Point point, Point& RulerPoint) {
  return run(*core_, kGetRuler,
             Request("<%s,%s,%f,%f>", kGetRuler.word, cameraName, point.X, point.Y),
             PointPayload{RulerPoint.X, RulerPoint.Y, text::kRulerPointXNotDouble,
                          text::kRulerPointYNotDouble});
}

bool Kestrel::Kestrel_GetRealByPixelPoint(const char* cameraName, Point firstPoint,
                                          Point secondPoint, Point& RealPoint) {
  return run(*core_, kRealByPixel,
             Request("<%s,%s,%f,%f,%f,%f>", kRealByPixel.word, cameraName, firstPoint.X,
                     firstPoint.Y, secondPoint.X, secondPoint.Y),
             PointPayload{RealPoint.X, RealPoint.Y, text::kRealPointXNotDouble,
                          text::kRealPointYNotDouble});
}

// Camera A is the first field, camera B the second, as the command word says.
bool Kestrel::Kestrel_GetTargetCamReal(const char* cameraA, const char* cameraB, Point point,
                                       Point& res) {
  return run(*core_, kCameraAToB,
             Request("<%s,%s,%s,%f,%f>", kCameraAToB.word, cameraA, cameraB, point.X, point.Y),
             PointPayload{res.X, res.Y, text::kResXNotDouble, text::kResYNotDouble});
}

bool Kestrel::Kestrel_MwCalAnotherPointReal(const char* cameraName, Point point,
                                            double firstValue, double secondValue,
                                            Point& tarPoint) {
  return run(*core_, kAnotherPoint,
             Request("<%s,%s,%f,%f,%f,%f>", kAnotherPoint.word, cameraName, point.X, point.Y,
                     firstValue, secondValue),
             PointPayload{tarPoint.X, tarPoint.Y, text::kTarPointXNotDouble,
                          text::kTarPointYNotDouble});
}
