// The module kestrel._kestrel: Procedure and Client, each of the library's
// forty operations as one method or property. Results come back as values,
// failures as exceptions (call.h); the docstrings say what each method
// sends, returns and raises (docstrings.py).
#include <climits>
#include <string>
#include <vector>

#include "call.h"
#include "convert.h"
#include "docstrings.h"
#include "kestrel/host.h"
#include "kestrel/kestrel.h"

namespace kestrel_py {

namespace {
Types* g_types = nullptr;
}

const Types& types() { return *g_types; }

void load_types() {
  const py::module_ m = py::module_::import("kestrel._types");
  g_types = new Types{m.attr("Point"),           m.attr("CameraScale"),
                      m.attr("FocusResult"),     m.attr("Match"),
                      m.attr("Circle"),          m.attr("KerfResult"),
                      m.attr("CommandError"),    m.attr("ConnectionError"),
                      m.attr("NotConnectedError"), m.attr("TimeoutError"),
                      m.attr("ServerError"),     m.attr("AbortedError"),
                      m.attr("UnframedReplyError"), m.attr("WrongReplyHeadError"),
                      m.attr("BadReplyTypeError"), m.attr("BadReplyError"),
                      m.attr("RequestTooLongError")};
}

py::str from_gbk(const std::string& text) {
  PyObject* decoded =
      PyUnicode_Decode(text.data(), static_cast<Py_ssize_t>(text.size()), "gbk", "replace");
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

}  // namespace kestrel_py

using namespace kestrel_py;
using namespace pybind11::literals;

// Calls the library's operation `op` on the client `self` of the enclosing
// method; a false result raises a CommandError.
#define KESTREL_CALL(op, ...) \
  call(self, #op, [&](Kestrel& library) { return library.op(__VA_ARGS__); })
#define KESTREL_DOC(method) KESTREL_DOC_##method
// The member `op` of Kestrel and its name.
#define KESTREL_OP(op) &Kestrel::op, #op

namespace {

// Kestrel_KerfCheck and Kestrel_LGKerfCheck take the same arguments; the
// second sends nothing and writes no output, so its method returns None.
// value17 is never sent: the methods do not take it and pass 0.
using KerfOperation = decltype(&Kestrel::Kestrel_KerfCheck);

template <typename Returned>
auto kerf_method(KerfOperation op, const char* name) {
  return [op, name](Client& self, const Text& camera, const Text& kerf, const Text& blade,
                    double v1, double v2, int n1, double v3, double v4, double v5, int n2,
                    double v6, double v7, double v8, double v9, double v10, double v11,
                    double v12, double v13, double v14, double v15, double v16, double v18,
                    bool flag, const Text& lane) -> Returned {
    double out[8] = {};
    call(self, name, [&](Kestrel& library) {
      return (library.*op)(camera.c_str(), kerf.c_str(), blade.c_str(), v1, v2, n1, v3, v4, v5,
                           n2, v6, v7, v8, v9, v10, v11, v12, v13, v14, v15, v16, 0.0, v18,
                           out[0], out[1], out[2], out[3], out[4], out[5], out[6], out[7], flag,
                           lane.c_str());
    });
    if constexpr (!std::is_void_v<Returned>) {
      return {types().kerf_result(out[0], out[1], out[2], out[3], out[4], out[5], out[6],
                                  out[7])};
    }
  };
}

// Disconnect and reconnect: no arguments, ConnectionError when they fail.
auto link_operation(bool (Kestrel::*op)(), const char* name) {
  return [op, name](Client& self) {
    call(
        self, name, [&](Kestrel& library) { return (library.*op)(); }, Mode::kLink);
  };
}

// Stores `address` and `port` as the client's, then connects there.
void connect(Client& self, const Text& address, int port) {
  self.address = address;
  self.port = port;
  call(
      self, "Kestrel_Connect_Port",
      [&](Kestrel& library) { return library.Kestrel_Connect_Port(address.c_str(), port); },
      Mode::kLink);
}

// Sets the wait limit from a Python int. The library keeps 1000 or 10000, so
// a value beyond the range of int stands for the end it is on; a value it
// does not keep as it is warns with the one it keeps.
void set_timeout(Client& self, const py::handle& value) {
  if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) {
    throw py::type_error(std::string("timeout takes whole milliseconds as an int, not ") +
                         Py_TYPE(value.ptr())->tp_name);
  }
  int overflow = 0;
  const long long ms = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
  if (ms == -1 && PyErr_Occurred() != nullptr) throw py::error_already_set();
  const int limit = overflow > 0 || ms > INT_MAX   ? INT_MAX
                    : overflow < 0 || ms < INT_MIN ? INT_MIN
                                                   : static_cast<int>(ms);
  self.library().Kestrel_SetTimeout(limit);
  const int kept = self.library().Kestrel_GetTimeout();
  if (overflow == 0 && ms == kept) return;
  const std::string message =
      "timeout " + py::str(value).cast<std::string>() + " ms is kept as " + std::to_string(kept) +
      " ms: the library waits 1000 ms for any value below 1000, 10000 ms from 1000 up";
  if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) != 0) throw py::error_already_set();
}

// The commands that name a camera and send one value, or nothing more.
template <typename... Value>
auto camera_setter(bool (Kestrel::*op)(const char*, Value...), const char* name) {
  return [op, name](Client& self, const Text& camera, Value... value) {
    call(self, name, [&](Kestrel& library) { return (library.*op)(camera.c_str(), value...); });
  };
}

// The commands that name a camera and read one value back.
template <typename Value>
auto camera_getter(bool (Kestrel::*op)(const char*, Value&), const char* name) {
  return [op, name](Client& self, const Text& camera) {
    Value value{};
    call(self, name, [&](Kestrel& library) { return (library.*op)(camera.c_str(), value); });
    return value;
  };
}

// GetReal and GetRuler: a camera and a point in, a point out.
auto point_conversion(decltype(&Kestrel::Kestrel_GetReal) op, const char* name) {
  return [op, name](Client& self, const Text& camera, Point point) {
    Point converted;
    call(self, name,
         [&](Kestrel& library) { return (library.*op)(camera.c_str(), point, converted); });
    return converted;
  };
}

// Template_Match and SmallCellTemMatch with one match as the result.
using SingleMatchOperation = decltype(&Kestrel::Kestrel_Template_Match);

auto single_match_method(SingleMatchOperation op, const char* name) {
  return [op, name](Client& self, const Text& camera, const Text& name_of_template,
                    const Text& region, Point point, double value, bool flag_a, bool flag_b,
                    const Text& text) {
    Point center;
    double angle = 0.0;
    double score = 0.0;
    call(self, name, [&](Kestrel& library) {
      return (library.*op)(camera.c_str(), name_of_template.c_str(), region.c_str(), point, value,
                           center, angle, score, flag_a, flag_b, text.c_str());
    });
    return MatchObject{types().match(center, angle, score)};
  };
}

// Every argument but the camera has the value the tools pass for one they
// do not ask: 0, false or an empty text.
template <typename Returned>
void def_kerf(py::class_<Client>& client, const char* python_name, KerfOperation op,
              const char* name, const char* doc) {
  const auto number = [](const char* arg) { return py::arg(arg) = 0.0; };
  client.def(python_name, kerf_method<Returned>(op, name), "camera"_a, "kerf"_a = "",
             "blade"_a = "", number("value1"), number("value2"), "number1"_a = 0,
             number("value3"), number("value4"), number("value5"), "number2"_a = 0,
             number("value6"), number("value7"), number("value8"), number("value9"),
             number("value10"), number("value11"), number("value12"), number("value13"),
             number("value14"), number("value15"), number("value16"), number("value18"),
             "flag"_a = false, "lane"_a = "", doc);
}

}  // namespace

PYBIND11_MODULE(_kestrel, m) {
  load_types();
  start_console_capture();
  m.doc() = "The C++ layer of the kestrel module; import kestrel instead.";

  py::class_<Corvus::Procedure>(m, "Procedure", R"(A machine procedure that owns clients.

Its two abort flags end the waits of its clients' commands at the next
unsuccessful read. Both may be raised and lowered from any thread.)")
      .def(py::init([](const Text& name) { return new Corvus::Procedure(name.c_str()); }), "name"_a,
           "Builds a procedure named `name` (cut to 63 bytes).")
      .def_property_readonly(
          "name", [](const Corvus::Procedure& p) { return from_gbk(p.Procedure_Get_Name()); })
      .def_property(
          "routine_abort", [](const Corvus::Procedure& p) { return p.Routine_Get_Abort_Flag(); },
          [](Corvus::Procedure& p, bool raised) { p.Routine_Set_Abort_Flag(raised); },
          "The procedure's own abort flag.")
      .def_property(
          "plant_abort", [](const Corvus::Procedure& p) { return p.Plant_Abort_Manager_Get(); },
          [](Corvus::Procedure& p, bool raised) { p.Plant_Abort_Manager_Set(raised); },
          "The machine-wide (plant) abort flag.");

  py::class_<Client> client(m, "Client", R"(A client of one vision server: the library's Kestrel.

    Client(procedure=None)
    Client(address, port, procedure=None)

Every command is one request, one bounded wait for one reply; the GIL is
released meanwhile. A command that fails raises a CommandError of its kind
(ServerError, TimeoutError, ProtocolError, AbortedError, NotConnectedError);
connect, disconnect and reconnect raise ConnectionError. Console lines go to
the "kestrel" logger. The client belongs to `procedure`, or without one to a
procedure of its own named "python", whose abort flag Ctrl-C raises.

Given an address and a port, the client connects there when a `with` block
starts (or on connect() without arguments) and disconnects when it ends:

    with kestrel.Client("127.0.0.1", 8000) as c:
        c.get_gain("Cam1"))");

  // ---- Connection, wait limit, error text ------------------------------------
  client.def(py::init<Corvus::Procedure*>(), "procedure"_a = nullptr, py::keep_alive<1, 2>())
      .def(py::init([](const Text& address, int port, Corvus::Procedure* procedure) {
             auto made = std::make_unique<Client>(procedure);
             made->address = address;
             made->port = port;
             return made;
           }),
           "address"_a, "port"_a, "procedure"_a = nullptr, py::keep_alive<1, 4>())
      .def_property_readonly(
          "procedure", [](Client& self) -> Corvus::Procedure& { return self.procedure(); },
          py::return_value_policy::reference_internal,
          "The procedure that owns the client and whose abort flags end its waits.")
      .def("connect", connect, "address"_a, "port"_a, KESTREL_DOC(connect))
      .def(
          "connect",
          [](Client& self) {
            if (!self.address) {
              throw py::type_error("connect() takes an address and a port: the client has none");
            }
            const Text address = *self.address;
            connect(self, address, self.port);
          },
          "Connects to the address and port given to the constructor.")
      .def("disconnect", link_operation(KESTREL_OP(Kestrel_Disconnect_Port)),
           KESTREL_DOC(disconnect))
      .def("reconnect", link_operation(KESTREL_OP(Kestrel_Reconnect_Port)),
           KESTREL_DOC(reconnect))
      .def_property_readonly(
          "connected",
          [](Client& self) {
            return call(
                self, "Kestrel_Connect_Status",
                [](Kestrel& library) { return library.Kestrel_Connect_Status(); }, Mode::kStatus);
          },
          KESTREL_DOC(connected))
      .def_property(
          "timeout", [](Client& self) { return self.library().Kestrel_GetTimeout(); },
          set_timeout,
          KESTREL_DOC(timeout))
      .def_property_readonly(
          "error_text",
          [](Client& self) { return from_gbk(self.library().Kestrel_GetErrorString()); },
          KESTREL_DOC(error_text))
      .def(
          "clear_error", [](Client& self) { self.library().Kestrel_ClearErrorString(); },
          KESTREL_DOC(clear_error))
      .def(
          "__enter__",
          [](py::object self) {
            Client& client = self.cast<Client&>();
            if (client.address && !connected_quietly(client)) {
              const Text address = *client.address;
              connect(client, address, client.port);
            }
            return self;
          },
          "Connects to the constructor's address unless connected already.")
      .def(
          "__exit__",
          [](Client& self, const py::args&) {
            call(
                self, "Kestrel_Disconnect_Port",
                [](Kestrel& library) { return library.Kestrel_Disconnect_Port(); }, Mode::kClose);
          },
          "Disconnects; raises nothing when there is no link to close.")
      .def("__repr__", [](Client& self) {
        const char* state = connected_quietly(self) ? "connected" : "not connected";
        if (!self.address) return py::str("<kestrel.Client {}>").format(state);
        return py::str("<kestrel.Client {}:{} {}>")
            .format(from_gbk(self.address->bytes), self.port, state);
      });

  // ---- Camera parameters ---------------------------------------------------
  client
      .def("set_gain", camera_setter(KESTREL_OP(Kestrel_SetGain)), "camera"_a, "gain"_a,
           KESTREL_DOC(set_gain))
      .def("set_exposure", camera_setter(KESTREL_OP(Kestrel_SetExposure)), "camera"_a, "exposure"_a,
           KESTREL_DOC(set_exposure))
      .def("set_light", camera_setter(KESTREL_OP(Kestrel_SetLight)), "camera"_a, "intensity"_a,
           KESTREL_DOC(set_light))
      .def(
          "set_light_and_exposure",
          [](Client& self, const Text& text, const Text& camera, int intensity, bool flag) {
            KESTREL_CALL(Kestrel_SetLightAndExposure, text.c_str(), camera.c_str(), intensity,
                         flag);
          },
          "text"_a, "camera"_a, "intensity"_a, "flag"_a, KESTREL_DOC(set_light_and_exposure))
      .def("get_gain", camera_getter(KESTREL_OP(Kestrel_GetGain)), "camera"_a,
           KESTREL_DOC(get_gain))
      .def("get_exposure", camera_getter(KESTREL_OP(Kestrel_GetExposure)), "camera"_a,
           KESTREL_DOC(get_exposure))
      .def("get_light", camera_getter(KESTREL_OP(Kestrel_GetLight)), "camera"_a,
           KESTREL_DOC(get_light));

  // ---- Acquisition and display ---------------------------------------------
  client
      .def("start_grab", camera_setter(KESTREL_OP(Kestrel_StartGrab)), "camera"_a,
           KESTREL_DOC(start_grab))
      .def("stop_grab", camera_setter(KESTREL_OP(Kestrel_StopGrab)), "camera"_a,
           KESTREL_DOC(stop_grab))
      .def("clear_camera_iamge", camera_setter(KESTREL_OP(Kestrel_ClearCameraIamge)), "camera"_a,
           KESTREL_DOC(clear_camera_iamge))
      .def(
          "get_camera_scale",
          [](Client& self, const Text& camera) {
            double x = 0.0;
            double y = 0.0;
            KESTREL_CALL(Kestrel_GetCameraScale, camera.c_str(), x, y);
            return CameraScaleObject{types().camera_scale(x, y)};
          },
          "camera"_a, KESTREL_DOC(get_camera_scale))
      .def(
          "set_target_color",
          [](Client& self, const Text& camera, const std::vector<Text>& colors) {
            std::vector<const char*> texts;
            texts.reserve(colors.size());
            for (const Text& color : colors) texts.push_back(color.c_str());
            KESTREL_CALL(Kestrel_SetTargetColor, camera.c_str(), texts);
          },
          "camera"_a, "colors"_a, KESTREL_DOC(set_target_color))
      .def(
          "switch_to_camera",
          [](Client& self, const Text& window, const Text& camera) {
            KESTREL_CALL(Kestrel_SwitchToCamera, window.c_str(), camera.c_str());
          },
          "window"_a, "camera"_a, KESTREL_DOC(switch_to_camera))
      .def(
          "set_cam_control_visiable",
          [](Client& self, const Text& window, const Text& camera, bool visible) {
            KESTREL_CALL(Kestrel_SetCamControlVisiable, window.c_str(), camera.c_str(), visible);
          },
          "window"_a, "camera"_a, "visible"_a, KESTREL_DOC(set_cam_control_visiable))
      .def("show_cut_line", camera_setter(KESTREL_OP(Kestrel_ShowCutLine)), "camera"_a, "width"_a,
           KESTREL_DOC(show_cut_line));

  // ---- Auto focus and templates --------------------------------------------
  client
      .def(
          "auto_focus",
          [](Client& self, const Text& camera, int number, double v1, double v2, double v3,
             double v4, double v5, bool flag) {
            double result = 0.0;
            std::string text;
            KESTREL_CALL(Kestrel_AutoFocus, camera.c_str(), number, v1, v2, v3, v4, v5, result,
                         text, flag);
            return FocusResultObject{types().focus_result(result, from_gbk(text))};
          },
          "camera"_a, "number"_a, "value1"_a, "value2"_a, "value3"_a, "value4"_a, "value5"_a,
          "flag"_a = false, KESTREL_DOC(auto_focus))
      .def(
          "template_create",
          [](Client& self, const Text& name_of_template, const Text& camera, const Text& region,
             int number) {
            KESTREL_CALL(Kestrel_Template_Create, name_of_template.c_str(), camera.c_str(),
                         region.c_str(), number);
          },
          "template"_a, "camera"_a, "region"_a, "number"_a, KESTREL_DOC(template_create))
      .def(
          "mult_template_match",
          [](Client& self, const Text& camera, const Text& name_of_template, int requested,
             const Text& region, Point point, double value, bool flag_a, bool flag_b,
             const Text& text, double e1, double e2, double e3) {
            int count = 0;
            std::vector<Point> centers;
            std::vector<double> angles;
            std::vector<double> scores;
            KESTREL_CALL(Kestrel_MultTemplate_Match, camera.c_str(), name_of_template.c_str(),
                         requested, region.c_str(), point, value, count, centers, angles, scores,
                         flag_a, flag_b, text.c_str(), e1, e2, e3);
            std::vector<MatchObject> matches;
            for (std::size_t i = 0; i < centers.size() && i < angles.size() && i < scores.size();
                 ++i) {
              matches.push_back({types().match(centers[i], angles[i], scores[i])});
            }
            return matches;
          },
          "camera"_a, "template"_a, "requested_count"_a, "region"_a, "point"_a, "value"_a,
          "flag_a"_a, "flag_b"_a, "text"_a, "extra1"_a, "extra2"_a, "extra3"_a,
          KESTREL_DOC(mult_template_match))
      .def("template_match", single_match_method(KESTREL_OP(Kestrel_Template_Match)), "camera"_a,
           "template"_a, "region"_a, "point"_a, "value"_a, "flag_a"_a, "flag_b"_a, "text"_a,
           KESTREL_DOC(template_match))
      .def("template_match_scell", single_match_method(KESTREL_OP(Kestrel_Template_Match_SCell)),
           "camera"_a, "template"_a, "region"_a, "point"_a, "value"_a, "flag_a"_a, "flag_b"_a,
           "text"_a, KESTREL_DOC(template_match_scell));

  // ---- Wafer inspection ----------------------------------------------------
  def_kerf<KerfResultObject>(client, "kerf_check", KESTREL_OP(Kestrel_KerfCheck),
                             KESTREL_DOC(kerf_check));
  def_kerf<void>(client, "lg_kerf_check", KESTREL_OP(Kestrel_LGKerfCheck),
                 KESTREL_DOC(lg_kerf_check));
  client
      .def(
          "wafer_edge",
          [](Client& self, const Text& camera, const Text& edge, Point point, bool flag,
             int ignored_a, int ignored_b) {
            std::vector<Point> points;
            KESTREL_CALL(Kestrel_WaferEdge, camera.c_str(), edge.c_str(), point, flag, ignored_a,
                         ignored_b, points);
            return points;
          },
          "camera"_a, "edge"_a, "point"_a, "flag"_a, "ignored_a"_a = 0, "ignored_b"_a = 0,
          KESTREL_DOC(wafer_edge))
      .def(
          "fix_circle",
          [](Client& self, const std::vector<Point>& points) {
            Point center;
            double radius = 0.0;
            KESTREL_CALL(Kestrel_FixCircle, points, center, radius);
            return CircleObject{types().circle(center, radius)};
          },
          "points"_a, KESTREL_DOC(fix_circle));

  // ---- Point conversion ----------------------------------------------------
  client
      .def("get_real", point_conversion(KESTREL_OP(Kestrel_GetReal)), "camera"_a, "point"_a,
           KESTREL_DOC(get_real))
      .def("get_ruler", point_conversion(KESTREL_OP(Kestrel_GetRuler)), "camera"_a, "point"_a,
           KESTREL_DOC(get_ruler))
      .def(
          "get_real_by_pixel_point",
          [](Client& self, const Text& camera, Point first, Point second) {
            Point real;
            KESTREL_CALL(Kestrel_GetRealByPixelPoint, camera.c_str(), first, second, real);
            return real;
          },
          "camera"_a, "first_point"_a, "second_point"_a, KESTREL_DOC(get_real_by_pixel_point))
      .def(
          "get_target_cam_real",
          [](Client& self, const Text& camera_a, const Text& camera_b, Point point) {
            Point res;
            KESTREL_CALL(Kestrel_GetTargetCamReal, camera_a.c_str(), camera_b.c_str(), point, res);
            return res;
          },
          "camera_a"_a, "camera_b"_a, "point"_a, KESTREL_DOC(get_target_cam_real))
      .def(
          "mw_cal_another_point_real",
          [](Client& self, const Text& camera, Point point, double first, double second) {
            Point target;
            KESTREL_CALL(Kestrel_MwCalAnotherPointReal, camera.c_str(), point, first, second,
                         target);
            return target;
          },
          "camera"_a, "point"_a, "first_value"_a, "second_value"_a,
          KESTREL_DOC(mw_cal_another_point_real));

  // ---- Rotation and line geometry ------------------------------------------
  client
      .def(
          "get_rotate_center",
          [](Client& self, const Text& camera) {
            Point center;
            KESTREL_CALL(Kestrel_GetRotateCenter, camera.c_str(), center.X, center.Y);
            return center;
          },
          "camera"_a, KESTREL_DOC(get_rotate_center))
      .def(
          "get_line_angle",
          [](Client& self, Point first, Point second) {
            double angle = 0.0;
            KESTREL_CALL(Kestrel_GetLineAngle, first, second, angle);
            return angle;
          },
          "first_point"_a, "second_point"_a, KESTREL_DOC(get_line_angle))
      .def(
          "get_point_after_rotate_real",
          [](Client& self, Point first, Point second, double angle) {
            Point rotated;
            KESTREL_CALL(Kestrel_GetPointAfterRotate_Real, first, second, angle, rotated);
            return rotated;
          },
          "first_point"_a, "second_point"_a, "rotate_angle"_a,
          KESTREL_DOC(get_point_after_rotate_real));

  // The operations whose library names are misspelt, spelt right as well.
  client.attr("clear_camera_image") = client.attr("clear_camera_iamge");
  client.attr("set_cam_control_visible") = client.attr("set_cam_control_visiable");
}
