#include "config_values.hpp"

#include <string>

namespace varlo::bridge {

double number_of(const py::handle& value, const char* name) {
  const py::object real = py::module_::import("numbers").attr("Real");
  if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || !py::isinstance(value, real)) {
    throw py::type_error(std::string(name) + " must be a real number, not '" +
                         py::str(py::type::handle_of(value).attr("__name__")).cast<std::string>() + "'");
  }
  const double v = PyFloat_AsDouble(value.ptr());
  if (v == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_OverflowError, (std::string(name) + ": int too large to convert to float").c_str());
    }
    throw py::error_already_set();
  }
  return v;
}

std::string fs_text(const py::handle& text) {
  return py::bytes(py::str(text).attr("encode")("utf-8", "surrogateescape")).cast<std::string>();
}

py::str fs_str(const std::string& bytes) { return py::bytes(bytes).attr("decode")("utf-8", "surrogateescape"); }

py::object as_path(const py::object& path) {
  const py::module_ pathlib = py::module_::import("pathlib");
  if (py::isinstance(path, pathlib.attr("PurePath"))) return path;
  return pathlib.attr("Path")(path);
}

}  // namespace varlo::bridge
