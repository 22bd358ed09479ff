// The bridge's package concerns: the package directory and its data files, symbol labels, the names a
// module binds from its siblings, operator chains resolved by name.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <optional>
#include <string>

namespace varlo::bridge {

namespace py = pybind11;

// Package directory (where the data files lie) of a module of this package.
py::object package_dir(const char* module_name);

// The labels of a plain Index whose labels are all str, as the object array it holds (no copy); nullopt for
// anything else (MultiIndex, other label types), which pandas' own calls then handle.
std::optional<py::array> text_labels(const py::handle& labels);

// Whether labels are written in upper case (the attribute table's own keys) rather than by symbol_name.
bool labels_upper(const py::handle& labels);

// futures_attributes.csv from the package directory, keyed like `labels`: by its own upper-case codes, or
// by its symbol_name column when the labels are not all upper case.
py::object attribute_table(const char* module_name, const py::handle& labels);

// Binds every public name of `from` on `m`, as a star import does.
void bind_public_names(py::module_& m, const py::module_& from);

// table re-keyed by its symbol_name column (the labels data files use when they are not upper case).
py::object by_symbol_name(const py::handle& table);

// The operator of a chain entry with key k: the function named "op_" followed by k in the namespace dict
// `ns` (a name lookup, not an evaluation of the key's text); NameError when absent.
py::object resolve_operator(const py::handle& ns, const py::handle& key);
// Applies an operator chain (a mapping from key to parameters, in its order) to alpha, each operator taking
// the alpha so far and its parameters.
py::object apply_operators(const py::handle& ns, py::object alpha, const py::handle& chain);

// Binds `name` on m as a plain interpreter function `def name(params): return compiled(call)` in front of
// the compiled one: a real signature for inspect and help(), the interpreter's own argument errors,
// pickling by name. `scope` holds any names the defaults in `params` refer to.
void def_with_signature(py::module_& m, const char* name, const py::object& compiled, const std::string& params,
                        const std::string& call, const char* doc, py::dict scope = py::dict());

}  // namespace varlo::bridge
