#include "report_set.hpp"

#include <cctype>

#include "config_values.hpp"

namespace varlo::bridge {

namespace {

using namespace pybind11::literals;

constexpr double kStaleSeconds = 3600.0;
constexpr std::size_t kHexDigits = 32;

std::string text(const py::handle& v) { return py::str(v).cast<std::string>(); }

// Leftovers of a run that was killed between writing and renaming; a live run's temporaries are younger.
void remove_stale_temporaries(const py::object& dir) {
  const double cutoff = py::module_::import("time").attr("time")().cast<double>() - kStaleSeconds;
  const py::object is_regular = py::module_::import("stat").attr("S_ISREG");
  for (py::handle entry : dir.attr("iterdir")()) {
    try {
      if (!report_temporary_name(fs_text(entry.attr("name")))) continue;
      const py::object st = entry.attr("lstat")();
      if (!is_regular(st.attr("st_mode")).cast<bool>() || st.attr("st_mtime").cast<double>() >= cutoff) continue;
      entry.attr("unlink")("missing_ok"_a = true);
    } catch (const py::error_already_set&) {
      // Another run may be clearing the same folder; a leftover that stays harms nothing.
    }
  }
}

}  // namespace

bool report_temporary_name(const std::string& name) {
  constexpr std::size_t kTail = 1 + kHexDigits + 4;  // "." + hex + ".tmp"
  if (name.size() < 2 + kTail || name[0] != '.' || name.compare(name.size() - 4, 4, ".tmp") != 0 ||
      name[name.size() - kTail] != '.') {
    return false;
  }
  for (std::size_t i = name.size() - kTail + 1; i < name.size() - 4; ++i) {
    const char c = name[i];
    if (!std::isdigit(static_cast<unsigned char>(c)) && (c < 'a' || c > 'f')) return false;
  }
  return true;
}

ReportSet::ReportSet(py::object dir) : dir_(std::move(dir)) { remove_stale_temporaries(dir_); }

ReportSet::~ReportSet() {
  if (!committed_) discard();
}

void ReportSet::discard() noexcept {
  const py::error_scope keep;  // the error that ended the run is the one to report
  for (const auto& entry : staged_) {
    try {
      entry.first.attr("unlink")("missing_ok"_a = true);
    } catch (...) {
    }
  }
  staged_.clear();
}

void ReportSet::stage(const std::string& name, const std::function<void(const py::object&)>& write) {
  try {
    const py::object target = dir_ / fs_str(name);
    const py::object temp =
        dir_ / fs_str("." + name + "." + text(py::module_::import("uuid").attr("uuid4")().attr("hex")) + ".tmp");
    staged_.emplace_back(temp, target);
    write(temp);
  } catch (...) {
    discard();
    throw;
  }
}

py::list ReportSet::commit() {
  py::list done;
  std::size_t i = 0;
  try {
    for (; i < staged_.size(); ++i) {
      staged_[i].first.attr("replace")(staged_[i].second);
      done.append(staged_[i].second);
    }
  } catch (...) {
    staged_.erase(staged_.begin(), staged_.begin() + static_cast<std::ptrdiff_t>(i));
    discard();
    throw;
  }
  committed_ = true;
  staged_.clear();
  return done;
}

}  // namespace varlo::bridge
