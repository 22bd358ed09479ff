// The bridge's package concerns (declared in package.hpp).
#include "package.hpp"

#include <pybind11/eval.h>

#include <algorithm>
#include <string>

#include "pandas_bridge.hpp"
#include "table_file.hpp"

namespace varlo::bridge {

py::object package_dir(const char* module_name) {
  py::object spec = py::module_::import("importlib.util").attr("find_spec")(module_name);
  return py::module_::import("pathlib").attr("Path")(spec.attr("origin")).attr("parent");
}

std::optional<TextLabels> TextLabels::of(const py::handle& labels) {
  if (!py::type::handle_of(labels).is(pd().attr("Index"))) return std::nullopt;
  TextLabels out;
  const py::object dtype = labels.attr("dtype");
  if (py::isinstance(dtype, pd().attr("StringDtype")) && py::str(dtype.attr("storage")).equal(py::str("pyarrow"))) {
    py::object chunked = labels.attr("array").attr("__arrow_array__")();
    if (!py::hasattr(chunked, "chunks")) chunked = py::module_::import("pyarrow").attr("chunked_array")(py::make_tuple(chunked));
    const std::string type = py::str(chunked.attr("type"));
    if (type != "string" && type != "large_string") return std::nullopt;
    // A missing label leaves the decision to pandas.
    if (chunked.attr("null_count").cast<std::int64_t>() != 0) return std::nullopt;
    for (const py::handle chunk : chunked.attr("chunks")) {
      const py::list buffers = chunk.attr("buffers")();
      Chunk c;
      c.length = py::len(chunk);
      c.wide = type == "large_string";
      const auto offset = chunk.attr("offset").cast<std::size_t>();
      c.offsets = static_cast<const char*>(py::buffer(buffers[1]).request().ptr) + offset * (c.wide ? 8 : 4);
      if (!buffers[2].is_none()) c.data = static_cast<const char*>(py::buffer(buffers[2]).request().ptr);
      if (c.length > 0 && c.data == nullptr && c.offset_at(c.length) != c.offset_at(0)) return std::nullopt;
      out.chunks_.push_back(c);
      out.n_ += c.length;
    }
    out.keep_ = std::move(chunked);
    return out;
  }
  const py::object values = labels.attr("to_numpy")();  // a view for object and Python-backed str labels
  if (!py::isinstance<py::array>(values)) return std::nullopt;
  auto arr = py::reinterpret_borrow<py::array>(values);
  if (arr.ndim() != 1 || arr.dtype().kind() != 'O' || (arr.flags() & py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_) == 0) {
    return std::nullopt;
  }
  const auto* items = static_cast<PyObject* const*>(arr.data());
  for (py::ssize_t i = 0, n = arr.shape(0); i < n; ++i) {
    if (!PyUnicode_CheckExact(items[i])) return std::nullopt;
  }
  out.n_ = static_cast<std::size_t>(arr.shape(0));
  out.objects_ = std::move(arr);
  return out;
}

py::object TextLabels::str(const Label& label) {
  if (label.object != nullptr) return py::reinterpret_borrow<py::object>(label.object);
  PyObject* s = PyUnicode_DecodeUTF8(label.utf8.data(), static_cast<Py_ssize_t>(label.utf8.size()), "strict");
  if (s == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(s);
}

bool labels_upper(const py::handle& labels) {
  // Plain text labels are scanned: str.upper() would build a new string per label, several frames' worth
  // on a wide frame.
  if (const auto text = TextLabels::of(labels)) {
    return text->each([](std::size_t, const TextLabels::Label& l) {
      if (l.ascii) return std::none_of(l.utf8.begin(), l.utf8.end(), [](char ch) { return ch >= 'a' && ch <= 'z'; });
      const py::object s = TextLabels::str(l);
      return s.attr("upper")().equal(s);
    });
  }
  return labels.attr("str").attr("upper")().attr("equals")(labels).cast<bool>();
}

py::object attributes_csv(const char* module_name, bool begin_dates) {
  const py::object path = package_dir(module_name) / py::str("futures_attributes.csv");
  const auto read = [&] {
    py::kwargs how;
    how["index_col"] = 0;
    if (begin_dates) how["parse_dates"] = py::list(py::make_tuple("backtest_begin_date"));
    return pd().attr("read_csv")(path, **how);
  };
  const auto id = tablefile::identify(py::bytes(py::module_::import("os").attr("fsencode")(path)).cast<std::string>());
  if (!id || tablefile::racy(*id)) return read();
  // Kept on the package, so every module of it shares one table per file; each entry is replaced whole.
  py::module_ pkg = py::module_::import("VarloAlpha.Module");
  if (!py::hasattr(pkg, "_attributes_memo")) pkg.attr("_attributes_memo") = py::dict();
  const py::dict memo = pkg.attr("_attributes_memo");
  const py::object slot = py::make_tuple(path, begin_dates);
  const py::object key = py::make_tuple(id->dev, id->ino, id->size, id->mtime_ns, id->ctime_ns);
  if (PyObject* hit = PyDict_GetItemWithError(memo.ptr(), slot.ptr())) {
    const auto entry = py::reinterpret_borrow<py::tuple>(hit);
    if (key.equal(entry[0])) return entry[1].attr("copy")(py::arg("deep") = false);
  } else if (PyErr_Occurred()) {
    throw py::error_already_set();
  }
  const py::object table = read();
  memo[slot] = py::make_tuple(key, table.attr("copy")(py::arg("deep") = false));
  return table;
}

py::object attribute_table(const char* module_name, const py::handle& labels) {
  py::object table = attributes_csv(module_name, false);
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
