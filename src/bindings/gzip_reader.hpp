// The parallel reader of gzip-compressed pandas pickles.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

namespace varlo::bridge {

namespace py = pybind11;

// pandas.read_pickle(path, compression="gzip") for several files: the files are read and inflated in
// parallel without the GIL, then unpickled. Any file the fast path cannot take (not a plain gzip stream,
// an unpickling error) is read again by pandas itself, so results and errors are pandas' own; a file whose
// gzip trailer check (CRC-32 or length) fails raises gzip.BadGzipFile naming it.
std::vector<py::object> read_pickles_gz(const std::vector<py::object>& paths);

}  // namespace varlo::bridge
