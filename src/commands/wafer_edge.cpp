// Wafer edge: points on the edge of the wafer, checked against the count the
// server announces.
#include <cstring>
#include <vector>

#include "core/command.h"
#include "core/texts.h"

namespace kestrel {
namespace {
constexpr Command kWaferEdge{"WaferEdge", "Kestrel::Kestrel_WaferEdge"};

// "N,x&y,x&y,...": the walk is driven by the payload, not by the count, so
// entries beyond the count are parsed too, and the number parsed must equal
// the count. An entry longer than 63 characters is refused: the field its
// cut falls into (Y when the entry holds an '&', else X) does not convert.
struct EdgeList {
  std::vector<Point>& points;

  bool operator()(KestrelCore& core, Payload& payload) const {
    points.clear();
    int count = 0;
    ListCursor list(payload);
    if (!take_count(core, list, count)) return false;
    // An entry takes at least four bytes ("x&y,"), whatever count is claimed.
    const std::size_t most = std::strlen(list.rest()) / 4 + 1;
    points.reserve(count > 0 && static_cast<std::size_t>(count) < most
                       ? static_cast<std::size_t>(count) : most);
    while (!list.done()) {
      Field<> entry;
      list.take(entry.text, ',');
      Field<> x, y;
      Corvus::Yarn_Seperate_Char(entry.text, '&', x.text, y.text, kTextCapacity);
      if (!entry.fits()) (std::strchr(entry.text, '&') ? y : x).cut = true;
      Point point;
      if (!convert(core, x, point.X, text::kEdgeXNotDouble) ||
          !convert(core, y, point.Y, text::kEdgeYNotDouble)) {
        return false;
      }
      points.push_back(point);
    }
    if (points.size() != static_cast<std::size_t>(count) || count < 0) {
      Corvus::Herald_Red(core.title, text::kEdgeCountMismatch, count,
                         static_cast<int>(points.size()));
      return false;
    }
    return true;
  }
};
}  // namespace
}  // namespace kestrel

using namespace kestrel;

// ignoredA and ignoredB are accepted and neither sent nor read.
bool Kestrel::Kestrel_WaferEdge(const char* textA, const char* textB, Point point, bool flag,
                                int /*ignoredA*/, int /*ignoredB*/,
                                std::vector<Point>& edgePoints) {
  return run(*core_, kWaferEdge,
             Request("<%s,%s,%s,%f,%f,%s>", kWaferEdge.word, textA, textB, point.X, point.Y,
                     flag ? "true" : "false"),
             EdgeList{edgePoints});
}
