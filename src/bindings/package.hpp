// The bridge's package concerns: the package directory and its data files, symbol labels, the names a
// module binds from its siblings, operator chains resolved by name.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace varlo::bridge {

namespace py = pybind11;

// Package directory (where the data files lie) of a module of this package.
py::object package_dir(const char* module_name);

// The labels of a plain Index whose labels are all text, read where they lie: the str objects of an object
// (or Python-backed str) Index, or the UTF-8 buffers of an Arrow-backed str Index, whose labels would
// otherwise be built as Python strings, several frames' worth on a wide frame. nullopt for anything else
// (MultiIndex, other label types, missing labels), which pandas' own calls then handle.
class TextLabels {
 public:
  // One label: its str object (object labels), and its UTF-8 bytes where they are at hand for free (ASCII
  // object labels, every Arrow label). `ascii` says the bytes are all of the label and plain ASCII.
  struct Label {
    PyObject* object = nullptr;
    std::string_view utf8;
    bool ascii = false;
  };

  static std::optional<TextLabels> of(const py::handle& labels);
  std::size_t size() const { return n_; }
  // The label as a str object: borrowed for object labels, a new short-lived one for Arrow labels.
  static py::object str(const Label& label);
  // Calls f(i, label) in order while f returns true; false when f stopped the walk.
  template <class F>
  bool each(F&& f) const {
    std::size_t i = 0;
    if (objects_) {
      const auto* items = static_cast<PyObject* const*>(objects_->data());
      for (; i < n_; ++i) {
        Label l;
        l.object = items[i];
        if (PyUnicode_IS_ASCII(items[i])) {
          l.utf8 = {reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(items[i])),
                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(items[i]))};
          l.ascii = true;
        }
        if (!f(i, l)) return false;
      }
      return true;
    }
    for (const Chunk& c : chunks_) {
      for (std::size_t k = 0; k < c.length; ++k, ++i) {
        const std::int64_t b = c.offset_at(k), e = c.offset_at(k + 1);
        Label l;
        l.utf8 = {c.data + b, static_cast<std::size_t>(e - b)};
        l.ascii = std::all_of(l.utf8.begin(), l.utf8.end(), [](char ch) { return static_cast<unsigned char>(ch) < 0x80; });
        if (!f(i, l)) return false;
      }
    }
    return true;
  }

 private:
  struct Chunk {
    const char* data = nullptr;
    const void* offsets = nullptr;  // int32 (string) or int64 (large_string), already shifted by the slice offset
    bool wide = false;
    std::size_t length = 0;
    std::int64_t offset_at(std::size_t k) const {
      return wide ? static_cast<const std::int64_t*>(offsets)[k] : static_cast<const std::int32_t*>(offsets)[k];
    }
  };
  std::size_t n_ = 0;
  std::optional<py::array> objects_;
  std::vector<Chunk> chunks_;
  py::object keep_;  // owner of the Arrow buffers
};

// Whether labels are written in upper case (the attribute table's own keys) rather than by symbol_name.
bool labels_upper(const py::handle& labels);

// futures_attributes.csv from the package directory as read_csv(path, index_col=0) reads it (and with
// parse_dates=["backtest_begin_date"] when begin_dates), parsed once while the file's identity (device,
// inode, size, modification and change times) stays the same. Each caller gets its own Copy-on-Write copy:
// writing into it leaves the kept table as it was.
py::object attributes_csv(const char* module_name, bool begin_dates);

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
