// The parallel gzip pickle reader (declared in gzip_reader.hpp).
#include "gzip_reader.hpp"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "interrupt.hpp"
#include "pandas_bridge.hpp"  // pd()
#include "signals.hpp"
#include "table_cache.hpp"

namespace varlo::bridge {

namespace {

// The trailer's ISIZE is only a claim (a truncated or corrupt file puts anything there): the first
// buffer never exceeds this many times the compressed size, and grows with what actually inflates.
constexpr std::size_t kFirstRatio = 8;
constexpr std::size_t kMinBuffer = std::size_t{1} << 16;
// Output per inflate call: a few tens of milliseconds between checks for Ctrl-C.
constexpr std::size_t kStep = std::size_t{1} << 24;

// The buffer doubles, unless the trailer agrees with the output so far extrapolated over the whole input:
// then it is believed and the buffer goes straight to that size.
std::size_t next_size(std::size_t current, std::size_t hint, std::size_t produced, std::size_t consumed,
                      std::size_t total) {
  const double projected = consumed == 0 ? 0.0 : static_cast<double>(produced) / static_cast<double>(consumed) *
                                                     static_cast<double>(total);
  if (hint > current && static_cast<double>(hint) <= 2 * projected) return hint;
  return current * 2;
}

// A whole file inflated, or nothing when the fast path declines it; or the check of the gzip trailer that
// failed, which no other reader may be left to overlook (pandas' unpickler stops before the trailer).
struct Inflated {
  std::optional<std::string> data;
  const char* failed_check = nullptr;
};

const char* failed_trailer_check(const z_stream& zs) {
  if (zs.msg == nullptr) return nullptr;
  const std::string msg = zs.msg;
  if (msg == "incorrect data check") return "CRC";
  if (msg == "incorrect length check") return "length";
  return nullptr;
}

// Whole gzip file inflated (all members), or nothing when the file cannot be read that way.
Inflated inflate_file(const std::string& path, varlo::Interrupt& interrupt) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return {};
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec || size < 18 || size > (std::uintmax_t{1} << 40)) return {};
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string packed(static_cast<std::size_t>(size), '\0');
  if (!in.read(packed.data(), static_cast<std::streamsize>(size))) return {};
  if (static_cast<unsigned char>(packed[0]) != 0x1f || static_cast<unsigned char>(packed[1]) != 0x8b) {
    return {};
  }
  const auto* tail = reinterpret_cast<const unsigned char*>(packed.data() + packed.size() - 4);
  const std::size_t hint = tail[0] | (tail[1] << 8) | (tail[2] << 16) | (static_cast<std::size_t>(tail[3]) << 24);
  std::string out;
  out.resize(std::max(kMinBuffer, std::min(hint, packed.size() * kFirstRatio)));

  z_stream zs{};
  if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) return {};
  struct End {
    z_stream& zs;
    ~End() { inflateEnd(&zs); }
  } end{zs};
  zs.next_in = reinterpret_cast<Bytef*>(packed.data());
  zs.avail_in = static_cast<uInt>(std::min<std::size_t>(packed.size(), 1u << 30));
  std::size_t consumed = 0;
  std::size_t produced = 0;
  int rc = Z_OK;
  while (true) {
    if (produced == out.size()) out.resize(next_size(out.size(), hint, produced, consumed, packed.size()));
    zs.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
    zs.avail_out = static_cast<uInt>(std::min(out.size() - produced, kStep));
    const uInt out_before = zs.avail_out;
    const uInt in_before = zs.avail_in;
    interrupt.check();
    rc = inflate(&zs, Z_NO_FLUSH);
    produced += out_before - zs.avail_out;
    consumed += in_before - zs.avail_in;
    if (zs.avail_in == 0 && consumed < packed.size()) {
      zs.avail_in = static_cast<uInt>(std::min<std::size_t>(packed.size() - consumed, 1u << 30));
    }
    if (rc == Z_STREAM_END) {
      if (consumed == packed.size()) break;
      if (inflateReset(&zs) != Z_OK) break;  // another member follows
      continue;
    }
    if (rc == Z_DATA_ERROR) {
      if (const char* check = failed_trailer_check(zs)) return {std::nullopt, check};
    }
    if (rc != Z_OK && rc != Z_BUF_ERROR) break;
    if (rc == Z_BUF_ERROR && consumed == packed.size()) break;  // truncated stream
  }
  if (rc != Z_STREAM_END) return {};
  out.resize(produced);
  return {std::move(out)};
}

// No failure may leave a reader thread (std::terminate): whatever goes wrong, pandas reads the file
// again and raises its own error. A stopped read returns nothing; the interrupt tells.
Inflated try_inflate_file(const std::string& path, varlo::Interrupt& interrupt) noexcept {
  try {
    return inflate_file(path, interrupt);
  } catch (...) {
    return {};
  }
}

// On the calling thread a stop propagates (it carries the pending KeyboardInterrupt); other failures fall
// back to pandas as on the reader threads.
Inflated inflate_file_here(const std::string& path, varlo::Interrupt& interrupt) {
  try {
    return inflate_file(path, interrupt);
  } catch (const varlo::Interrupted&) {
    throw;
  } catch (...) {
    return {};
  }
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
  // The file system's own bytes: a name that is not UTF-8 (surrogates in Python) opens as pandas opens it.
  py::object fsencode = py::module_::import("os").attr("fsencode");
  for (const auto& p : paths) names.push_back(py::bytes(fsencode(p)).cast<std::string>());

  // Tables found in the cache are not read; only what the fast path read and verified is stored.
  TableCache cache(names);
  std::vector<py::object> out(n);
  cache.lookup(out);

  std::vector<Inflated> raw(n);
  varlo::Interrupt interrupt(signal_poll());
  try {
    py::gil_scoped_release release;
    varlo::Finished finished;
    std::vector<std::jthread> workers;
    workers.reserve(n);
    std::size_t inline_from = 1;
    try {
      for (; inline_from < n; ++inline_from) {
        if (out[inline_from]) continue;
        workers.emplace_back([&raw, &names, &interrupt, &finished, i = inline_from] {
          raw[i] = try_inflate_file(names[i], interrupt);
          finished.one();
        });
      }
    } catch (const std::system_error&) {
      // no thread to be had: the rest is read here
    }
    try {
      for (std::size_t i = inline_from; i < n; ++i) {
        if (!out[i]) raw[i] = inflate_file_here(names[i], interrupt);
      }
      if (n > 0 && !out[0]) raw[0] = inflate_file_here(names[0], interrupt);
      finished.wait(workers.size(), interrupt);
    } catch (const varlo::Interrupted&) {
      interrupt.stop();  // the readers stop at their next step; leaving the scope joins them
      throw;
    }
  } catch (const varlo::Interrupted&) {
    throw py::error_already_set();  // the KeyboardInterrupt the signal handler raised
  }

  py::object loads = py::module_::import("pickle").attr("loads");
  for (std::size_t i = 0; i < n; ++i) {
    if (out[i]) continue;
    if (raw[i].failed_check) {
      py::object damaged = py::module_::import("gzip").attr("BadGzipFile");
      const py::object message =
          py::str(std::string(raw[i].failed_check) + " check failed, the file is damaged: ") + py::str(paths[i]);
      PyErr_SetObject(damaged.ptr(), message.ptr());
      throw py::error_already_set();
    }
    if (raw[i].data) {
      try {
        out[i] = loads(py::bytes(*raw[i].data));
        cache.store(i, out[i]);
        continue;
      } catch (const py::error_already_set&) {
        // pandas has compatibility fallbacks for old pickles; let it decide.
      }
    }
    out[i] = reader(paths[i], py::arg("compression") = "gzip");
  }
  return out;
}

}  // namespace varlo::bridge
