// Template creation and matching: centres, angles and scores of the matches
// the server finds.
#include <algorithm>
#include <cstring>
#include <vector>

#include "core/command.h"
#include "core/texts.h"

namespace kestrel {
namespace {
constexpr Command kTemplateCreate{"Template_Create", "Kestrel::Kestrel_Template_Create"};
constexpr Command kTemplateMatch{"Template_Match", "Kestrel::Kestrel_MultTemplate_Match"};
constexpr Command kSmallCellMatch{"SmallCellTemMatch", "Kestrel::Kestrel_Template_Match_SCell"};

// Both match commands send the same fields: word, three texts, the count, the
// point, the value, three extras, the two flags as words and the fourth text.
#define KESTREL_MATCH_FORMAT "<%s,%s,%s,%s,%d,%f,%f,%f,%f,%f,%f,%s,%s,%s>"

const char* word_of(bool flag) { return flag ? "true" : "false"; }

// A match list "N,x&y&angle&score,...": the count is converted first, then
// exactly N entries; anything after the fourth '&' of an entry and entries
// after the counted ones are ignored. Each list grows as its own field
// converts, so a failure leaves the centres one ahead of the angles, the
// angles one ahead of the scores.
struct MatchList {
  int& count;
  std::vector<Point>& centers;
  std::vector<double>& angles;
  std::vector<double>& scores;

  bool operator()(KestrelCore& core, Payload& payload) const {
    if (!take_count(core, payload, count)) return false;
    if (count < 1) return true;
    // An entry takes at least eight bytes: reserve no more than the payload
    // can hold, whatever count the server claims.
    const std::size_t most = std::strlen(payload) / 8 + 1;
    const std::size_t expected = static_cast<std::size_t>(count) < most
                                     ? static_cast<std::size_t>(count) : most;
    centers.reserve(expected);
    angles.reserve(expected);
    scores.reserve(expected);
    for (int i = 0; i < count; ++i) {
      // An entry is cut at 511 characters; since each of its four numbers
      // must fit 63 characters to convert, the cut can only fall in the
      // ignored remainder or in a field that is refused anyway.
      char entry[kLongFieldCapacity] = {};
      Corvus::Yarn_Seperate_Char(payload, ',', entry, payload, kTextCapacity);
      Field<> x, y, angle, score;
      char remainder[kLongFieldCapacity];
      Corvus::Yarn_Seperate_Char(entry, '&', x.text, y.text, angle.text, score.text, remainder,
                                 kTextCapacity);
      Point center;
      if (!convert(core, x, center.X, text::kCenterXNotDouble) ||
          !convert(core, y, center.Y, text::kCenterYNotDouble)) {
        return false;
      }
      centers.push_back(center);
      double value = 0.0;
      if (!convert(core, angle, value, text::kAngleNotDouble)) return false;
      angles.push_back(value);
      if (!convert(core, score, value, text::kScoresNotDouble)) return false;
      scores.push_back(value);
    }
    return true;
  }
};
}  // namespace
}  // namespace kestrel

using namespace kestrel;

// textB goes first on the wire, where other commands name the camera.
bool Kestrel::Kestrel_Template_Create(const char* textA, const char* textB, const char* textC,
                                      int number) {
  return run(*core_, kTemplateCreate,
             Request("<%s,%s,%s,%s,%d>", kTemplateCreate.word, textB, textA, textC, number),
             AcceptAny{});
}

bool Kestrel::Kestrel_MultTemplate_Match(const char* textA, const char* textB, int requestedCount,
                                         const char* textC, Point point, double value,
                                         int& matchCount, std::vector<Point>& centers,
                                         std::vector<double>& angles, std::vector<double>& scores,
                                         bool flagA, bool flagB, const char* textD, double extra1,
                                         double extra2, double extra3) {
  centers.clear();
  angles.clear();
  scores.clear();
  return run(*core_, kTemplateMatch,
             Request(KESTREL_MATCH_FORMAT, kTemplateMatch.word, textA, textB, textC,
                     requestedCount, point.X, point.Y, value, extra1, extra2, extra3,
                     word_of(flagA), word_of(flagB), textD),
             MatchList{matchCount, centers, angles, scores});
}

// Keeps the match whose score is strictly greater than every one before it
// (and than 0): the first of equal scores wins and a NaN score never does.
// Matches completed before a parse failure still count.
bool Kestrel::Kestrel_Template_Match(const char* textA, const char* textB, const char* textC,
                                     Point point, double value, Point& center, double& angle,
                                     double& score, bool flagA, bool flagB, const char* textD) {
  score = 0.0;
  int count = 0;
  std::vector<Point> centers;
  std::vector<double> angles, scores;
  const bool ok = Kestrel_MultTemplate_Match(textA, textB, 1, textC, point, value, count, centers,
                                             angles, scores, flagA, flagB, textD, 0.0, 0.0, 0.0);
  if (count < 1) return false;
  std::size_t n = static_cast<std::size_t>(count);
  n = std::min({n, centers.size(), angles.size(), scores.size()});
  for (std::size_t i = 0; i < n; ++i) {
    if (scores[i] > score) {
      center = centers[i];
      angle = angles[i];
      score = scores[i];
    }
  }
  return ok;
}

// Keeps the first match of the reply, whatever the scores of the others.
bool Kestrel::Kestrel_Template_Match_SCell(const char* textA, const char* textB,
                                           const char* textC, Point point, double value,
                                           Point& center, double& angle, double& score,
                                           bool flagA, bool flagB, const char* textD) {
  score = 0.0;
  int count = 0;
  std::vector<Point> centers;
  std::vector<double> angles, scores;
  const bool ok = run(*core_, kSmallCellMatch,
                      Request(KESTREL_MATCH_FORMAT, kSmallCellMatch.word, textA, textB, textC, 1,
                              point.X, point.Y, value, 0.0, 0.0, 0.0, word_of(flagA),
                              word_of(flagB), textD),
                      MatchList{count, centers, angles, scores});
  if (!ok || count < 1) return false;
  center = centers.front();
  angle = angles.front();
  score = scores.front();
  return true;
}
