// The C interface over the class: argument checks, conversions of points,
// lists and texts, and a try/catch around every entry so that nothing is
// thrown into a C host.
#include "kestrel/kestrel_c.h"

#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "host/gbk.h"
#include "core/record.h"
#include "kestrel/failure.h"
#include "kestrel/host.h"

#ifndef KESTREL_VERSION_TEXT
#define KESTREL_VERSION_TEXT "unknown"
#endif

struct kestrel_procedure {
  explicit kestrel_procedure(const char* name) : procedure(name) {}
  Corvus::Procedure procedure;
};

struct kestrel_client {
  kestrel_client() = default;
  explicit kestrel_client(Corvus::Procedure* procedure) : cpp(procedure) {}
  Kestrel cpp;
};

namespace {

using kestrel::Failure;

KestrelCore& core_of(kestrel_client* client) { return kestrel::KestrelCoreAccess::of(client->cpp); }

Point to_cpp(kestrel_point p) { return Point{p.x, p.y}; }
kestrel_point to_c(const Point& p) { return kestrel_point{p.X, p.Y}; }

// Copies `length` bytes of `text` into `buffer` as snprintf would (cut to
// size - 1, NUL-terminated when size > 0) and returns `length`.
std::size_t copy_text(const char* text, std::size_t length, char* buffer, std::size_t size) {
  if (buffer != nullptr && size > 0) {
    const std::size_t kept = length < size ? length : size - 1;
    std::memcpy(buffer, text, kept);
    buffer[kept] = '\0';
  }
  return length;
}

// The argument checks of one call: the first refused argument fails the call
// with KESTREL_BAD_ARGUMENT and an error text naming the function and it.
class Check {
 public:
  Check(kestrel_client* client, const char* function) : client_(client), function_(function) {}

  // A text in or an output: not NULL.
  bool given(const void* argument, const char* name) {
    return argument != nullptr || refuse(name, " is NULL");
  }
  // An array: NULL only with no entries.
  bool array(const void* argument, std::size_t entries, const char* name) {
    return argument != nullptr || entries == 0 || refuse(name, " is NULL with a nonzero size");
  }
  // Every text of a list of texts.
  bool texts(const char* const* list, std::size_t count, const char* name) {
    if (!array(list, count, name)) return false;
    for (std::size_t i = 0; i < count; ++i) {
      if (list[i] == nullptr) return refuse(name, " holds a NULL text");
    }
    return true;
  }
  // After a successful call: the caller's room for a list or a text.
  bool room(std::size_t needed, std::size_t capacity, const char* name) {
    if (needed <= capacity) return true;
    char detail[128];
    std::snprintf(detail, sizeof detail, " too small: room for %zu, %zu needed", capacity,
                  needed);
    return refuse(name, detail);
  }

 private:
  bool refuse(const char* name, const char* detail) {
    KestrelCore& core = core_of(client_);
    core.set_failure(Failure::kBadArgument);
    core.set_error({function_, ": ", name, detail});
    return false;
  }

  kestrel_client* client_;
  const char* function_;
};

// Runs one entry: 0 for a NULL client; the kind starts as KESTREL_OK; an
// exception ends the call as out of memory (the class throws nothing else,
// and nothing reaches the host).
template <typename Body>
int call(kestrel_client* client, const char* function, Body&& body) noexcept {
  if (client == nullptr) return 0;
  try {
    core_of(client).set_failure(Failure::kOk);
    Check check(client, function);
    return body(check) ? 1 : 0;
  } catch (...) {
    KestrelCore& core = core_of(client);
    core.set_failure(Failure::kOutOfMemory);
    core.set_error({function, ": out of memory"});
    return 0;
  }
}

// Hands a list out: the full count, the first `capacity` entries, a failure
// when they do not all fit.
template <typename From, typename To, typename Convert>
bool list_out(Check& check, bool ok, const std::vector<From>& from, To* to, std::size_t capacity,
              std::size_t* count, const char* name, Convert convert) {
  *count = from.size();
  for (std::size_t i = 0; i < from.size() && i < capacity; ++i) to[i] = convert(from[i]);
  return ok && check.room(from.size(), capacity, name);
}

// ---- Console: a sink of the host's, or a queue of recent lines ----------------

struct QueuedLine {
  int colour;
  std::string title;
  std::string text;
};

struct Console {
  std::mutex mutex;
  kestrel_console_sink sink = nullptr;
  void* user = nullptr;
  std::size_t capacity = 0;  // of the queue; 0: no queue
  std::deque<QueuedLine> lines;
};

Console& console() {
  static Console* instance = new Console;  // never destroyed: lines may come during exit
  return *instance;
}

void receive(Corvus::HeraldColor colour, const char* title, const char* text, void*) {
  Console& c = console();
  kestrel_console_sink sink;
  void* user;
  {
    std::lock_guard<std::mutex> hold(c.mutex);
    sink = c.sink;
    user = c.user;
    if (sink == nullptr && c.capacity > 0) {
      try {
        if (c.lines.size() == c.capacity) c.lines.pop_front();
        c.lines.push_back(QueuedLine{static_cast<int>(colour), title ? title : "", text ? text : ""});
      } catch (...) {
        // A line that cannot be kept is dropped.
      }
      return;
    }
  }
  if (sink != nullptr) {
    sink(static_cast<int>(colour), title ? title : "", text ? text : "",
         text ? std::strlen(text) : 0, user);
  }
}

constexpr std::size_t kMostQueuedLines = 4096;

kestrel_client* titled(kestrel_client* client, const char* title) {
  if (client != nullptr && title != nullptr) {
    KestrelCore& core = core_of(client);
    std::snprintf(core.title, sizeof core.title, "%s", title);
  }
  return client;
}

}  // namespace

// Every definition below has the C linkage of its declaration in kestrel_c.h.

// ---- Library -------------------------------------------------------------------

const char* kestrel_version(void) { return KESTREL_VERSION_TEXT; }

const char* kestrel_failure_name(kestrel_failure failure) {
  return kestrel::FailureName(static_cast<Failure>(failure));
}

// ---- Procedures and clients ---------------------------------------------------

kestrel_procedure* kestrel_procedure_new(const char* name) {
  return new (std::nothrow) kestrel_procedure(name);
}

void kestrel_procedure_free(kestrel_procedure* procedure) { delete procedure; }

int kestrel_procedure_set_abort(kestrel_procedure* procedure, int raised) {
  if (procedure == nullptr) return 0;
  procedure->procedure.Routine_Set_Abort_Flag(raised != 0);
  return 1;
}

int kestrel_procedure_set_plant_abort(kestrel_procedure* procedure, int raised) {
  if (procedure == nullptr) return 0;
  procedure->procedure.Plant_Abort_Manager_Set(raised != 0);
  return 1;
}

kestrel_client* kestrel_client_new(const char* title) {
  try {
    return titled(new kestrel_client, title);
  } catch (...) {
    return nullptr;
  }
}

kestrel_client* kestrel_client_new_in(kestrel_procedure* procedure, const char* title) {
  if (procedure == nullptr) return nullptr;
  try {
    return titled(new kestrel_client(&procedure->procedure), title);
  } catch (...) {
    return nullptr;
  }
}

void kestrel_client_free(kestrel_client* client) { delete client; }

// ---- Errors ----------------------------------------------------------------------

kestrel_failure kestrel_last_failure(const kestrel_client* client) {
  if (client == nullptr) return KESTREL_BAD_ARGUMENT;
  return static_cast<kestrel_failure>(kestrel::LastFailure(client->cpp));
}

size_t kestrel_error_text(const kestrel_client* client, char* buffer, size_t size) {
  const char* text = client ? kestrel::KestrelCoreAccess::of(client->cpp).error() : "";
  return copy_text(text, std::strlen(text), buffer, size);
}

size_t kestrel_error_text_utf8(const kestrel_client* client, char* buffer, size_t size) {
  const char* text = client ? kestrel::KestrelCoreAccess::of(client->cpp).error() : "";
  try {
    const std::string utf8 = Corvus::gbk::ToUtf8(std::string_view(text, std::strlen(text)));
    return copy_text(utf8.data(), utf8.size(), buffer, size);
  } catch (...) {
    return copy_text("", 0, buffer, size);
  }
}

void kestrel_clear_error(kestrel_client* client) {
  if (client == nullptr) return;
  core_of(client).clear_error();
  core_of(client).set_failure(Failure::kOk);
}

// ---- Console ----------------------------------------------------------------------

int kestrel_set_console_sink(kestrel_console_sink sink, void* user) {
  Console& c = console();
  {
    std::lock_guard<std::mutex> hold(c.mutex);
    c.sink = sink;
    c.user = user;
    c.capacity = 0;
    c.lines.clear();
  }
  // Outside the console's lock: the printer calls `receive` under its own.
  Corvus::Herald_Set_Sink(sink != nullptr ? &receive : nullptr, nullptr);
  return 1;
}

int kestrel_queue_console(size_t capacity) {
  if (capacity > kMostQueuedLines) capacity = kMostQueuedLines;
  Console& c = console();
  {
    std::lock_guard<std::mutex> hold(c.mutex);
    c.sink = nullptr;
    c.user = nullptr;
    c.capacity = capacity;
    while (c.lines.size() > capacity) c.lines.pop_front();
  }
  Corvus::Herald_Set_Sink(capacity > 0 ? &receive : nullptr, nullptr);
  return 1;
}

int kestrel_next_console_line(int* colour, char* title, size_t title_size, char* text,
                              size_t text_size, size_t* length) {
  Console& c = console();
  std::lock_guard<std::mutex> hold(c.mutex);
  if (c.lines.empty()) return 0;
  const QueuedLine& line = c.lines.front();
  if (colour != nullptr) *colour = line.colour;
  copy_text(line.title.data(), line.title.size(), title, title_size);
  const std::size_t full = copy_text(line.text.data(), line.text.size(), text, text_size);
  if (length != nullptr) *length = full;
  c.lines.pop_front();
  return 1;
}

// ---- Connection ----------------------------------------------------------------------

int kestrel_connect(kestrel_client* client, const char* address, int port) {
  return call(client, __func__, [&](Check& check) {
    return check.given(address, "address") && client->cpp.Kestrel_Connect_Port(address, port);
  });
}

int kestrel_disconnect(kestrel_client* client) {
  return call(client, __func__, [&](Check&) { return client->cpp.Kestrel_Disconnect_Port(); });
}

int kestrel_reconnect(kestrel_client* client) {
  return call(client, __func__, [&](Check&) { return client->cpp.Kestrel_Reconnect_Port(); });
}

int kestrel_connected(kestrel_client* client) {
  return call(client, __func__, [&](Check&) { return client->cpp.Kestrel_Connect_Status(); });
}

// ---- Wait limit ------------------------------------------------------------------------

int kestrel_set_timeout(kestrel_client* client, int ms) {
  return call(client, __func__, [&](Check&) {
    client->cpp.Kestrel_SetTimeout(ms);
    return true;
  });
}

int kestrel_get_timeout(kestrel_client* client, int* ms) {
  return call(client, __func__, [&](Check& check) {
    if (!check.given(ms, "ms")) return false;
    *ms = client->cpp.Kestrel_GetTimeout();
    return true;
  });
}

// ---- Camera parameters -----------------------------------------------------------------

int kestrel_set_gain(kestrel_client* client, const char* camera, double gain) {
  return call(client, __func__, [&](Check& check) {
    return check.given(camera, "camera") && client->cpp.Kestrel_SetGain(camera, gain);
  });
}

int kestrel_set_exposure(kestrel_client* client, const char* camera, double exposure) {
  return call(client, __func__, [&](Check& check) {
    return check.given(camera, "camera") && client->cpp.Kestrel_SetExposure(camera, exposure);
  });
}

int kestrel_set_light(kestrel_client* client, const char* camera, int intensity) {
  return call(client, __func__, [&](Check& check) {
    return check.given(camera, "camera") && client->cpp.Kestrel_SetLight(camera, intensity);
  });
}

int kestrel_set_light_and_exposure(kestrel_client* client, const char* text_a, const char* text_b,
                                   int number, int flag) {
  return call(client, __func__, [&](Check& check) {
    return check.given(text_a, "text_a") && check.given(text_b, "text_b") &&
           client->cpp.Kestrel_SetLightAndExposure(text_a, text_b, number, flag != 0);
  });
}

int kestrel_get_gain(kestrel_client* client, const char* camera, double* gain) {
  return call(client, __func__, [&](Check& check) {
    return check.given(camera, "camera") && check.given(gain, "gain") &&
           client->cpp.Kestrel_GetGain(camera, *gain);
  });
}

int kestrel_get_exposure(kestrel_client* client, const char* camera, double* exposure) {
  return call(client, __func__, [&](Check& check) {
    return check.given(camera, "camera") && check.given(exposure, "exposure") &&
           client->cpp.Kestrel_GetExposure(camera, *exposure);
  });
}

int kestrel_get_light(kestrel_client* client, const char* camera, int* intensity) {
  return call(client, __func__, [&](Check& check) {
    return check.given(camera, "camera") && check.given(intensity, "intensity") &&
           client->cpp.Kestrel_GetLight(camera, *intensity);
  });
}

// ---- Acquisition and display -------------------------------------------------------------

int kestrel_start_grab(kestrel_client* client, const char* camera) {
  return call(client, __func__, [&](Check& check) {
    return check.given(camera, "camera") && client->cpp.Kestrel_StartGrab(camera);
  });
}

int kestrel_stop_grab(kestrel_client* client, const char* camera) {
  return call(client, __func__, [&](Check& check) {
    return check.given(camera, "camera") && client->cpp.Kestrel_StopGrab(camera);
  });
}

int kestrel_clear_camera_iamge(kestrel_client* client, const char* camera) {
  return call(client, __func__, [&](Check& check) {
    return check.given(camera, "camera") && client->cpp.Kestrel_ClearCameraIamge(camera);
  });
}

int kestrel_get_camera_scale(kestrel_client* client, const char* camera, double* scale_x,
                             double* scale_y) {
  return call(client, __func__, [&](Check& check) {
    return check.given(camera, "camera") && check.given(scale_x, "scale_x") &&
           check.given(scale_y, "scale_y") &&
           client->cpp.Kestrel_GetCameraScale(camera, *scale_x, *scale_y);
  });
}

int kestrel_set_target_color(kestrel_client* client, const char* camera, const char* const* colors,
                             size_t count) {
  return call(client, __func__, [&](Check& check) {
    if (!check.given(camera, "camera") || !check.texts(colors, count, "colors")) return false;
    std::vector<const char*> list(colors, colors + count);
    return client->cpp.Kestrel_SetTargetColor(camera, std::move(list));
  });
}

int kestrel_switch_to_camera(kestrel_client* client, const char* text_a, const char* text_b) {
  return call(client, __func__, [&](Check& check) {
    return check.given(text_a, "text_a") && check.given(text_b, "text_b") &&
           client->cpp.Kestrel_SwitchToCamera(text_a, text_b);
  });
}

int kestrel_set_cam_control_visiable(kestrel_client* client, const char* text_a,
                                     const char* text_b, int visible) {
  return call(client, __func__, [&](Check& check) {
    return check.given(text_a, "text_a") && check.given(text_b, "text_b") &&
           client->cpp.Kestrel_SetCamControlVisiable(text_a, text_b, visible != 0);
  });
}

int kestrel_show_cut_line(kestrel_client* client, const char* camera, double width) {
  return call(client, __func__, [&](Check& check) {
    return check.given(camera, "camera") && client->cpp.Kestrel_ShowCutLine(camera, width);
  });
}

// ---- Auto focus ------------------------------------------------------------------------------

int kestrel_auto_focus(kestrel_client* client, const char* camera, int number, double value1,
                       double value2, double value3, double value4, double value5, int flag,
                       double* result, char* text, size_t text_size, size_t* text_length) {
  return call(client, __func__, [&](Check& check) {
    if (!check.given(camera, "camera") || !check.given(result, "result") ||
        !check.array(text, text_size, "text") || !check.given(text_length, "text_length")) {
      return false;
    }
    std::string focus_text;
    const bool ok = client->cpp.Kestrel_AutoFocus(camera, number, value1, value2, value3, value4,
                                                  value5, *result, focus_text, flag != 0);
    *text_length = copy_text(focus_text.data(), focus_text.size(), text, text_size);
    return ok && check.room(focus_text.size() + 1, text_size, "text");
  });
}

// ---- Template matching ---------------------------------------------------------------------

int kestrel_template_create(kestrel_client* client, const char* text_a, const char* text_b,
                            const char* text_c, int number) {
  return call(client, __func__, [&](Check& check) {
    return check.given(text_a, "text_a") && check.given(text_b, "text_b") &&
           check.given(text_c, "text_c") &&
           client->cpp.Kestrel_Template_Create(text_a, text_b, text_c, number);
  });
}

int kestrel_mult_template_match(kestrel_client* client, const char* text_a, const char* text_b,
                                int requested_count, const char* text_c, kestrel_point point,
                                double value, int flag_a, int flag_b, const char* text_d,
                                double extra1, double extra2, double extra3, int* match_count,
                                kestrel_point* centers, double* angles, double* scores,
                                size_t capacity, size_t* count) {
  return call(client, __func__, [&](Check& check) {
    if (!check.given(text_a, "text_a") || !check.given(text_b, "text_b") ||
        !check.given(text_c, "text_c") || !check.given(text_d, "text_d") ||
        !check.given(match_count, "match_count") || !check.array(centers, capacity, "centers") ||
        !check.array(angles, capacity, "angles") || !check.array(scores, capacity, "scores") ||
        !check.given(count, "count")) {
      return false;
    }
    std::vector<Point> center_list;
    std::vector<double> angle_list, score_list;
    const bool ok = client->cpp.Kestrel_MultTemplate_Match(
        text_a, text_b, requested_count, text_c, to_cpp(point), value, *match_count, center_list,
        angle_list, score_list, flag_a != 0, flag_b != 0, text_d, extra1, extra2, extra3);
    std::size_t ignored = 0;
    const auto same = [](double v) { return v; };
    list_out(check, true, angle_list, angles, capacity, &ignored, "angles", same);
    list_out(check, true, score_list, scores, capacity, &ignored, "scores", same);
    return list_out(check, ok, center_list, centers, capacity, count, "centers", to_c);
  });
}

namespace {
// Kestrel_Template_Match and Kestrel_Template_Match_SCell, which share their
// parameters: one match into the caller's center, angle and score.
template <auto kOperation>
int single_match(kestrel_client* client, const char* function, const char* text_a,
                 const char* text_b, const char* text_c, kestrel_point point, double value,
                 int flag_a, int flag_b, const char* text_d, kestrel_point* center,
                 double* angle, double* score) {
  return call(client, function, [&](Check& check) {
    if (!check.given(text_a, "text_a") || !check.given(text_b, "text_b") ||
        !check.given(text_c, "text_c") || !check.given(text_d, "text_d") ||
        !check.given(center, "center") || !check.given(angle, "angle") ||
        !check.given(score, "score")) {
      return false;
    }
    Point found = to_cpp(*center);
    const bool ok = (client->cpp.*kOperation)(text_a, text_b, text_c, to_cpp(point), value, found,
                                              *angle, *score, flag_a != 0, flag_b != 0, text_d);
    *center = to_c(found);
    return ok;
  });
}
}  // namespace

int kestrel_template_match(kestrel_client* client, const char* text_a, const char* text_b,
                           const char* text_c, kestrel_point point, double value, int flag_a,
                           int flag_b, const char* text_d, kestrel_point* center, double* angle,
                           double* score) {
  return single_match<&Kestrel::Kestrel_Template_Match>(
      client, __func__, text_a, text_b, text_c, point, value, flag_a, flag_b, text_d, center,
      angle, score);
}

int kestrel_template_match_scell(kestrel_client* client, const char* text_a, const char* text_b,
                                 const char* text_c, kestrel_point point, double value, int flag_a,
                                 int flag_b, const char* text_d, kestrel_point* center,
                                 double* angle, double* score) {
  return single_match<&Kestrel::Kestrel_Template_Match_SCell>(
      client, __func__, text_a, text_b, text_c, point, value, flag_a, flag_b, text_d, center,
      angle, score);
}

// ---- Wafer inspection ------------------------------------------------------------------------

int kestrel_wafer_edge(kestrel_client* client, const char* text_a, const char* text_b,
                       kestrel_point point, int flag, int ignored_a, int ignored_b,
                       kestrel_point* points, size_t capacity, size_t* count) {
  return call(client, __func__, [&](Check& check) {
    if (!check.given(text_a, "text_a") || !check.given(text_b, "text_b") ||
        !check.array(points, capacity, "points") || !check.given(count, "count")) {
      return false;
    }
    std::vector<Point> edge;
    const bool ok = client->cpp.Kestrel_WaferEdge(text_a, text_b, to_cpp(point), flag != 0,
                                                  ignored_a, ignored_b, edge);
    return list_out(check, ok, edge, points, capacity, count, "points", to_c);
  });
}

#define KESTREL_KERF_PARAMETERS                                                                  \
  kestrel_client *client, const char *text_a, const char *text_b, const char *text_c,            \
      double value1, double value2, int number1, double value3, double value4, double value5,    \
      int number2, double value6, double value7, double value8, double value9, double value10,   \
      double value11, double value12, double value13, double value14, double value15,            \
      double value16, double value17, double value18, int flag, const char *text_d,              \
      double *center, double *kerf_width_without_chipp, double *kerf_width_with_chipp,           \
      double *center_chipp_distance, double *chipp_size_width, double *chipp_size_height,        \
      double *kerf_measure7, double *kerf_width_with_chipp2
#define KESTREL_KERF_ARGUMENTS                                                                   \
  text_a, text_b, text_c, value1, value2, number1, value3, value4, value5, number2, value6,      \
      value7, value8, value9, value10, value11, value12, value13, value14, value15, value16,     \
      value17, value18, *center, *kerf_width_without_chipp, *kerf_width_with_chipp,              \
      *center_chipp_distance, *chipp_size_width, *chipp_size_height, *kerf_measure7,             \
      *kerf_width_with_chipp2, flag != 0, text_d

namespace {
// The two kerf operations, which share their parameters: the arguments
// checked, then the operation called with the outputs in place.
template <auto kOperation>
int kerf(const char* function, KESTREL_KERF_PARAMETERS) {
  static const char* const kNames[8] = {"center",           "kerf_width_without_chipp",
                                        "kerf_width_with_chipp", "center_chipp_distance",
                                        "chipp_size_width", "chipp_size_height",
                                        "kerf_measure7",    "kerf_width_with_chipp2"};
  return call(client, function, [&](Check& check) {
    double* const outputs[8] = {center,           kerf_width_without_chipp, kerf_width_with_chipp,
                                center_chipp_distance, chipp_size_width, chipp_size_height,
                                kerf_measure7,    kerf_width_with_chipp2};
    if (!check.given(text_a, "text_a") || !check.given(text_b, "text_b") ||
        !check.given(text_c, "text_c") || !check.given(text_d, "text_d")) {
      return false;
    }
    for (int i = 0; i < 8; ++i) {
      if (!check.given(outputs[i], kNames[i])) return false;
    }
    return (client->cpp.*kOperation)(KESTREL_KERF_ARGUMENTS);
  });
}
}  // namespace

#define KESTREL_KERF_FORWARD                                                                     \
  client, text_a, text_b, text_c, value1, value2, number1, value3, value4, value5, number2,      \
      value6, value7, value8, value9, value10, value11, value12, value13, value14, value15,      \
      value16, value17, value18, flag, text_d, center, kerf_width_without_chipp,                 \
      kerf_width_with_chipp, center_chipp_distance, chipp_size_width, chipp_size_height,         \
      kerf_measure7, kerf_width_with_chipp2

int kestrel_kerf_check(KESTREL_KERF_PARAMETERS) {
  return kerf<&Kestrel::Kestrel_KerfCheck>(__func__, KESTREL_KERF_FORWARD);
}

int kestrel_lg_kerf_check(KESTREL_KERF_PARAMETERS) {
  return kerf<&Kestrel::Kestrel_LGKerfCheck>(__func__, KESTREL_KERF_FORWARD);
}

int kestrel_fix_circle(kestrel_client* client, const kestrel_point* points, size_t count,
                       kestrel_point* center, double* radius) {
  return call(client, __func__, [&](Check& check) {
    if (!check.array(points, count, "points") || !check.given(center, "center") ||
        !check.given(radius, "radius")) {
      return false;
    }
    std::vector<Point> list;
    list.reserve(count);
    for (std::size_t i = 0; i < count; ++i) list.push_back(to_cpp(points[i]));
    Point found = to_cpp(*center);
    const bool ok = client->cpp.Kestrel_FixCircle(std::move(list), found, *radius);
    *center = to_c(found);
    return ok;
  });
}

// ---- Point conversion ----------------------------------------------------------------------

// Runs `op` on a Point that starts as *out and is written back whatever the result.
#define KESTREL_POINT_OUT(out, expression) \
  do {                                     \
    Point result = to_cpp(*(out));         \
    const bool ok = (expression);          \
    *(out) = to_c(result);                 \
    return ok;                             \
  } while (false)

int kestrel_get_real(kestrel_client* client, const char* camera, kestrel_point point,
                     kestrel_point* real) {
  return call(client, __func__, [&](Check& check) {
    if (!check.given(camera, "camera") || !check.given(real, "real")) return false;
    KESTREL_POINT_OUT(real, client->cpp.Kestrel_GetReal(camera, to_cpp(point), result));
  });
}

int kestrel_get_ruler(kestrel_client* client, const char* camera, kestrel_point point,
                      kestrel_point* ruler) {
  return call(client, __func__, [&](Check& check) {
    if (!check.given(camera, "camera") || !check.given(ruler, "ruler")) return false;
    KESTREL_POINT_OUT(ruler, client->cpp.Kestrel_GetRuler(camera, to_cpp(point), result));
  });
}

int kestrel_get_real_by_pixel_point(kestrel_client* client, const char* camera,
                                    kestrel_point first_point, kestrel_point second_point,
                                    kestrel_point* real) {
  return call(client, __func__, [&](Check& check) {
    if (!check.given(camera, "camera") || !check.given(real, "real")) return false;
    KESTREL_POINT_OUT(real, client->cpp.Kestrel_GetRealByPixelPoint(
                                camera, to_cpp(first_point), to_cpp(second_point), result));
  });
}

int kestrel_get_target_cam_real(kestrel_client* client, const char* camera_a, const char* camera_b,
                                kestrel_point point, kestrel_point* res) {
  return call(client, __func__, [&](Check& check) {
    if (!check.given(camera_a, "camera_a") || !check.given(camera_b, "camera_b") ||
        !check.given(res, "res")) {
      return false;
    }
    KESTREL_POINT_OUT(res, client->cpp.Kestrel_GetTargetCamReal(camera_a, camera_b,
                                                                 to_cpp(point), result));
  });
}

int kestrel_mw_cal_another_point_real(kestrel_client* client, const char* camera,
                                      kestrel_point point, double first_value,
                                      double second_value, kestrel_point* target) {
  return call(client, __func__, [&](Check& check) {
    if (!check.given(camera, "camera") || !check.given(target, "target")) return false;
    KESTREL_POINT_OUT(target, client->cpp.Kestrel_MwCalAnotherPointReal(
                                  camera, to_cpp(point), first_value, second_value, result));
  });
}

// ---- Rotation and line geometry ---------------------------------------------------------------

int kestrel_get_rotate_center(kestrel_client* client, const char* camera, double* center_x,
                              double* center_y) {
  return call(client, __func__, [&](Check& check) {
    return check.given(camera, "camera") && check.given(center_x, "center_x") &&
           check.given(center_y, "center_y") &&
           client->cpp.Kestrel_GetRotateCenter(camera, *center_x, *center_y);
  });
}

int kestrel_get_line_angle(kestrel_client* client, kestrel_point first_point,
                           kestrel_point second_point, double* angle) {
  return call(client, __func__, [&](Check& check) {
    return check.given(angle, "angle") &&
           client->cpp.Kestrel_GetLineAngle(to_cpp(first_point), to_cpp(second_point), *angle);
  });
}

int kestrel_get_point_after_rotate_real(kestrel_client* client, kestrel_point first_point,
                                        kestrel_point second_point, double rotate_angle,
                                        kestrel_point* point_after_rotate) {
  return call(client, __func__, [&](Check& check) {
    if (!check.given(point_after_rotate, "point_after_rotate")) return false;
    KESTREL_POINT_OUT(point_after_rotate,
                      client->cpp.Kestrel_GetPointAfterRotate_Real(
                          to_cpp(first_point), to_cpp(second_point), rotate_angle, result));
  });
}
