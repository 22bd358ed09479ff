// The bridge's package concerns (declared in package.hpp).
#include "package.hpp"

#include <pybind11/eval.h>

#include <string>

#include "pandas_bridge.hpp"

namespace varlo::bridge {

py::object package_dir(const char* module_name) {
  py::object spec = py::module_::import("importlib.util").attr("find_spec")(module_name);
  return py::module_::import("pathlib").attr("Path")(spec.attr("origin")).attr("parent");
}

bool labels_upper(const py::handle& labels) {
  return labels.attr("str").attr("upper")().attr("equals")(labels).cast<bool>();
}

py::object attribute_table(const char* module_name, const py::handle& labels) {
  py::object table = pd().attr("read_csv")(package_dir(module_name) / py::str("futures_attributes.csv"),
                                           py::arg("index_col") = 0);
  return labels_upper(labels) ? table : by_symbol_name(table);
}

void bind_public_names(py::module_& m, const py::module_& from) {
  for (py::handle name : py::module_::import("builtins").attr("dir")(from)) {
    const std::string s = name.cast<std::string>();
    if (!s.empty() && s[0] != '_') m.attr(name) = from.attr(name);
  }
}

py::object by_symbol_name(const py::handle& table) {
  return table.attr("set_axis")(table[py::str("symbol_name")].attr("to_numpy")());
}

py::object resolve_operator(const py::handle& ns, const py::handle& key) {
  const std::string name = "op_" + py::str(key).cast<std::string>();
  const auto dict = py::reinterpret_borrow<py::dict>(ns);
  if (!dict.contains(name.c_str())) {
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name.c_str());
    throw py::error_already_set();
  }
  return dict[name.c_str()];
}

py::object apply_operators(const py::handle& ns, py::object alpha, const py::handle& chain) {
  for (py::handle item : chain.attr("items")()) {
    const auto kv = py::reinterpret_borrow<py::tuple>(item);
    alpha = resolve_operator(ns, kv[0])(alpha, kv[1]);
  }
  return alpha;
}

void def_with_signature(py::module_& m, const char* name, const py::object& compiled, const std::string& params,
                        const std::string& call, const char* doc, py::dict scope) {
  scope["_compiled"] = compiled;
  py::exec("def " + std::string(name) + "(" + params + "):\n    return _compiled(" + call + ")\n", scope);
  py::object fn = scope[name];
  fn.attr("__module__") = m.attr("__name__");
  fn.attr("__doc__") = doc;
  m.attr(name) = fn;
}

}  // namespace varlo::bridge
