// The module kestrel._kestrel: Procedure and Client, each of the library's
// forty operations as one method or property. Results come back as values,
// failures as exceptions (call.h); the docstrings are the public header's
// comments (docstrings.py).
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
#define KESTREL_DOC(op) KESTREL_DOC_##op
// The member `op` of Kestrel and its name.
#define KESTREL_OP(op) &Kestrel::op, #op

namespace {

// Kestrel_KerfCheck and Kestrel_LGKerfCheck take the same arguments; the
// second sends nothing and writes no output, so its method returns None.
using KerfOperation = decltype(&Kestrel::Kestrel_KerfCheck);

auto kerf_method(KerfOperation op, const char* name, bool returns_values) {
  return [op, name, returns_values](
             Client& self, const Text& a, const Text& b, const Text& c, double v1, double v2,
             int n1, double v3, double v4, double v5, int n2, double v6, double v7, double v8,
             double v9, double v10, double v11, double v12, double v13, double v14, double v15,
             double v16, double v17, double v18, bool flag, const Text& d) -> py::object {
    double out[8] = {};
    call(self, name, [&](Kestrel& library) {
      return (library.*op)(a.c_str(), b.c_str(), c.c_str(), v1, v2, n1, v3, v4, v5, n2, v6, v7, v8,
                           v9, v10, v11, v12, v13, v14, v15, v16, v17, v18, out[0], out[1], out[2],
                           out[3], out[4], out[5], out[6], out[7], flag, d.c_str());
    });
    if (!returns_values) return py::none();
    return types().kerf_result(out[0], out[1], out[2], out[3], out[4], out[5], out[6], out[7]);
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
  return [op, name](Client& self, const Text& a, const Text& b, const Text& c, Point point,
                    double value, bool flag_a, bool flag_b, const Text& d) {
    Point center;
    double angle = 0.0;
    double score = 0.0;
    call(self, name, [&](Kestrel& library) {
      return (library.*op)(a.c_str(), b.c_str(), c.c_str(), point, value, center, angle, score,
                           flag_a, flag_b, d.c_str());
    });
    return types().match(center, angle, score);
  };
}

void def_kerf(py::class_<Client>& client, const char* python_name, KerfOperation op,
              const char* name, bool returns_values, const char* doc) {
  static const char* const kNames[] = {"text_a",  "text_b",  "text_c",  "value1",  "value2",
                                       "number1", "value3",  "value4",  "value5",  "number2",
                                       "value6",  "value7",  "value8",  "value9",  "value10",
                                       "value11", "value12", "value13", "value14", "value15",
                                       "value16", "value17", "value18", "flag",    "text_d"};
  const auto a = [](int i) { return py::arg(kNames[i]); };
  client.def(python_name, kerf_method(op, name, returns_values), a(0), a(1), a(2), a(3), a(4), a(5),
             a(6), a(7), a(8), a(9), a(10), a(11), a(12), a(13), a(14), a(15), a(16), a(17), a(18),
             a(19), a(20), a(21), a(22), a(23), a(24), doc);
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
      .def("connect", connect, "address"_a, "port"_a, KESTREL_DOC(Kestrel_Connect_Port))
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
           KESTREL_DOC(Kestrel_Disconnect_Port))
      .def("reconnect", link_operation(KESTREL_OP(Kestrel_Reconnect_Port)),
           KESTREL_DOC(Kestrel_Reconnect_Port))
      .def_property_readonly(
          "connected",
          [](Client& self) {
            return call(
                self, "Kestrel_Connect_Status",
                [](Kestrel& library) { return library.Kestrel_Connect_Status(); }, Mode::kStatus);
          },
          KESTREL_DOC(Kestrel_Connect_Status))
      .def_property(
          "timeout", [](Client& self) { return self.library().Kestrel_GetTimeout(); },
          set_timeout,
          KESTREL_DOC(Kestrel_SetTimeout) " " KESTREL_DOC(Kestrel_GetTimeout)
          " Anything but an int raises TypeError; a value the library does not keep as it is"
          " warns (UserWarning) with the one it keeps.")
      .def_property_readonly(
          "error_text",
          [](Client& self) { return from_gbk(self.library().Kestrel_GetErrorString()); },
          KESTREL_DOC(Kestrel_GetErrorString))
      .def(
          "clear_error", [](Client& self) { self.library().Kestrel_ClearErrorString(); },
          KESTREL_DOC(Kestrel_ClearErrorString))
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
           KESTREL_DOC(Kestrel_SetGain))
      .def("set_exposure", camera_setter(KESTREL_OP(Kestrel_SetExposure)), "camera"_a, "exposure"_a,
           KESTREL_DOC(Kestrel_SetExposure))
      .def("set_light", camera_setter(KESTREL_OP(Kestrel_SetLight)), "camera"_a, "intensity"_a,
           KESTREL_DOC(Kestrel_SetLight))
      .def(
          "set_light_and_exposure",
          [](Client& self, const Text& a, const Text& b, int number, bool flag) {
            KESTREL_CALL(Kestrel_SetLightAndExposure, a.c_str(), b.c_str(), number, flag);
          },
          "text_a"_a, "text_b"_a, "number"_a, "flag"_a, KESTREL_DOC(Kestrel_SetLightAndExposure))
      .def("get_gain", camera_getter(KESTREL_OP(Kestrel_GetGain)), "camera"_a,
           KESTREL_DOC(Kestrel_GetGain))
      .def("get_exposure", camera_getter(KESTREL_OP(Kestrel_GetExposure)), "camera"_a,
           KESTREL_DOC(Kestrel_GetExposure))
      .def("get_light", camera_getter(KESTREL_OP(Kestrel_GetLight)), "camera"_a,
           KESTREL_DOC(Kestrel_GetLight));

  // ---- Acquisition and display ---------------------------------------------
  client
      .def("start_grab", camera_setter(KESTREL_OP(Kestrel_StartGrab)), "camera"_a,
           KESTREL_DOC(Kestrel_StartGrab))
      .def("stop_grab", camera_setter(KESTREL_OP(Kestrel_StopGrab)), "camera"_a,
           KESTREL_DOC(Kestrel_StopGrab))
      .def("clear_camera_iamge", camera_setter(KESTREL_OP(Kestrel_ClearCameraIamge)), "camera"_a,
           KESTREL_DOC(Kestrel_ClearCameraIamge))
      .def(
          "get_camera_scale",
          [](Client& self, const Text& camera) {
            double x = 0.0;
            double y = 0.0;
            KESTREL_CALL(Kestrel_GetCameraScale, camera.c_str(), x, y);
            return types().camera_scale(x, y);
          },
          "camera"_a, KESTREL_DOC(Kestrel_GetCameraScale))
      .def(
          "set_target_color",
          [](Client& self, const Text& camera, const std::vector<Text>& colors) {
            std::vector<const char*> texts;
            texts.reserve(colors.size());
            for (const Text& color : colors) texts.push_back(color.c_str());
            KESTREL_CALL(Kestrel_SetTargetColor, camera.c_str(), texts);
          },
          "camera"_a, "colors"_a, KESTREL_DOC(Kestrel_SetTargetColor))
      .def(
          "switch_to_camera",
          [](Client& self, const Text& a, const Text& b) {
            KESTREL_CALL(Kestrel_SwitchToCamera, a.c_str(), b.c_str());
          },
          "text_a"_a, "text_b"_a, KESTREL_DOC(Kestrel_SwitchToCamera))
      .def(
          "set_cam_control_visiable",
          [](Client& self, const Text& a, const Text& b, bool visible) {
            KESTREL_CALL(Kestrel_SetCamControlVisiable, a.c_str(), b.c_str(), visible);
          },
          "text_a"_a, "text_b"_a, "visible"_a, KESTREL_DOC(Kestrel_SetCamControlVisiable))
      .def("show_cut_line", camera_setter(KESTREL_OP(Kestrel_ShowCutLine)), "camera"_a, "width"_a,
           KESTREL_DOC(Kestrel_ShowCutLine));

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
            return types().focus_result(result, from_gbk(text));
          },
          "camera"_a, "number"_a, "value1"_a, "value2"_a, "value3"_a, "value4"_a, "value5"_a,
          "flag"_a = false, KESTREL_DOC(Kestrel_AutoFocus))
      .def(
          "template_create",
          [](Client& self, const Text& a, const Text& b, const Text& c, int number) {
            KESTREL_CALL(Kestrel_Template_Create, a.c_str(), b.c_str(), c.c_str(), number);
          },
          "text_a"_a, "text_b"_a, "text_c"_a, "number"_a, KESTREL_DOC(Kestrel_Template_Create))
      .def(
          "mult_template_match",
          [](Client& self, const Text& a, const Text& b, int requested, const Text& c, Point point,
             double value, bool flag_a, bool flag_b, const Text& d, double e1, double e2,
             double e3) {
            int count = 0;
            std::vector<Point> centers;
            std::vector<double> angles;
            std::vector<double> scores;
            KESTREL_CALL(Kestrel_MultTemplate_Match, a.c_str(), b.c_str(), requested, c.c_str(),
                         point, value, count, centers, angles, scores, flag_a, flag_b, d.c_str(),
                         e1, e2, e3);
            py::list matches;
            for (std::size_t i = 0; i < centers.size() && i < angles.size() && i < scores.size();
                 ++i) {
              matches.append(types().match(centers[i], angles[i], scores[i]));
            }
            return matches;
          },
          "text_a"_a, "text_b"_a, "requested_count"_a, "text_c"_a, "point"_a, "value"_a, "flag_a"_a,
          "flag_b"_a, "text_d"_a, "extra1"_a, "extra2"_a, "extra3"_a,
          KESTREL_DOC(Kestrel_MultTemplate_Match))
      .def("template_match", single_match_method(KESTREL_OP(Kestrel_Template_Match)), "text_a"_a,
           "text_b"_a, "text_c"_a, "point"_a, "value"_a, "flag_a"_a, "flag_b"_a, "text_d"_a,
           KESTREL_DOC(Kestrel_Template_Match))
      .def("template_match_scell", single_match_method(KESTREL_OP(Kestrel_Template_Match_SCell)),
           "text_a"_a, "text_b"_a, "text_c"_a, "point"_a, "value"_a, "flag_a"_a, "flag_b"_a,
           "text_d"_a, KESTREL_DOC(Kestrel_Template_Match_SCell));

  // ---- Wafer inspection ----------------------------------------------------
  def_kerf(client, "kerf_check", KESTREL_OP(Kestrel_KerfCheck), true,
           KESTREL_DOC(Kestrel_KerfCheck));
  def_kerf(client, "lg_kerf_check", KESTREL_OP(Kestrel_LGKerfCheck), false,
           KESTREL_DOC(Kestrel_LGKerfCheck));
  client
      .def(
          "wafer_edge",
          [](Client& self, const Text& a, const Text& b, Point point, bool flag, int ignored_a,
             int ignored_b) {
            std::vector<Point> edge;
            KESTREL_CALL(Kestrel_WaferEdge, a.c_str(), b.c_str(), point, flag, ignored_a, ignored_b,
                         edge);
            return edge;
          },
          "text_a"_a, "text_b"_a, "point"_a, "flag"_a, "ignored_a"_a = 0, "ignored_b"_a = 0,
          KESTREL_DOC(Kestrel_WaferEdge))
      .def(
          "fix_circle",
          [](Client& self, const std::vector<Point>& points) {
            Point center;
            double radius = 0.0;
            KESTREL_CALL(Kestrel_FixCircle, points, center, radius);
            return types().circle(center, radius);
          },
          "points"_a, KESTREL_DOC(Kestrel_FixCircle));

  // ---- Point conversion ----------------------------------------------------
  client
      .def("get_real", point_conversion(KESTREL_OP(Kestrel_GetReal)), "camera"_a, "point"_a,
           KESTREL_DOC(Kestrel_GetReal))
      .def("get_ruler", point_conversion(KESTREL_OP(Kestrel_GetRuler)), "camera"_a, "point"_a,
           KESTREL_DOC(Kestrel_GetRuler))
      .def(
          "get_real_by_pixel_point",
          [](Client& self, const Text& camera, Point first, Point second) {
            Point real;
            KESTREL_CALL(Kestrel_GetRealByPixelPoint, camera.c_str(), first, second, real);
            return real;
          },
          "camera"_a, "first_point"_a, "second_point"_a, KESTREL_DOC(Kestrel_GetRealByPixelPoint))
      .def(
          "get_target_cam_real",
          [](Client& self, const Text& camera_a, const Text& camera_b, Point point) {
            Point res;
            KESTREL_CALL(Kestrel_GetTargetCamReal, camera_a.c_str(), camera_b.c_str(), point, res);
            return res;
          },
          "camera_a"_a, "camera_b"_a, "point"_a, KESTREL_DOC(Kestrel_GetTargetCamReal))
      .def(
          "mw_cal_another_point_real",
          [](Client& self, const Text& camera, Point point, double first, double second) {
            Point target;
            KESTREL_CALL(Kestrel_MwCalAnotherPointReal, camera.c_str(), point, first, second,
                         target);
            return target;
          },
          "camera"_a, "point"_a, "first_value"_a, "second_value"_a,
          KESTREL_DOC(Kestrel_MwCalAnotherPointReal));

  // ---- Rotation and line geometry ------------------------------------------
  client
      .def(
          "get_rotate_center",
          [](Client& self, const Text& camera) {
            Point center;
            KESTREL_CALL(Kestrel_GetRotateCenter, camera.c_str(), center.X, center.Y);
            return center;
          },
          "camera"_a, KESTREL_DOC(Kestrel_GetRotateCenter))
      .def(
          "get_line_angle",
          [](Client& self, Point first, Point second) {
            double angle = 0.0;
            KESTREL_CALL(Kestrel_GetLineAngle, first, second, angle);
            return angle;
          },
          "first_point"_a, "second_point"_a, KESTREL_DOC(Kestrel_GetLineAngle))
      .def(
          "get_point_after_rotate_real",
          [](Client& self, Point first, Point second, double angle) {
            Point rotated;
            KESTREL_CALL(Kestrel_GetPointAfterRotate_Real, first, second, angle, rotated);
            return rotated;
          },
          "first_point"_a, "second_point"_a, "rotate_angle"_a,
          KESTREL_DOC(Kestrel_GetPointAfterRotate_Real));

  // The operations whose library names are misspelt, spelt right as well.
  client.attr("clear_camera_image") = client.attr("clear_camera_iamge");
  client.attr("set_cam_control_visible") = client.attr("set_cam_control_visiable");
}
