// Trailing history of a context's data tables without copying the whole history: the rows up to the
// current date by binary search, the admitted symbols' columns by cached position.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <unordered_map>

namespace varlo::bridge {

namespace py = pybind11;

// Per-context cache. Entries are immutable snapshots replaced whole, so a call that lets another thread
// run (any Python call can) keeps using the snapshot it took; all access happens under the GIL.
class HistoryCache {
 public:
  // context.data[name].loc[:context.timestamp, context.symbols].iloc[-n:]
  py::object frame(const py::handle& context, const py::object& name, const py::object& n);
  // The same values as a new read-only float64 array.
  py::object values(const py::handle& context, const py::object& name, const py::object& n);

  struct Table;
  struct Selection;
  struct Slot {
    std::shared_ptr<const Table> table;
    std::shared_ptr<const Selection> selection;
  };

 private:
  std::unordered_map<std::string, Slot> slots_;
};

}  // namespace varlo::bridge
