// The cache of decoded market tables: in this process (a table read twice is decoded once) and on disk
// (raw arrays, verified by checksum, keyed by the file's identity and the package version).
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "table_file.hpp"

namespace varlo::bridge {

namespace py = pybind11;

struct CacheSettings {
  bool on = true;
  std::optional<std::filesystem::path> dir;  // none: no disk cache, only this process's
  std::uint64_t limit = std::uint64_t{2} << 30;
};

// VARLO_CACHE, VARLO_CACHE_DIR (else $XDG_CACHE_HOME/varlo, else ~/.cache/varlo), VARLO_CACHE_SIZE.
CacheSettings cache_settings();

// One batch of files to read. Files changed in the last moments are neither looked up nor stored:
// a further change could keep their identity.
class TableCache {
 public:
  explicit TableCache(const std::vector<std::string>& names);
  TableCache(const TableCache&) = delete;
  TableCache& operator=(const TableCache&) = delete;
  ~TableCache();  // waits for the entries being written

  // Fills the slots of the files found in memory or on disk; the others stay empty.
  void lookup(std::vector<py::object>& out);

  // The table just read and verified from file i: kept in memory and on disk when it can be stored
  // exactly and the file did not change while it was read. The caller keeps `table`; the cache holds
  // its own copy.
  void store(std::size_t i, const py::object& table);

 private:
  void keep(std::size_t i, const py::object& table);

  CacheSettings settings_;
  const std::vector<std::string>& names_;
  std::vector<std::optional<tablefile::FileId>> ids_;  // empty: not cacheable
  std::vector<py::object> arrays_;   // what the writers read; released after they are joined
  std::atomic<bool> wrote_{false};     // an entry was written: the size bound is enforced once the batch is done
  std::vector<std::jthread> writers_;  // declared last: joined first
};

// Encoded entry of a DataFrame and the frame rebuilt from one (exposed for tests and benchmarks).
std::optional<std::pair<std::string, std::vector<py::object>>> encode_table(const py::object& frame,
                                                                            const py::object& key);
py::object decode_table(const tablefile::Entry& entry, const py::object& key);

}  // namespace varlo::bridge
