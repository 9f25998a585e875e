// Conversions between Python values and the library's argument and result
// types: texts (str as GBK, or bytes), points (kestrel.Point or any pair of
// numbers) and the result classes of kestrel._types.
#ifndef KESTREL_PYTHON_CONVERT_H
#define KESTREL_PYTHON_CONVERT_H

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstring>
#include <string>

#include "kestrel/kestrel.h"

namespace kestrel_py {
namespace py = pybind11;

// A text argument as the bytes the library sends: a str goes as its GBK
// encoding (the server's), bytes go as they are.
struct Text {
  std::string bytes;
  const char* c_str() const { return bytes.c_str(); }
};

// The classes of kestrel._types, looked up once when the module is imported
// and kept for the life of the process.
struct Types {
  py::object point, camera_scale, focus_result, match, circle, kerf_result;
  py::object command_error, connection_error, not_connected_error, timeout_error, server_error,
      aborted_error;
  // ProtocolError is raised as one of its subclasses, one per protocol failure kind.
  py::object unframed_reply_error, wrong_reply_head_error, bad_reply_type_error, bad_reply_error,
      request_too_long_error;
};
const Types& types();
void load_types();

// A str of the library's GBK bytes; bytes that are no GBK become U+FFFD.
py::str from_gbk(const std::string& text);

// A value of one of the result classes of kestrel._types, returned as it is;
// `Tag` names the class, so that signatures read "-> KerfResult", not
// "-> object".
template <typename Tag>
struct Result {
  py::object value;
};

#define KESTREL_RESULT(Class)                                            \
  struct Class##Tag {                                                    \
    static constexpr auto name = pybind11::detail::const_name(#Class);   \
  };                                                                     \
  using Class##Object = Result<Class##Tag>;
KESTREL_RESULT(CameraScale)
KESTREL_RESULT(FocusResult)
KESTREL_RESULT(Match)
KESTREL_RESULT(Circle)
KESTREL_RESULT(KerfResult)
#undef KESTREL_RESULT

}  // namespace kestrel_py

namespace pybind11 {
namespace detail {

template <>
struct type_caster<kestrel_py::Text> {
  PYBIND11_TYPE_CASTER(kestrel_py::Text, const_name("str"));

  // A str that GBK cannot encode raises UnicodeEncodeError, a NUL (which
  // would end the text early) ValueError; other types do not match.
  bool load(handle src, bool) {
    PyObject* obj = src.ptr();
    if (PyUnicode_Check(obj) && PyUnicode_IS_ASCII(obj)) {  // ASCII is GBK as it is
      Py_ssize_t size = 0;
      const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
      if (data == nullptr) throw error_already_set();
      return take(data, size);
    }
    object bytes;
    if (PyUnicode_Check(obj)) {
      bytes = reinterpret_steal<object>(PyUnicode_AsEncodedString(obj, "gbk", "strict"));
      if (!bytes) throw error_already_set();
    } else if (PyBytes_Check(obj)) {
      bytes = reinterpret_borrow<object>(src);
    } else {
      return false;
    }
    return take(PyBytes_AS_STRING(bytes.ptr()), PyBytes_GET_SIZE(bytes.ptr()));
  }

 private:
  bool take(const char* data, Py_ssize_t size) {
    if (std::memchr(data, '\0', static_cast<std::size_t>(size)) != nullptr) {
      throw value_error("a text argument holds a NUL character");
    }
    value.bytes.assign(data, static_cast<std::size_t>(size));
    return true;
  }
};

template <typename Tag>
struct type_caster<kestrel_py::Result<Tag>> {
  PYBIND11_TYPE_CASTER(kestrel_py::Result<Tag>, Tag::name);

  bool load(handle, bool) { return false; }  // a result only, never an argument

  static handle cast(const kestrel_py::Result<Tag>& result, return_value_policy, handle) {
    return result.value.inc_ref();
  }
};

template <>
struct type_caster<::Point> {
  PYBIND11_TYPE_CASTER(::Point, const_name("Point"));

  // A kestrel.Point, or any tuple or list of two numbers.
  bool load(handle src, bool) {
    PyObject* obj = src.ptr();
    if (!PyTuple_Check(obj) && !PyList_Check(obj)) return false;
    if (PySequence_Fast_GET_SIZE(obj) != 2) return false;
    PyObject** items = PySequence_Fast_ITEMS(obj);
    return number(items[0], value.X) && number(items[1], value.Y);
  }

  static handle cast(const ::Point& p, return_value_policy, handle) {
    return kestrel_py::types().point(p.X, p.Y).release();
  }

 private:
  static bool number(PyObject* item, double& out) {
    out = PyFloat_AsDouble(item);
    if (out == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    return true;
  }
};

}  // namespace detail
}  // namespace pybind11

#endif  // KESTREL_PYTHON_CONVERT_H
