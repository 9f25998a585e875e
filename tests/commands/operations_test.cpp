// Every operation without a network: the exact request line it sends, and
// its reply handling on given reply texts (what each payload yields, the red
// line of each failure and what it leaves in the outputs).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "kestrel/failure.h"
#include "kestrel/host.h"
#include "kestrel/kestrel.h"
#include "support/canned.h"
#include "support/console.h"

namespace {

using kestrel_test::CannedReplies;
using kestrel_test::ConsoleCapture;
using kestrel_test::Gbk;

constexpr double U = -777.0;  // an output's value before the call

// The outputs after a call, as one text: numbers, then "x&y" points, lists in
// brackets, texts as they are.
struct Shown {
  bool ok = false;
  std::ostringstream out;
  Shown& operator<<(double v) { return put(v); }
  Shown& operator<<(int v) { return put(v); }
  Shown& operator<<(const std::string& v) { return put(v); }
  Shown& operator<<(const Point& p) { return put(p.X), out << '&' << p.Y, *this; }
  template <typename T>
  Shown& operator<<(const std::vector<T>& list) {
    put("[");
    for (const T& item : list) *this << item;
    out << " ]";
    return *this;
  }
  template <typename T>
  Shown& put(const T& v) {
    if (out.tellp() > 0) out << ' ';
    out << v;
    return *this;
  }
};

// One operation, called with every output at U (lists holding one stale
// entry, the focus text "old"): its result and its outputs afterwards.
using Call = void (*)(Kestrel&, Shown&);

template <typename T, bool (Kestrel::*Get)(const char*, T&)>
void Value(Kestrel& k, Shown& s) {
  T v = static_cast<T>(U);
  s.ok = (k.*Get)("C", v), s << v;
}
constexpr Call Gain = Value<double, &Kestrel::Kestrel_GetGain>;
constexpr Call Exposure = Value<double, &Kestrel::Kestrel_GetExposure>;
constexpr Call Light = Value<int, &Kestrel::Kestrel_GetLight>;
void Angle(Kestrel& k, Shown& s) {
  double v = U;
  s.ok = k.Kestrel_GetLineAngle({0, 1}, {10, 11}, v), s << v;
}
template <bool (Kestrel::*Get)(const char*, double&, double&)>
void Two(Kestrel& k, Shown& s) {
  double x = U, y = U;
  s.ok = (k.*Get)("C", x, y), s << x << y;
}
// The point operations: each writes one Point.
template <bool (*Get)(Kestrel&, Point&)>
void Pt(Kestrel& k, Shown& s) {
  Point p{U, U};
  s.ok = Get(k, p), s << p;
}
bool Real(Kestrel& k, Point& p) { return k.Kestrel_GetReal("C", {1, 2}, p); }
bool Ruler(Kestrel& k, Point& p) { return k.Kestrel_GetRuler("C", {1, 2}, p); }
bool ByPixel(Kestrel& k, Point& p) { return k.Kestrel_GetRealByPixelPoint("C", {1, 2}, {3, 4}, p); }
bool TargetCam(Kestrel& k, Point& p) { return k.Kestrel_GetTargetCamReal("A", "B", {1, 2}, p); }
bool Another(Kestrel& k, Point& p) {
  return k.Kestrel_MwCalAnotherPointReal("C", {1, 2}, 0.5, 1, p);
}
bool Rotated(Kestrel& k, Point& p) {
  return k.Kestrel_GetPointAfterRotate_Real({1, 2}, {3, 4}, 90, p);
}
void Focus(Kestrel& k, Shown& s) {
  double v = U;
  std::string text = "old";
  s.ok = k.Kestrel_AutoFocus("C", 2, 0.5, 1.5, 0.01, 3, 0, v, text, true), s << v << text;
}
void Matches(Kestrel& k, Shown& s) {
  int count = -99;
  std::vector<Point> centers{{9, 9}};
  std::vector<double> angles{9}, scores{9};
  s.ok = k.Kestrel_MultTemplate_Match("ta", "tb", -4, "tc", {10, 20}, 0.5, count, centers, angles,
                                      scores, false, true, "td", 1, 2, 3);
  s << count << centers << angles << scores;
}
template <decltype(&Kestrel::Kestrel_Template_Match) Match>
void One(Kestrel& k, Shown& s) {
  Point center{U, U};
  double angle = U, score = 5;
  s.ok = (k.*Match)("ta", "tb", "tc", {10, 20}, 0.5, center, angle, score, true, false, "td");
  s << center << angle << score;
}
constexpr Call Best = One<&Kestrel::Kestrel_Template_Match>;
constexpr Call First = One<&Kestrel::Kestrel_Template_Match_SCell>;
void Edge(Kestrel& k, Shown& s) {
  std::vector<Point> points{{9, 9}};
  s.ok = k.Kestrel_WaferEdge("ta", "tb", {100, 200.5}, true, 7, 8, points), s << points;
}
template <decltype(&Kestrel::Kestrel_KerfCheck) Check>
void Kerf(Kestrel& k, Shown& s) {
  double o[8] = {U, U, U, U, U, U, U, U};
  s.ok = (k.*Check)("ta", "tb", "tc", 1, 2, -3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17,
                    18, 999, 19, o[0], o[1], o[2], o[3], o[4], o[5], o[6], o[7], true, "td");
  for (double v : o) s << v;
}
constexpr Call KerfCheck = Kerf<&Kestrel::Kestrel_KerfCheck>;
void Circle(Kestrel& k, Shown& s) {
  Point center{U, U};
  double radius = U;
  s.ok = k.Kestrel_FixCircle({{1, 2}, {3, 4}, {5, 7}}, center, radius), s << center << radius;
}

// The operations without outputs.
void SetColours(Kestrel& k, Shown&) { k.Kestrel_SetTargetColor("Cam1", {"red", "", "blue"}); }
void Visible(Kestrel& k, Shown&) { k.Kestrel_SetCamControlVisiable("W1", "C1", false); }

// The exact request of every operation, its arguments chosen so that a wrong
// field order shows; those it ignores (the kerf check's value17, the wafer
// edge's two ints, the auto-focus flag) are given values that would show.
// A request of texts, flags and empty lists alone is left to the command-line
// client's test of every command (cli_test.cpp), which shows it exactly as
// the command's example gives it (but a whole number written as "3.000000"
// would pass there as "3").
TEST(Requests, EveryOperationSendsItsExactLine) {
  const struct {
    Call call;
    const char* request;
  } cases[] = {
      {[](Kestrel& k, Shown&) { k.Kestrel_SetGain("Cam1", 2.5); }, "<SetGain,Cam1,2.500000>"},
      {[](Kestrel& k, Shown&) { k.Kestrel_SetExposure("Cam1", 1e20); },
       "<SetExposure,Cam1,100000000000000000000.000000>"},
      {[](Kestrel& k, Shown&) { k.Kestrel_SetLight("Cam1", -5); }, "<SetIntensity,Cam1,-5>"},
      {[](Kestrel& k, Shown&) { k.Kestrel_SetLightAndExposure("A", "B", 120, false); },
       "<AdjustBrightness,B,A,120,0>"},
      {SetColours, "<SetStateColor,Cam1,red,,blue>"},
      {Visible, "<CameraWinVisibleControl,W1,false,C1>"},
      {[](Kestrel& k, Shown&) { k.Kestrel_ShowCutLine("Cam1", 0.03); },
       "<ShowBaseLineWidth,Cam1,0.030000>"},
      {Focus, "<AutoFocus,C,2,0.500000,1.500000,0.010000,3.000000,0.000000>"},
      {[](Kestrel& k, Shown&) { k.Kestrel_Template_Create("ta", "tb", "tc", 3); },
       "<Template_Create,tb,ta,tc,3>"},
      {Matches,
       "<Template_Match,ta,tb,tc,-4,10.000000,20.000000,0.500000,1.000000,2.000000,"
       "3.000000,false,true,td>"},
      {Best,
       "<Template_Match,ta,tb,tc,1,10.000000,20.000000,0.500000,0.000000,0.000000,0.000000,"
       "true,false,td>"},
      {First,
       "<SmallCellTemMatch,ta,tb,tc,1,10.000000,20.000000,0.500000,0.000000,0.000000,"
       "0.000000,true,false,td>"},
      {Edge, "<WaferEdge,ta,tb,100.000000,200.500000,true>"},
      {KerfCheck,
       "<KerfCheck,ta,tb,1.000000,2.000000,-3,4.000000,5.000000,6.000000,7,8.000000,9.000000,"
       "10.000000,11.000000,12.000000,13.000000,14.000000,15.000000,16.000000,17.000000,"
       "18.000000,true,td,19.000000,tc>"},
      {Circle, "<FixCircle,3,1.000000,2.000000,3.000000,4.000000,5.000000,7.000000>"},
      {Pt<Real>, "<GetReal,C,1.000000,2.000000>"},
      {Pt<Ruler>, "<GetRuler,C,1.000000,2.000000>"},
      {Pt<ByPixel>, "<GetRealByPixelPoint,C,1.000000,2.000000,3.000000,4.000000>"},
      {Pt<TargetCam>, "<CovertPointCameraAToB,A,B,1.000000,2.000000>"},
      {Pt<Another>, "<MwCalAnotherPointReal,C,1.000000,2.000000,0.500000,1.000000>"},
      {Angle, "<GetLineAngle,0.000000,1.000000,10.000000,11.000000>"},
      {Pt<Rotated>, "<GetPointAfterRotate_Real,1.000000,2.000000,3.000000,4.000000,90.000000>"},
  };
  Kestrel client;
  CannedReplies canned(client);
  ConsoleCapture console;
  for (const auto& c : cases) {
    const std::size_t before = canned.requests().size();
    Shown shown;
    c.call(client, shown);
    ASSERT_EQ(canned.requests().size(), before + 1) << c.request;
    EXPECT_EQ(canned.requests().back(), c.request);
  }
}

// A request over 10237 characters is refused before anything is sent, its
// whole length counted even past the end of its buffer; one of exactly 10237
// goes out.
TEST(Requests, TooLongIsRefusedBeforeSending) {
  Kestrel client;
  CannedReplies canned(client);
  ConsoleCapture console;
  const std::size_t frame = std::string("<SetStateColor,Cam1,>").size();
  canned.Reply("SetStateColor,OK,");
  EXPECT_TRUE(client.Kestrel_SetTargetColor("Cam1", {std::string(10237 - frame, 'c').c_str()}));
  ASSERT_EQ(canned.requests().size(), 1u);
  EXPECT_EQ(canned.requests()[0].size(), 10237u);
  for (const std::size_t length : {10238u, 10300u}) {
    EXPECT_FALSE(client.Kestrel_SetTargetColor("Cam1", {std::string(length - frame, 'c').c_str()}));
    const std::string refused =
        "Request too long:" + std::to_string(length) +
        " characters (at most 10237), not sent[Kestrel::Kestrel_SetTargetColor]";
    EXPECT_EQ(console.lines().back(), kestrel_test::Red("Kestrel", refused));
    EXPECT_EQ(client.Kestrel_GetErrorString(), refused);
  }
  EXPECT_EQ(canned.requests().size(), 1u);
}

const std::string k64 = "1." + std::string(62, '0');  // 64 characters: refused
const std::string k63 = "1." + std::string(61, '0');  // 63 characters: taken

struct Row {
  Call call;
  std::string reply;  // unframed
  bool ok;
  std::string outputs;
  std::string red;  // the last red line (UTF-8), "" for none
};

// A plain OK reply of a command, and the outputs it gives, is shown by the
// command-line client's test of every command (cli_test.cpp); these are the
// payloads around it and the failures.
const Row kRows[] = {
    // One number.
    {Gain, "GetGain,OK,abc", false, "-777", "Gain:abc，不能转换double"},
    {Gain, "GetGain,OK,1.25,2", false, "-777", "Gain:1.25,2，不能转换double"},
    {Exposure, "GetExposure,OK,x", false, "-777", "Exposure:x，不能转换double"},
    {Light, "GetIntensity,OK,2.5", false, "-777", "Intensity:2.5，不能转换int"},
    {Angle, "GetLineAngle,OK,", false, "-777", "Angle:，不能转换double"},
    // Two numbers joined by '&', X converted (and written) before Y.
    {Pt<Real>, "GetReal,OK,12.5", false, "12.5&-777", "RealPoint.Y:，不能转换double"},
    {Pt<Real>, "GetReal,OK,1&2&3", false, "1&-777", "RealPoint.Y:2&3，不能转换double"},
    {Pt<Real>, "GetReal,OK,", false, "-777&-777", "RealPoint.X:，不能转换double"},
    {Pt<Real>, "GetReal,OK," + k63 + "&" + k63, true, "1&1", ""},
    {Pt<Real>, "GetReal,OK,1&" + k64, false, "1&-777", "RealPoint.Y:" + k64 + "，不能转换double"},
    {Pt<Real>, "GetRuler,OK,1&2", false, "-777&-777",
     "UNKNOWN RECV COMMAND HEAD:GetRuler(GetReal)[Kestrel::Kestrel_GetReal]"},
    {Pt<Ruler>, "GetRuler,OK,1&y", false, "1&-777", "RulerPoint.Y:y，不能转换double"},
    {Pt<ByPixel>, "GetRealByPixelPoint,OK,x&2", false, "-777&-777",
     "RealPoint.X:x，不能转换double"},
    {Pt<TargetCam>, "CovertPointCameraAToB,OK,1&y", false, "1&-777", "res.Y:y，不能转换double"},
    {Pt<Another>, "MwCalAnotherPointReal,OK,1&y", false, "1&-777", "tarPoint.Y:y，不能转换double"},
    {Pt<Rotated>, "GetPointAfterRotate_Real,OK,1&y", false, "1&-777",
     "PointAfterRotate.Y:y，不能转换double"},
    {Two<&Kestrel::Kestrel_GetRotateCenter>, "GetRotateCenter,OK,512.25&y", false, "512.25 -777",
     "Center_Y:y，不能转换double"},
    // The scale's two lines name the whole payload.
    {Two<&Kestrel::Kestrel_GetCameraScale>, "GetScale,OK,0.0025&x", false, "0.0025 -777",
     "scaleY:0.0025&x，不能转换double"},
    // Auto focus: the text (commas and all, cut to 511) is written before the value converts.
    {Focus, "AutoFocus,OK,12.345,a,b", true, "12.345 a,b", ""},
    {Focus, "AutoFocus,OK,abc,done", false, "-777 done", "res.X:abc，不能转换double"},
    {Focus, "AutoFocus,OK,1," + std::string(600, 't'), true, "1 " + std::string(511, 't'), ""},
    {Focus, "AutoFocus,NG,lens error", false, "-777 old",
     "ERRMESSAGE:lens error[Kestrel::Kestrel_AutoFocus]"},
    // Match lists: the count first, then exactly that many entries; each list
    // grows as its own field converts. Emptied before anything is sent.
    {Matches, "Template_Match,OK,0", true, "0 [ ] [ ] [ ]", ""},
    {Matches, "Template_Match,OK,-2", true, "-2 [ ] [ ] [ ]", ""},
    {Matches, "Template_Match,OK,1,1&2&3&0.9&7", true, "1 [ 1&2 ] [ 3 ] [ 0.9 ]", ""},
    {Matches, "Template_Match,OK,1,1&2&3&0.9,5&6&7&0.8", true, "1 [ 1&2 ] [ 3 ] [ 0.9 ]", ""},
    {Matches, "Template_Match,OK,2,1&2&3&0.9", false, "2 [ 1&2 ] [ 3 ] [ 0.9 ]",
     "Center.X:，不能转换double"},
    {Matches, "Template_Match,OK,1,1&2&x&0.9", false, "1 [ 1&2 ] [ ] [ ]",
     "Angle:x，不能转换double"},
    {Matches, "Template_Match,OK,1,1&2&3", false, "1 [ 1&2 ] [ 3 ] [ ]", "Scores:，不能转换double"},
    {Matches, "Template_Match,OK,1,1", false, "1 [ ] [ ] [ ]", "Center.Y:，不能转换double"},
    {Matches, "Template_Match,OK,n,1&2&3&4", false, "-99 [ ] [ ] [ ]", "Length:n，不能转换int"},
    {Matches, "", false, "-99 [ ] [ ] [ ]", "Net:127.0.0.1:8000 fail."},
    // One match: the best score (strictly greater than every one before it
    // and than 0) or the first entry; the verdict is the multiple match's.
    {First, "SmallCellTemMatch,OK,2,1&1&0&0.7,2&2&0&0.9", true, "1&1 0 0.7", ""},
    {Best, "Template_Match,OK,2,1&1&0&0.9,2&2&0&0.9", true, "1&1 0 0.9", ""},
    {Best, "Template_Match,OK,1,1&1&0&-0.5", true, "-777&-777 -777 0", ""},
    {First, "SmallCellTemMatch,OK,1,1&1&0&-0.5", true, "1&1 0 -0.5", ""},
    {Best, "Template_Match,OK,0", false, "-777&-777 -777 0", ""},
    {First, "SmallCellTemMatch,OK,0", false, "-777&-777 -777 0", ""},
    {Best, "Template_Match,OK,2,1&1&0&0.8,x", false, "1&1 0 0.8", "Center.X:x，不能转换double"},
    {First, "SmallCellTemMatch,OK,2,1&1&0&0.8,x", false, "-777&-777 -777 0",
     "Center.X:x，不能转换double"},
    {Best, "Template_Match,OK,2,1&1&0&0.5,9&9&bad&0.9", false, "1&1 0 0.5",
     "Angle:bad，不能转换double"},
    {Best, "Template_Match,OK,1,1&2&3&0.5,7&8&9&0.99", true, "1&2 3 0.5", ""},
    {Best, "Template_Match,NG,no template, here", false, "-777&-777 -777 0",
     "ERRMESSAGE:no template, here[Kestrel::Kestrel_MultTemplate_Match]"},
    // Wafer edge: walked by the payload, then checked against the count; an
    // entry over 63 characters is refused in the field its cut falls into.
    {Edge, "WaferEdge,OK,0", true, "[ ]", ""},
    {Edge, "WaferEdge,OK,2,1&2,3&4,", true, "[ 1&2 3&4 ]", ""},
    {Edge, "WaferEdge,OK,3,1&2,3&4", false, "[ 1&2 3&4 ]", "Edges Length:3，解析后长度:2 不一致."},
    {Edge, "WaferEdge,OK,1,1&2,3&4", false, "[ 1&2 3&4 ]", "Edges Length:1，解析后长度:2 不一致."},
    {Edge, "WaferEdge,OK,-1", false, "[ ]", "Edges Length:-1，解析后长度:0 不一致."},
    {Edge, "WaferEdge,OK,1,5", false, "[ ]", "edge_point.Y:，不能转换double"},
    {Edge, "WaferEdge,OK,2,1&2,,3&4", false, "[ 1&2 ]", "edge_point.X:，不能转换double"},
    {Edge, "WaferEdge,OK,x,1&2", false, "[ ]", "Length:x，不能转换int"},
    {Edge, "WaferEdge,OK,1," + std::string(30, '1') + "&2." + std::string(40, '0'), false, "[ ]",
     "edge_point.Y:2." + std::string(31, '0') + "，不能转换double"},  // as cut, 64 characters
    {Edge, "WaferEdge,NG,no wafer", false, "[ 9&9 ]",
     "ERRMESSAGE:no wafer[Kestrel::Kestrel_WaferEdge]"},
    // Kerf check: eight fields in order, the last taking the rest.
    {KerfCheck, "KerfCheck,OK,1.5,30.2,41.7", false, "1.5 30.2 41.7 -777 -777 -777 -777 -777",
     "CenterChippDistance:，不能转换double"},
    {KerfCheck, "KerfCheck,OK,1,2,3,4,5,6,7,8.0,9.0", false, "1 2 3 4 5 6 7 -777",
     "kerfWidthWithChipp2:8.0,9.0，不能转换double"},
    {KerfCheck, "KerfCheck,OK,1.5,x,3,4,5,6,7,8", false, "1.5 -777 -777 -777 -777 -777 -777 -777",
     "KerfWidthWithoutChipp:x，不能转换double"},
    {KerfCheck, "KerfCheck,OK,1,2,3,4,5,6,q,8", false, "1 2 3 4 5 6 -777 -777",
     "KerfMeasure7:q，不能转换double"},
    {KerfCheck, "KerfCheck,OK,c,2,3,4,5,6,7,8", false, "-777 -777 -777 -777 -777 -777 -777 -777",
     "Center:c，不能转换double"},
    {KerfCheck, "KerfCheck,OK,1,2,x,4,5,6,7,8", false, "1 2 -777 -777 -777 -777 -777 -777",
     "KerfWidthWithChipp:x，不能转换double"},
    {KerfCheck, "KerfCheck,OK,1,2,3,4,w,6,7,8", false, "1 2 3 4 -777 -777 -777 -777",
     "ChippSizeWidth:w，不能转换double"},
    {KerfCheck, "KerfCheck,OK,1,2,3,4,5,h,7,8", false, "1 2 3 4 5 -777 -777 -777",
     "ChippSizeHeight:h，不能转换double"},
    // The LG kerf check sends nothing and changes nothing.
    {Kerf<&Kestrel::Kestrel_LGKerfCheck>, "", true, "-777 -777 -777 -777 -777 -777 -777 -777", ""},
    // Circle fit: "cx&cy,radius"; anything after a further ',' is ignored.
    {Circle, "FixCircle,OK,1&2,3,4", true, "1&2 3", ""},
    {Circle, "FixCircle,OK,1&2,r", false, "1&2 -777", "Radius:r，不能转换double"},
    {Circle, "FixCircle,OK,1,2,3", false, "-777&-777 -777", "Center.X:1,2,3，不能转换double"},
};

TEST(Replies, EveryPayloadShapeAndWhatItsFailuresLeave) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.reply);
    Kestrel client;
    CannedReplies canned(client);
    canned.core().set_error({"earlier"});
    if (!row.reply.empty()) canned.Reply(row.reply);
    ConsoleCapture console;
    Shown shown;
    row.call(client, shown);
    EXPECT_EQ(shown.ok, row.ok);
    EXPECT_EQ(shown.out.str(), row.outputs);
    const std::vector<std::string> red = console.texts(Corvus::HeraldColor::Red);
    EXPECT_EQ(red.empty() ? "" : red.back(), Gbk(row.red));
    // A conversion or count failure (its line has a full-width comma) leaves
    // the error text as it was.
    if (row.red.empty() || row.red.find("，") != std::string::npos) {
      EXPECT_STREQ(client.Kestrel_GetErrorString(), "earlier");
    }
  }
}

// ---- Memory running out ------------------------------------------------------

// Allocations above this many bytes fail while it is not 0: a long list or
// text in a reply cannot get its memory, short things still can.
std::atomic<std::size_t> fail_above{0};

// The last red line, kept without allocating.
char last_red[512];
void KeepLastRed(Corvus::HeraldColor color, const char*, const char* text, void*) {
  if (color == Corvus::HeraldColor::Red) std::snprintf(last_red, sizeof last_red, "%s", text);
}

// Lists made before the allocator fails and moved into the by-value
// parameter, so that the caller's copy needs no memory.
std::vector<Point> long_circle(2000, Point{1, 2});
std::vector<const char*> long_colours(3000, "red");
void LongCircle(Kestrel& k, Shown& s) {
  Point center;
  double radius;
  s.ok = k.Kestrel_FixCircle(std::move(long_circle), center, radius);
}
void LongColours(Kestrel& k, Shown& s) {
  s.ok = k.Kestrel_SetTargetColor("C", std::move(long_colours));
}

std::string Repeat(std::string head, int n, const std::string& item) {
  for (int i = 0; i < n; ++i) head += item;
  return head;
}

TEST(OutOfMemory, EndsTheOperationWithARedLineAndFalse) {
#ifdef _WIN32
  GTEST_SKIP() << "the DLL's allocations do not go through this program's operator new";
#endif
  const struct {
    Call call;
    std::string reply, red;
    std::string error = "earlier";  // afterwards, when a reply came (else the red line)
  } cases[] = {
      {Edge, Repeat("WaferEdge,OK,100", 100, ",1&2"), "Out of memory[Kestrel::Kestrel_WaferEdge]"},
      {Matches, Repeat("Template_Match,OK,40", 40, ",1&1&0&0.5"),
       "Out of memory[Kestrel::Kestrel_MultTemplate_Match]"},
      {Focus, "AutoFocus,OK,1," + std::string(400, 't'),
       "Out of memory[Kestrel::Kestrel_AutoFocus]"},
      // An NG's error text takes no memory.
      {Gain, "GetGain,NG," + std::string(300, 'e'),
       "ERRMESSAGE:" + std::string(300, 'e') + "[Kestrel::Kestrel_GetGain]", std::string(300, 'e')},
      // Long lists are measured, not built: refused without a large allocation.
      {LongCircle, "",
       "Request too long:36016 characters (at most 10237), not sent[Kestrel::Kestrel_FixCircle]"},
      {LongColours, "",
       "Request too long:12017 characters (at most 10237), not "
       "sent[Kestrel::Kestrel_SetTargetColor]"},
  };
  Corvus::Herald_Set_Sink(&KeepLastRed, nullptr);
  for (const auto& c : cases) {
    Kestrel client;
    CannedReplies canned(client);
    canned.core().set_error({"earlier"});
    if (!c.reply.empty()) canned.Reply(c.reply);
    Shown shown;
    last_red[0] = '\0';
    fail_above = 256;
    c.call(client, shown);
    fail_above = 0;
    EXPECT_FALSE(shown.ok) << c.red;
    EXPECT_EQ(last_red, c.red);
    EXPECT_EQ(client.Kestrel_GetErrorString(), c.reply.empty() ? c.red : c.error);
    EXPECT_EQ(kestrel::LastFailure(client) == kestrel::Failure::kOutOfMemory,
              c.red.rfind("Out of memory", 0) == 0);  // the kind as well as the red line
  }
  Corvus::Herald_Set_Sink(nullptr, nullptr);
}

}  // namespace

// Replaces the program's allocator so that fail_above can make it fail.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  const std::size_t limit = fail_above.load(std::memory_order_relaxed);
  if (limit != 0 && size > limit) throw std::bad_alloc();
  if (void* p = std::malloc(size != 0 ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
