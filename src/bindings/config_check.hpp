// The run configuration checked as a whole before the first date, against the one table of every key the
// system reads (config_keys.csv in the package directory), and the run's own products checked where made.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace varlo::bridge {

namespace py = pybind11;

// ConfigWarning and AlphaWarning (UserWarning subclasses) created on `m`, and check_config bound there.
void register_config_check(py::module_& m);

// Everything that can be judged without the market data: unknown keys (warnings, KeyError when
// config["base"]["strict"]), value types and ranges, names that become file names, operator names in `ns`.
void check_config(const py::object& config, const py::dict& ns);

// Once the context holds its universe and parameters: the universe listed once each, and the
// configuration's operator chain and the strategy's own (context.operators) run on a few dates of made-up
// alpha, so a bad mode or parameter raises the operator's own error before the first date.
void check_chains(const py::object& config, const py::object& context, const py::dict& ns);

// Warnings on the recorded alpha (inf, dates without any value) and on positions never taken.
void warn_alpha(const py::object& alpha, const py::dict& ns);
void warn_positions(const py::object& volume_position, const py::dict& ns);

// A price table read from `file` whose index is not naive dates (text, integers, a time zone) would
// align with nothing: ValueError naming the file.
void check_date_index(const py::handle& table, const py::handle& file);

// A value that becomes part of a file name: text without a path separator or NUL, not "." or "..".
void check_name_part(const py::handle& value, const std::string& where);

}  // namespace varlo::bridge
