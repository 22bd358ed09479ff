#include "csv_bridge.hpp"

#include <optional>
#include <string>
#include <vector>

#include "csv_writer.hpp"
#include "pandas_bridge.hpp"
#include "signals.hpp"

namespace varlo::bridge {

namespace {

// A label written as it is: a str that to_csv's writer would not quote.
std::optional<std::string> plain_label(const py::handle& label) {
  if (!PyUnicode_CheckExact(label.ptr())) return std::nullopt;
  std::string s = label.cast<std::string>();
  if (s.find_first_of(",\"\r\n") != std::string::npos) return std::nullopt;
  return s;
}

bool all_float64(const py::handle& frame) {
  const py::object f64 = np().attr("dtype")("float64");
  for (py::handle dt : frame.attr("dtypes")) {
    if (!dt.is(f64) && !dt.equal(f64)) return false;
  }
  return true;
}

}  // namespace

void write_csv(const py::handle& frame, const py::handle& path) {
  py::module_ p = pd();
  const bool path_like = PyUnicode_Check(path.ptr()) || py::isinstance(path, py::module_::import("os").attr("PathLike"));
  const py::object index = frame.attr("index");
  const py::object columns = frame.attr("columns");
  bool fast = path_like && py::type::handle_of(frame).is(p.attr("DataFrame")) &&
              py::type::handle_of(index).is(p.attr("DatetimeIndex")) && index.attr("tz").is_none() &&
              !index.attr("hasnans").cast<bool>() && py::type::handle_of(columns).is(p.attr("Index")) &&
              py::len(columns) > 0 && all_float64(frame);
  std::optional<std::string> index_label = std::string();
  std::vector<std::string> labels;
  if (fast && !index.attr("name").is_none()) index_label = plain_label(index.attr("name"));
  fast = fast && index_label.has_value();
  for (py::handle c : fast ? columns : py::object(py::list())) {
    std::optional<std::string> s = plain_label(c);
    if (!s) {
      fast = false;
      break;
    }
    labels.push_back(std::move(*s));
  }
  std::vector<std::int64_t> dates;
  if (fast) {
    dates = ns_of(index);
    fast = csv::whole_seconds(dates);
  }
  if (!fast) {
    frame.attr("to_csv")(path);
    return;
  }
  const FrameIn in = frame_in(frame, "write_csv");
  const std::string line_end = py::module_::import("os").attr("linesep").cast<std::string>();
  const std::string text = without_gil([&] { return csv::table_text(*index_label, labels, dates, in.view, line_end); });
  // Opened as pandas opens it (replacing the file); errors are the interpreter's own.
  py::object file = py::module_::import("builtins").attr("open")(path, "wb");
  try {
    file.attr("write")(py::memoryview::from_memory(text.data(), static_cast<py::ssize_t>(text.size())));
  } catch (...) {
    file.attr("close")();
    throw;
  }
  file.attr("close")();
}

}  // namespace varlo::bridge
