// Template creation and matching: centres, angles and scores of the matches
// the server finds.
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
// after the counted ones are ignored. Each field is handed to `sink` as it
// converts (centre, angle, score), so a failure leaves a sink that keeps lists
// with the centres one ahead of the angles, the angles one ahead of the scores.
template <typename Sink>
struct MatchList {
  int& count;
  Sink& sink;

  bool operator()(KestrelCore& core, Payload& payload) const {
    ListCursor list(payload);
    if (!take_count(core, list, count)) return false;
    if (count < 1) return true;
    // An entry takes at least eight bytes: reserve no more than the payload
    // can hold, whatever count the server claims.
    const std::size_t most = std::strlen(list.rest()) / 8 + 1;
    sink.reserve(static_cast<std::size_t>(count) < most ? static_cast<std::size_t>(count) : most);
    for (int i = 0; i < count; ++i) {
      // An entry is cut at 511 characters; since each of its four numbers
      // must fit 63 characters to convert, the cut can only fall in the
      // ignored remainder or in a field that is refused anyway.
      char entry[kLongFieldCapacity] = {};
      list.take(entry, ',');
      Field<> x, y, angle, score;
      char remainder[kLongFieldCapacity];
      Corvus::Yarn_Seperate_Char(entry, '&', x.text, y.text, angle.text, score.text, remainder,
                                 kTextCapacity);
      Point center;
      if (!convert(core, x, center.X, text::kCenterXNotDouble) ||
          !convert(core, y, center.Y, text::kCenterYNotDouble)) {
        return false;
      }
      sink.center(center);
      double value = 0.0;
      if (!convert(core, angle, value, text::kAngleNotDouble)) return false;
      sink.angle(value);
      if (!convert(core, score, value, text::kScoresNotDouble)) return false;
      sink.score(value);
    }
    return true;
  }
};
template <typename Sink>
MatchList(int&, Sink&) -> MatchList<Sink>;

// The caller's three lists, each growing as its own field converts.
struct IntoLists {
  std::vector<Point>& centers;
  std::vector<double>& angles;
  std::vector<double>& scores;
  void reserve(std::size_t n) {
    centers.reserve(n);
    angles.reserve(n);
    scores.reserve(n);
  }
  void center(const Point& c) { centers.push_back(c); }
  void angle(double a) { angles.push_back(a); }
  void score(double s) { scores.push_back(s); }
};

// Of the complete matches, in reply order, the one whose score is strictly
// greater than every one before it and than the score output's value: the
// outputs change as each complete match is compared, as a walk over the lists
// after the reply would change them.
struct BestMatch {
  Point& best_center;
  double& best_angle;
  double& best_score;
  Point pending_center{};
  double pending_angle = 0.0;
  void reserve(std::size_t) {}
  void center(const Point& c) { pending_center = c; }
  void angle(double a) { pending_angle = a; }
  void score(double s) {
    if (s > best_score) {
      best_center = pending_center;
      best_angle = pending_angle;
      best_score = s;
    }
  }
};

// The first match of the reply, kept until the whole reply has converted.
struct FirstMatch {
  Point first_center{};
  double first_angle = 0.0;
  double first_score = 0.0;
  int centers = 0;
  int angles = 0;
  int scores = 0;
  void reserve(std::size_t) {}
  void center(const Point& c) {
    if (centers++ == 0) first_center = c;
  }
  void angle(double a) {
    if (angles++ == 0) first_angle = a;
  }
  void score(double s) {
    if (scores++ == 0) first_score = s;
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
  IntoLists lists{centers, angles, scores};
  return run(*core_, kTemplateMatch,
             Request(KESTREL_MATCH_FORMAT, kTemplateMatch.word, textA, textB, textC,
                     requestedCount, point.X, point.Y, value, extra1, extra2, extra3,
                     word_of(flagA), word_of(flagB), textD),
             MatchList{matchCount, lists});
}

// Keeps the match whose score is strictly greater than every one before it
// (and than 0): the first of equal scores wins and a NaN score never does.
// Matches completed before a parse failure still count. It is the request,
// the verdict and the lines of Kestrel_MultTemplate_Match with a count of 1
// and no extras; the matches are compared as they convert, without lists.
bool Kestrel::Kestrel_Template_Match(const char* textA, const char* textB, const char* textC,
                                     Point point, double value, Point& center, double& angle,
                                     double& score, bool flagA, bool flagB, const char* textD) {
  score = 0.0;
  int count = 0;
  BestMatch best{center, angle, score};
  const bool ok = run(*core_, kTemplateMatch,
                      Request(KESTREL_MATCH_FORMAT, kTemplateMatch.word, textA, textB, textC, 1,
                              point.X, point.Y, value, 0.0, 0.0, 0.0, word_of(flagA),
                              word_of(flagB), textD),
                      MatchList{count, best});
  if (count < 1) return false;
  return ok;
}

// Keeps the first match of the reply, whatever the scores of the others.
bool Kestrel::Kestrel_Template_Match_SCell(const char* textA, const char* textB,
                                           const char* textC, Point point, double value,
                                           Point& center, double& angle, double& score,
                                           bool flagA, bool flagB, const char* textD) {
  score = 0.0;
  int count = 0;
  FirstMatch first;
  const bool ok = run(*core_, kSmallCellMatch,
                      Request(KESTREL_MATCH_FORMAT, kSmallCellMatch.word, textA, textB, textC, 1,
                              point.X, point.Y, value, 0.0, 0.0, 0.0, word_of(flagA),
                              word_of(flagB), textD),
                      MatchList{count, first});
  if (!ok || count < 1) return false;
  center = first.first_center;
  angle = first.first_angle;
  score = first.first_score;
  return true;
}
