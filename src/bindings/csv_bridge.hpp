// Report tables written as pandas' to_csv writes them with its defaults, without pandas' Python-level
// formatting for the usual case.
#pragma once

#include <pybind11/pybind11.h>

namespace varlo::bridge {

namespace py = pybind11;

// frame.to_csv(path), byte for byte. A float64 frame under a naive DatetimeIndex (dates on whole seconds)
// with plain str labels is formatted by the core without the GIL; anything else (object or integer
// columns, other index types, labels that need quoting, a path that is an open file) goes to to_csv.
void write_csv(const py::handle& frame, const py::handle& path);

}  // namespace varlo::bridge
