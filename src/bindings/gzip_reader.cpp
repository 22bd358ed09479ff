#include <zlib.h>

#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "pandas_bridge.hpp"

namespace varlo::bridge {

namespace {

// Whole gzip file inflated (all members), or nothing when the file cannot be read that way.
std::optional<std::string> inflate_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return std::nullopt;
  const std::streamoff size = in.tellg();
  if (size <= 0) return std::nullopt;
  std::string packed(static_cast<std::size_t>(size), '\0');
  in.seekg(0);
  if (!in.read(packed.data(), size)) return std::nullopt;
  if (packed.size() < 18 || static_cast<unsigned char>(packed[0]) != 0x1f || static_cast<unsigned char>(packed[1]) != 0x8b) {
    return std::nullopt;
  }
  // The trailer holds the last member's size mod 2^32: a good first guess for the output buffer.
  const auto* tail = reinterpret_cast<const unsigned char*>(packed.data() + packed.size() - 4);
  const std::size_t hint = tail[0] | (tail[1] << 8) | (tail[2] << 16) | (static_cast<std::size_t>(tail[3]) << 24);
  std::string out;
  out.resize(std::max<std::size_t>(hint, 1024));

  z_stream zs{};
  if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
  zs.avail_in = static_cast<uInt>(packed.size());
  std::size_t produced = 0;
  int rc = Z_OK;
  while (true) {
    if (produced == out.size()) out.resize(out.size() * 2);
    zs.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
    zs.avail_out = static_cast<uInt>(std::min<std::size_t>(out.size() - produced, 1u << 30));
    const uInt before = zs.avail_out;
    rc = inflate(&zs, Z_NO_FLUSH);
    produced += before - zs.avail_out;
    if (rc == Z_STREAM_END) {
      if (zs.avail_in == 0) break;
      if (inflateReset(&zs) != Z_OK) break;  // another member follows
      continue;
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) break;
    if (rc == Z_BUF_ERROR && zs.avail_in == 0) break;  // truncated stream
  }
  inflateEnd(&zs);
  if (rc != Z_STREAM_END) return std::nullopt;
  out.resize(produced);
  return out;
}

}  // namespace

std::vector<py::object> read_pickles_gz(const std::vector<py::object>& paths) {
  const std::size_t n = paths.size();
  // A replaced reader (an instrumented or mocked pandas.read_pickle) is honoured: every file goes through it.
  py::object reader = pd().attr("read_pickle");
  if (!reader.is(py::module_::import("pandas.io.pickle").attr("read_pickle"))) {
    std::vector<py::object> out;
    for (const auto& p : paths) out.push_back(reader(p, py::arg("compression") = "gzip"));
    return out;
  }
  std::vector<std::string> names;
  names.reserve(n);
  py::object fspath = py::module_::import("os").attr("fspath");
  for (const auto& p : paths) names.push_back(py::str(fspath(p)).cast<std::string>());

  std::vector<std::optional<std::string>> raw(n);
  {
    py::gil_scoped_release release;
    std::vector<std::jthread> workers;
    for (std::size_t i = 1; i < n; ++i) workers.emplace_back([&, i] { raw[i] = inflate_file(names[i]); });
    if (n > 0) raw[0] = inflate_file(names[0]);
  }

  py::object loads = py::module_::import("pickle").attr("loads");
  std::vector<py::object> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (raw[i]) {
      try {
        out.push_back(loads(py::bytes(*raw[i])));
        continue;
      } catch (const py::error_already_set&) {
        // pandas has compatibility fallbacks for old pickles; let it decide.
      }
    }
    out.push_back(reader(paths[i], py::arg("compression") = "gzip"));
  }
  return out;
}

}  // namespace varlo::bridge
