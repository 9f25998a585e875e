// Circle fit: the server fits a circle through the caller's points.
#include <vector>

#include "core/command.h"
#include "core/texts.h"

namespace kestrel {
namespace {
constexpr Command kFixCircle{"FixCircle", "Kestrel::Kestrel_FixCircle"};

// "cx&cy,radius": anything after a further ',' is ignored.
struct CircleReply {
  Point& center;
  double& radius;

  bool operator()(KestrelCore& core, Payload& payload) const {
    Field<> x, y, r;
    Corvus::Yarn_Seperate_Char(payload, '&', x.text, payload, kTextCapacity);
    Corvus::Yarn_Seperate_Char(payload, ',', y.text, payload, kTextCapacity);
    Corvus::Yarn_Seperate_Char(payload, ',', r.text, payload, kTextCapacity);
    return convert(core, x, center.X, text::kCenterXNotDouble) &&
           convert(core, y, center.Y, text::kCenterYNotDouble) &&
           convert(core, r, radius, text::kRadiusNotDouble);
  }
};
}  // namespace
}  // namespace kestrel

using namespace kestrel;

// Points (1, 2) and (3.5, -4) go out as <FixCircle,2,1.000000,2.000000,3.500000,-4.000000>.
bool Kestrel::Kestrel_FixCircle(std::vector<Point> points, Point& center, double& radius) {
  Request request("<%s,%d,", kFixCircle.word, static_cast<int>(points.size()));
  const char* item = "%f,%f";
  for (const Point& point : points) {
    request.add(item, point.X, point.Y);
    item = ",%f,%f";
  }
  return run(*core_, kFixCircle, request.add(">"), CircleReply{center, radius});
}
