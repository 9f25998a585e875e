// The circle through a set of points, as the simulator answers FixCircle and
// the command-line client draws it. Header-only: the simulator and the client
// share it without sharing a library.
#ifndef KESTREL_TOOLS_COMMON_CIRCLE_FIT_H
#define KESTREL_TOOLS_COMMON_CIRCLE_FIT_H

#include <cmath>
#include <cstddef>
#include <vector>

namespace kestrel::geometry {

struct KasaCircle {
  double x = 0.0;  // centre
  double y = 0.0;
  double radius = 0.0;
};

// Algebraic least-squares (Kasa) fit of the points whose coordinates
// `x(point)` and `y(point)` give. False for fewer than three points or points
// that lie on one line (or on one spot). The radius may come out infinite
// when the points are nearly collinear; callers decide what that means.
template <typename Point, typename X, typename Y>
bool FitKasaCircle(const std::vector<Point>& points, X x, Y y, KasaCircle& fit) {
  const std::size_t n = points.size();
  if (n < 3) return false;
  // The fit is made on coordinates taken about their mean, which keeps the
  // normal equations well conditioned far from the origin. With u = x - mx,
  // v = y - my the centre (uc, vc) solves
  //   Suu uc + Suv vc = (Suuu + Suvv) / 2
  //   Suv uc + Svv vc = (Svvv + Svuu) / 2
  // and r^2 = uc^2 + vc^2 + (Suu + Svv) / n.
  double mx = 0, my = 0;
  for (const Point& p : points) {
    mx += x(p);
    my += y(p);
  }
  mx /= static_cast<double>(n);
  my /= static_cast<double>(n);
  double suu = 0, svv = 0, suv = 0, suuu = 0, svvv = 0, suvv = 0, svuu = 0;
  for (const Point& p : points) {
    const double u = x(p) - mx;
    const double v = y(p) - my;
    suu += u * u;
    svv += v * v;
    suv += u * v;
    suuu += u * u * u;
    svvv += v * v * v;
    suvv += u * v * v;
    svuu += v * u * u;
  }
  const double det = suu * svv - suv * suv;
  const double spread = suu + svv;
  // Collinear (or coincident) points leave the system singular.
  if (!(spread > 0.0) || std::fabs(det) <= 1e-12 * spread * spread) return false;
  const double bu = 0.5 * (suuu + suvv);
  const double bv = 0.5 * (svvv + svuu);
  const double uc = (bu * svv - bv * suv) / det;
  const double vc = (suu * bv - suv * bu) / det;
  fit.x = uc + mx;
  fit.y = vc + my;
  fit.radius = std::sqrt(uc * uc + vc * vc + spread / static_cast<double>(n));
  return true;
}

}  // namespace kestrel::geometry

#endif  // KESTREL_TOOLS_COMMON_CIRCLE_FIT_H
