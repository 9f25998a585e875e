#include "workloads.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "alloc_count.h"
#include "catalogue/catalogue.h"
#include "kestrel/host.h"

namespace kbench {

namespace {

constexpr double kPi = 3.14159265358979323846;

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// 600 edge points round (50, 50), radius 8: every entry "dd.dddd&dd.dddd",
// 9.6 KB in all.
std::string WaferEdgeReply(std::vector<Point>& points) {
  std::string reply = "<WaferEdge,OK,600";
  points.clear();
  for (int i = 0; i < 600; ++i) {
    const double a = 2.0 * kPi * i / 600.0;
    const std::string x = Format("%.4f", 50.0 + 8.0 * std::cos(a));
    const std::string y = Format("%.4f", 50.0 + 8.0 * std::sin(a));
    reply += ',';
    reply += x;
    reply += '&';
    reply += y;
    points.push_back({std::strtod(x.c_str(), nullptr), std::strtod(y.c_str(), nullptr)});
  }
  return reply + ">\r\n";
}

// 150 matches "x&y&angle&score", each number with ten decimals: 8.9 KB.
std::string TemplateReply(std::vector<double>& last) {
  std::string reply = "<Template_Match,OK,150";
  for (int i = 0; i < 150; ++i) {
    const std::string f[4] = {
        Format("%.10f", 1000.0 + 64.0 * (i % 8) + 0.123456789),
        Format("%.10f", 800.0 + 64.0 * (i / 8) + 0.987654321),
        Format("%.10f", 0.05 * ((i * 7) % 11 - 5)),
        Format("%.10f", 0.98 - 0.4 * i / (i + 10.0))};
    reply += ',';
    reply += f[0] + '&' + f[1] + '&' + f[2] + '&' + f[3];
    last.clear();
    for (const auto& t : f) last.push_back(std::strtod(t.c_str(), nullptr));
  }
  return reply + ">\r\n";
}

// 500 points round (5, 5), radius 3: each coordinate "d.dddddd" as %f
// writes it, a 9 KB request.
std::vector<Point> CirclePoints() {
  std::vector<Point> points;
  for (int i = 0; i < 500; ++i) {
    const double a = 2.0 * kPi * i / 500.0;
    points.push_back({5.0 + 3.0 * std::cos(a), 5.0 + 3.0 * std::sin(a)});
  }
  return points;
}

std::size_t CountNumbers(const std::string& payload) {
  std::size_t n = 0;
  const char* p = payload.c_str();
  while (*p != '\0') {
    char* end = nullptr;
    std::strtod(p, &end);
    if (end == p) break;
    ++n;
    p = end;
    if (*p != '\0') ++p;
  }
  return n;
}

}  // namespace

std::string Workload::payload() const {
  const std::string text = unframed();
  const std::size_t first = text.find(',');
  const std::size_t second = text.find(',', first + 1);
  return second == std::string::npos ? std::string() : text.substr(second + 1);
}

CannedExchange::CannedExchange(Kestrel& client, const std::string& unframed,
                               std::string* captured)
    : core_(kestrel::KestrelCoreAccess::of(client)),
      previous_(core_.exchange),
      previous_context_(core_.exchange_context),
      unframed_(unframed),
      captured_(captured) {
  core_.exchange = &CannedExchange::Exchange;
  core_.exchange_context = this;
}

CannedExchange::~CannedExchange() {
  core_.exchange = previous_;
  core_.exchange_context = previous_context_;
}

kestrel::Exchange CannedExchange::Exchange(KestrelCore& core, char* request, char* reply) {
  auto* self = static_cast<CannedExchange*>(core.exchange_context);
  if (self->captured_ != nullptr) self->captured_->assign(request);
  const std::size_t n = self->unframed_.size();
  if (n >= static_cast<std::size_t>(kestrel::kTextCapacity)) return kestrel::Exchange::kUnframed;
  std::memcpy(reply, self->unframed_.c_str(), n + 1);
  return kestrel::Exchange::kReplied;
}

bool BuildWorkloads(std::vector<Workload>& out, std::string& why) {
  out.clear();
  const auto add = [&out](const char* name, const char* word, std::string reply,
                          std::function<bool(Kestrel&)> call) {
    out.push_back({name, word, std::move(reply), {}, 0, std::move(call)});
  };
  auto real = std::make_shared<Point>();
  add("GetReal", "GetReal", "<GetReal,OK,2.561250&1.920625>\r\n", [real](Kestrel& k) {
    return k.Kestrel_GetReal("Cam1", Point{1024.5, 768.25}, *real) && real->X == 2.56125 &&
           real->Y == 1.920625;
  });
  auto expected = std::make_shared<std::vector<Point>>();
  auto points = std::make_shared<std::vector<Point>>();
  add("WaferEdge600", "WaferEdge", WaferEdgeReply(*expected), [points, expected](Kestrel& k) {
    return k.Kestrel_WaferEdge("Cam1", "edge", Point{0.0, 0.0}, true, 0, 0, *points) &&
           points->size() == 600 && points->back().X == expected->back().X &&
           points->back().Y == expected->back().Y && (*points)[300].X == (*expected)[300].X;
  });
  struct Matches {
    int count = 0;
    std::vector<Point> centers;
    std::vector<double> angles, scores;
  };
  auto last = std::make_shared<std::vector<double>>();
  auto o = std::make_shared<Matches>();
  add("MultTemplateMatch150", "Template_Match", TemplateReply(*last), [o, last](Kestrel& k) {
    return k.Kestrel_MultTemplate_Match("Cam1", "Mark", 150, "region", Point{512.0, 384.0}, 0.8,
                                        o->count, o->centers, o->angles, o->scores, true, false,
                                        "fast", 0.0, 0.0, 0.0) &&
           o->count == 150 && o->scores.size() == 150 && o->centers.back().X == (*last)[0] &&
           o->centers.back().Y == (*last)[1] && o->angles.back() == (*last)[2] &&
           o->scores.back() == (*last)[3];
  });
  auto circle = std::make_shared<const std::vector<Point>>(CirclePoints());
  auto center = std::make_shared<Point>();
  auto radius = std::make_shared<double>();
  add("FixCircle500", "FixCircle", "<FixCircle,OK,5.000000&5.000000,3.000000>\r\n",
      [circle, center, radius](Kestrel& k) {
        return k.Kestrel_FixCircle(*circle, *center, *radius) && *radius == 3.0 &&
               center->X == 5.0 && center->Y == 5.0;
      });
  // Capture the exact request of each call and check that it succeeds on
  // its own reply.
  for (Workload& w : out) {
    w.numbers = CountNumbers(w.payload());
    Kestrel client;
    std::string captured;
    const std::string unframed = w.unframed();
    bool ok = false;
    {
      CannedExchange canned(client, unframed, &captured);
      ok = w.call(client);
    }
    if (!ok) {
      why = w.name + " does not succeed on its own reply";
      return false;
    }
    if (captured.size() > static_cast<std::size_t>(kestrel::kMaxRequestLength)) {
      why = w.name + " request does not fit";
      return false;
    }
    w.request = captured + "\r\n";
  }
  return true;
}

ReplyTable ServerReplies(const std::vector<Workload>& all) {
  ReplyTable table;
  for (const Workload& w : all) table.emplace_back(w.word, w.reply);
  for (const kestrel::catalogue::Command& cmd : kestrel::catalogue::Commands()) {
    const std::string word = cmd.word;
    const auto known = [&](const auto& entry) { return entry.first == word; };
    if (word.empty() || std::any_of(table.begin(), table.end(), known)) continue;
    table.emplace_back(word, "<" + word + ",OK," + cmd.sample + ">\r\n");
  }
  return table;
}

namespace {

unsigned long Count(const std::function<bool()>& call, bool& ok) {
  const Allocations before = thread_allocations();
  ok = call();
  const Allocations after = thread_allocations();
  return static_cast<unsigned long>(after.mallocs - before.mallocs);
}

}  // namespace

std::vector<AllocationAudit> AuditAllocations(int port) {
  Kestrel k;
  std::vector<AllocationAudit> audit;
  if (!k.Kestrel_Connect_Port("127.0.0.1", port)) return audit;
  double d = 0.0, d2 = 0.0;
  int n = 0;
  Point p;
  Point q{1.0, 2.0};
  std::string text;
  std::vector<Point> points;
  std::vector<double> angles, scores;
  const std::vector<const char*> colors{"red", "green", "blue"};
  const std::vector<Point> circle = CirclePoints();
  double kerf[8];
  auto kerf_call = [&] {
    return k.Kestrel_KerfCheck("Cam1", "Kerf", "Region", 1, 30, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 19,
                               12, 13, 14, 15, 16, 17, 18, kerf[0], kerf[1], kerf[2], kerf[3],
                               kerf[4], kerf[5], kerf[6], kerf[7], true, "fast");
  };
  struct Op {
    const char* name;
    std::function<bool()> call;
    std::function<bool()> fresh;  // with fresh outputs; empty for fixed outputs
  };
  const Op ops[] = {
      {"Kestrel_SetGain", [&] { return k.Kestrel_SetGain("Cam1", 1.5); }, {}},
      {"Kestrel_SetExposure", [&] { return k.Kestrel_SetExposure("Cam1", 1e4); }, {}},
      {"Kestrel_SetLight", [&] { return k.Kestrel_SetLight("Cam1", 128); }, {}},
      {"Kestrel_SetLightAndExposure",
       [&] { return k.Kestrel_SetLightAndExposure("Cam1", "Light1", 128, true); }, {}},
      {"Kestrel_GetGain", [&] { return k.Kestrel_GetGain("Cam1", d); }, {}},
      {"Kestrel_GetExposure", [&] { return k.Kestrel_GetExposure("Cam1", d); }, {}},
      {"Kestrel_GetLight", [&] { return k.Kestrel_GetLight("Cam1", n); }, {}},
      {"Kestrel_StartGrab", [&] { return k.Kestrel_StartGrab("Cam1"); }, {}},
      {"Kestrel_StopGrab", [&] { return k.Kestrel_StopGrab("Cam1"); }, {}},
      {"Kestrel_ClearCameraIamge", [&] { return k.Kestrel_ClearCameraIamge("Cam1"); }, {}},
      {"Kestrel_GetCameraScale", [&] { return k.Kestrel_GetCameraScale("Cam1", d, d2); }, {}},
      {"Kestrel_SwitchToCamera", [&] { return k.Kestrel_SwitchToCamera("Cam1", "Win1"); }, {}},
      {"Kestrel_SetCamControlVisiable",
       [&] { return k.Kestrel_SetCamControlVisiable("Cam1", "Win1", true); }, {}},
      {"Kestrel_ShowCutLine", [&] { return k.Kestrel_ShowCutLine("Cam1", 0.03); }, {}},
      {"Kestrel_Template_Create",
       [&] { return k.Kestrel_Template_Create("Cam1", "Mark", "region", 1); }, {}},
      {"Kestrel_Template_Match",
       [&] {
         return k.Kestrel_Template_Match("Cam1", "Mark", "region", q, 0.8, p, d, d2, true, false,
                                         "fast");
       },
       {}},
      {"Kestrel_Template_Match_SCell",
       [&] {
         return k.Kestrel_Template_Match_SCell("Cam1", "Mark", "region", q, 0.8, p, d, d2, true,
                                               false, "fast");
       },
       {}},
      {"Kestrel_KerfCheck", kerf_call, {}},
      {"Kestrel_GetReal", [&] { return k.Kestrel_GetReal("Cam1", q, p); }, {}},
      {"Kestrel_GetRuler", [&] { return k.Kestrel_GetRuler("Cam1", q, p); }, {}},
      {"Kestrel_GetRealByPixelPoint",
       [&] { return k.Kestrel_GetRealByPixelPoint("Cam1", q, q, p); }, {}},
      {"Kestrel_GetTargetCamReal",
       [&] { return k.Kestrel_GetTargetCamReal("Cam1", "Cam2", q, p); }, {}},
      {"Kestrel_MwCalAnotherPointReal",
       [&] { return k.Kestrel_MwCalAnotherPointReal("Cam1", q, 1.0, 2.0, p); }, {}},
      {"Kestrel_GetRotateCenter", [&] { return k.Kestrel_GetRotateCenter("Cam1", d, d2); }, {}},
      {"Kestrel_GetLineAngle", [&] { return k.Kestrel_GetLineAngle(q, q, d); }, {}},
      {"Kestrel_GetPointAfterRotate_Real",
       [&] { return k.Kestrel_GetPointAfterRotate_Real(q, q, 30.0, p); }, {}},
      // Operations that take or fill vectors or texts.
      {"Kestrel_AutoFocus",
       [&] { return k.Kestrel_AutoFocus("Cam1", 1, 1, 2, 3, 4, 5, d, text, false); },
       [&] {
         std::string fresh;
         return k.Kestrel_AutoFocus("Cam1", 1, 1, 2, 3, 4, 5, d, fresh, false);
       }},
      {"Kestrel_SetTargetColor", [&] { return k.Kestrel_SetTargetColor("Cam1", colors); }, {}},
      {"Kestrel_WaferEdge",
       [&] { return k.Kestrel_WaferEdge("Cam1", "edge", q, true, 0, 0, points); },
       [&] {
         std::vector<Point> fresh;
         return k.Kestrel_WaferEdge("Cam1", "edge", q, true, 0, 0, fresh);
       }},
      {"Kestrel_MultTemplate_Match",
       [&] {
         return k.Kestrel_MultTemplate_Match("Cam1", "Mark", 150, "region", q, 0.8, n, points,
                                             angles, scores, true, false, "fast", 0, 0, 0);
       },
       [&] {
         std::vector<Point> c;
         std::vector<double> a, s;
         return k.Kestrel_MultTemplate_Match("Cam1", "Mark", 150, "region", q, 0.8, n, c, a, s,
                                             true, false, "fast", 0, 0, 0);
       }},
      {"Kestrel_FixCircle", [&] { return k.Kestrel_FixCircle(circle, p, d); }, {}},
  };
  for (const Op& op : ops) {
    AllocationAudit a;
    a.operation = op.name;
    bool ok1 = false, ok2 = false;
    Count(op.call, ok1);
    Count(op.call, ok2);
    a.allocations = Count(op.call, a.ok);
    a.ok = a.ok && ok1 && ok2;
    a.fresh = a.allocations;
    if (op.fresh) {
      bool ok = false;
      a.fresh = Count(op.fresh, ok);
      a.ok = a.ok && ok;
    }
    audit.push_back(a);
  }
  k.Kestrel_Disconnect_Port();
  return audit;
}

}  // namespace kbench
