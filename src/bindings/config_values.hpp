// The bridge's configuration values: numbers and directories read from a run configuration.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace varlo::bridge {

namespace py = pybind11;

// A configuration number taken as a float64 frame operand, raising what the pandas arithmetic raises
// (TypeError for text and other non-numbers, OverflowError for an int beyond float range), naming `name`.
double number_of(const py::handle& value, const char* name);

// A file-name text as the file system's bytes and back: names that are not UTF-8 (surrogates in Python)
// survive the trip through std::string.
std::string fs_text(const py::handle& text);
py::str fs_str(const std::string& bytes);

// A directory given as text (or any path-like) as a pathlib.Path; a Path is returned as it is.
py::object as_path(const py::object& path);

}  // namespace varlo::bridge
