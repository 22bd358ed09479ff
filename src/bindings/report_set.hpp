// The report files of one run, replaced together: all written under hidden temporary names first, then
// renamed into place only when every one of them was written.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace varlo::bridge {

namespace py = pybind11;

class ReportSet {
 public:
  // `dir` must exist. Temporaries that an earlier, killed run left in it (hidden names of this writer,
  // older than an hour) are removed first.
  explicit ReportSet(py::object dir);
  ReportSet(const ReportSet&) = delete;
  ReportSet& operator=(const ReportSet&) = delete;
  // Removes the temporaries of a set that was never committed; the files in place stay as they were.
  ~ReportSet();

  // Writes the file `name` of the set now, through `write(temporary path)`. On failure every temporary
  // of the set is removed and the error propagates.
  void stage(const std::string& name, const std::function<void(const py::object&)>& write);
  // Renames every staged file into place, in staging order; returns their final paths.
  py::list commit();

 private:
  void discard() noexcept;

  py::object dir_;
  std::vector<std::pair<py::object, py::object>> staged_;  // (temporary, target)
  bool committed_ = false;
};

// A hidden temporary name of ReportSet: "." + name + "." + 32 hex digits + ".tmp".
bool report_temporary_name(const std::string& name);

}  // namespace varlo::bridge
