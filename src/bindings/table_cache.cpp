// The table cache (declared in table_cache.hpp). An entry's header is JSON text:
//   {"layout": 1, "key": [dev, ino, size, mtime_ns, ctime_ns, version], "rows": n,
//    "index": {"dtype": "datetime64[ns]", "name": null, "freq": null, "piece": 0},
//    "columns": {"dtype": "object" | "str", "storage": null | "python" | "pyarrow", "name": null, "labels": [...]},
//    "groups": [{"kind": "numeric", "dtype": "<f8", "cols": [...], "piece": 1},
//               {"kind": "text", "dtype": "object" | "str", "storage": ..., "cols": [...], "piece": 2,
//                "uniques": 3, "offsets": 4}]}
// and the payload pieces ("pieces": [[offset, nbytes], ...] in the header) are the raw arrays: the index as
// int64, each numeric group as a column-major rows x len(cols) matrix, each text group as column-major int32
// codes into its unique strings (-1 None, -2 NaN), the strings' UTF-8 bytes and their int64 end offsets.
#include "table_cache.hpp"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "pandas_bridge.hpp"  // pd(), np()

#ifndef VARLO_VERSION
#define VARLO_VERSION "dev"
#endif

namespace varlo::bridge {

using namespace pybind11::literals;
namespace tf = varlo::tablefile;

namespace {

constexpr int kLayout = 1;
constexpr std::int32_t kNone = -1;
constexpr std::int32_t kNaN = -2;
constexpr const char* kPackage = "VarloAlpha.Module";
constexpr const char* kMemoName = "_table_memo";

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v == nullptr ? std::string() : std::string(v);
}

std::uint64_t parse_size(const std::string& text) {
  std::size_t used = 0;
  unsigned long long n = 0;
  try {
    n = std::stoull(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  std::string rest = text.substr(used);
  const std::pair<const char*, int> units[] = {{"", 0}, {"K", 10}, {"M", 20}, {"G", 30}, {"T", 40}};
  for (const auto& [unit, shift] : units) {
    if (used > 0 && (rest == unit || rest == std::string(unit) + "iB" || rest == std::string(unit) + "B") &&
        (shift == 0 || n <= (std::numeric_limits<std::uint64_t>::max() >> shift))) {
      return std::uint64_t{n} << shift;
    }
  }
  throw py::value_error("VARLO_CACHE_SIZE must be a number of bytes, optionally with K, M, G or T, got '" +
                        text + "'");
}

py::object identity_key(const tf::FileId& id) {
  return py::make_tuple(id.dev, id.ino, id.size, id.mtime_ns, id.ctime_ns, VARLO_VERSION);
}

std::filesystem::path entry_path(const std::filesystem::path& dir, const py::object& key) {
  const std::string text = py::str(py::module_::import("json").attr("dumps")(py::list(key))).cast<std::string>();
  char name[32];
  std::snprintf(name, sizeof name, "%016llx.vtc",
                static_cast<unsigned long long>(tf::xxh64(text.data(), text.size(), kLayout)));
  return dir / name;
}

bool same(const py::object& a, const py::object& b) { return a.equal(b); }

bool exact_str(const py::handle& v) { return PyUnicode_CheckExact(v.ptr()); }
bool none_or_str(const py::handle& v) { return v.is_none() || exact_str(v); }

// The dict of tables decoded in this process, shared by every module of the package.
py::dict memo() {
  py::module_ pkg = py::module_::import(kPackage);
  if (!py::hasattr(pkg, kMemoName)) pkg.attr(kMemoName) = py::dict();
  return pkg.attr(kMemoName);
}

void remember(const tf::FileId& id, const py::object& frame, std::size_t nbytes, std::uint64_t budget) {
  py::dict m = memo();
  const py::object slot = py::make_tuple(id.dev, id.ino);
  if (m.contains(slot)) PyDict_DelItem(m.ptr(), slot.ptr());
  if (nbytes > budget) return;
  std::uint64_t total = nbytes;
  for (auto item : m) total += item.second.cast<py::tuple>()[2].cast<std::uint64_t>();
  // Least recently used first: a hit moves its slot to the end.
  while (total > budget && py::len(m) > 0) {
    const py::object oldest = py::reinterpret_borrow<py::object>(*py::iter(m));
    total -= m[oldest].cast<py::tuple>()[2].cast<std::uint64_t>();
    PyDict_DelItem(m.ptr(), oldest.ptr());
  }
  m[slot] = py::make_tuple(identity_key(id), frame.attr("copy")("deep"_a = false), nbytes);
}

// A column-major block of Python objects as codes into its distinct strings.
struct Text {
  py::array_t<std::int32_t, py::array::f_style> codes;
  std::string bytes;
  std::vector<std::int64_t> ends;
};

std::optional<Text> encode_text(const py::array& values) {
  const auto rows = values.shape(0);
  const auto cols = values.shape(1);
  Text t{py::array_t<std::int32_t, py::array::f_style>({rows, cols}), {}, {}};
  auto* const codes = t.codes.mutable_data();
  const auto* const objs = static_cast<PyObject* const*>(values.data());
  std::unordered_map<std::string_view, std::int32_t> seen;
  PyObject* last = nullptr;
  std::int32_t last_code = 0;
  const double canonical_nan = std::numeric_limits<double>::quiet_NaN();
  for (py::ssize_t k = 0; k < rows * cols; ++k) {
    PyObject* v = objs[k];
    if (v == last) {
      codes[k] = last_code;
      continue;
    }
    std::int32_t code;
    if (v == Py_None) {
      code = kNone;
    } else if (PyFloat_CheckExact(v)) {
      const double d = PyFloat_AS_DOUBLE(v);
      if (std::bit_cast<std::uint64_t>(d) != std::bit_cast<std::uint64_t>(canonical_nan)) return std::nullopt;
      code = kNaN;
    } else if (PyUnicode_CheckExact(v)) {
      Py_ssize_t n = 0;
      const char* s = PyUnicode_AsUTF8AndSize(v, &n);
      if (s == nullptr) {  // lone surrogates have no UTF-8 form
        PyErr_Clear();
        return std::nullopt;
      }
      const auto [it, fresh] = seen.try_emplace(std::string_view(s, static_cast<std::size_t>(n)),
                                                static_cast<std::int32_t>(seen.size()));
      if (fresh) {
        if (seen.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return std::nullopt;
        t.bytes.append(s, static_cast<std::size_t>(n));
        t.ends.push_back(static_cast<std::int64_t>(t.bytes.size()));
      }
      code = it->second;
    } else {
      return std::nullopt;
    }
    codes[k] = code;
    last = v;
    last_code = code;
  }
  return t;
}

py::array decode_text(const py::array_t<std::int32_t>& codes, std::string_view bytes,
                      const py::array_t<std::int64_t>& ends) {
  const std::size_t n_unique = static_cast<std::size_t>(ends.size());
  std::vector<py::object> uniques;
  uniques.reserve(n_unique);
  std::int64_t begin = 0;
  for (std::size_t u = 0; u < n_unique; ++u) {
    const std::int64_t end = ends.data()[u];
    if (end < begin || static_cast<std::size_t>(end) > bytes.size()) throw std::runtime_error("bad text offsets");
    uniques.push_back(py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(bytes.data() + begin, end - begin, nullptr)));
    if (!uniques.back()) throw py::error_already_set();
    begin = end;
  }
  const py::object nan = py::float_(std::numeric_limits<double>::quiet_NaN());
  py::array out = np().attr("empty")(py::make_tuple(codes.shape(0), codes.shape(1)), "dtype"_a = "object",
                                     "order"_a = "F");
  auto** const slots = static_cast<PyObject**>(out.mutable_data());
  const std::int32_t* const c = codes.data();
  for (py::ssize_t k = 0; k < codes.size(); ++k) {
    PyObject* v;
    if (c[k] == kNone) {
      v = Py_None;
    } else if (c[k] == kNaN) {
      v = nan.ptr();
    } else if (c[k] >= 0 && static_cast<std::size_t>(c[k]) < n_unique) {
      v = uniques[static_cast<std::size_t>(c[k])].ptr();
    } else {
      throw std::runtime_error("bad text code");
    }
    Py_INCREF(v);
    PyObject* old = slots[k];
    slots[k] = v;
    Py_XDECREF(old);
  }
  return out;
}

// "object", or "str" with its storage, for the column dtypes a text group can restore; else nothing.
std::optional<std::pair<std::string, py::object>> text_dtype(const py::handle& dtype) {
  py::module_ pd_ = pd();
  if (py::isinstance(dtype, np().attr("dtype"))) {
    if (dtype.attr("kind").cast<std::string>() == "O") return std::pair{std::string("object"), py::object(py::none())};
    return std::nullopt;
  }
  if (!py::type::handle_of(dtype).is(pd_.attr("StringDtype"))) return std::nullopt;
  const py::object na = dtype.attr("na_value");
  if (!PyFloat_Check(na.ptr()) || !std::isnan(na.cast<double>())) return std::nullopt;
  const py::object storage = dtype.attr("storage");
  const py::object rebuilt = pd_.attr("StringDtype")(storage, "na_value"_a = na);
  if (!rebuilt.equal(dtype)) return std::nullopt;
  return std::pair{std::string("str"), storage};
}

py::object string_dtype(const py::object& storage) {
  return pd().attr("StringDtype")(storage, "na_value"_a = np().attr("nan"));
}

}  // namespace

CacheSettings cache_settings() {
  CacheSettings s;
  std::string off = env("VARLO_CACHE");
  for (char& c : off) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (off == "0" || off == "false" || off == "off" || off == "no") {
    s.on = false;
    return s;
  }
  if (const std::string size = env("VARLO_CACHE_SIZE"); !size.empty()) s.limit = parse_size(size);
  if (const std::string dir = env("VARLO_CACHE_DIR"); !dir.empty()) {
    s.dir = std::filesystem::path(dir);
  } else if (const std::string xdg = env("XDG_CACHE_HOME"); !xdg.empty() && xdg.front() == '/') {
    s.dir = std::filesystem::path(xdg) / "varlo";
  } else if (const std::string home = env("HOME"); !home.empty()) {
    s.dir = std::filesystem::path(home) / ".cache" / "varlo";
  }
  return s;
}

std::optional<std::pair<std::string, std::vector<py::object>>> encode_table(const py::object& df,
                                                                            const py::object& key) {
  py::module_ pd_ = pd();
  py::module_ np_ = np();
  if (!py::type::handle_of(df).is(pd_.attr("DataFrame"))) return std::nullopt;
  if (py::len(df.attr("attrs")) != 0 || !df.attr("flags").attr("allows_duplicate_labels").cast<bool>()) {
    return std::nullopt;
  }
  const py::object index = df.attr("index");
  if (!py::type::handle_of(index).is(pd_.attr("DatetimeIndex")) || !index.attr("tz").is_none() ||
      !none_or_str(index.attr("name"))) {
    return std::nullopt;
  }
  py::object freq = index.attr("freq");
  py::object freqstr = py::none();
  if (!freq.is_none()) {
    freqstr = index.attr("freqstr");
    if (!pd_.attr("tseries").attr("frequencies").attr("to_offset")(freqstr).equal(freq)) return std::nullopt;
  }
  const py::object columns = df.attr("columns");
  if (!py::type::handle_of(columns).is(pd_.attr("Index")) || !none_or_str(columns.attr("name"))) return std::nullopt;
  const auto column_kind = text_dtype(columns.attr("dtype"));
  if (!column_kind) return std::nullopt;
  const py::list labels = columns.attr("tolist")();
  for (py::handle l : labels) {
    if (!exact_str(l)) return std::nullopt;
  }

  std::vector<py::object> pieces;
  py::list groups;
  auto piece = [&pieces](py::object a) {
    pieces.push_back(std::move(a));
    return pieces.size() - 1;
  };
  const std::size_t index_piece = piece(np_.attr("ascontiguousarray")(index.attr("to_numpy")().attr("view")("int64")));

  // Columns grouped by dtype, in order of first appearance.
  const py::list dtypes = df.attr("dtypes").attr("tolist")();
  const std::size_t ncols = labels.size();
  std::vector<std::pair<py::object, std::vector<std::size_t>>> by_dtype;
  for (std::size_t j = 0; j < ncols; ++j) {
    const py::object d = dtypes[j];
    auto it = std::find_if(by_dtype.begin(), by_dtype.end(), [&](const auto& g) { return g.first.equal(d); });
    if (it == by_dtype.end()) {
      by_dtype.emplace_back(d, std::vector<std::size_t>{});
      it = by_dtype.end() - 1;
    }
    it->second.push_back(j);
  }
  for (const auto& [dtype, cols] : by_dtype) {
    const bool whole = cols.size() == ncols;
    auto values = [&](const py::object& as) {
      py::object block = whole ? df : df.attr("iloc")[py::make_tuple(py::slice(py::none(), py::none(), py::none()),
                                                                      py::cast(cols))];
      return np_.attr("asfortranarray")(block.attr("to_numpy")("dtype"_a = as));
    };
    py::dict g;
    g["cols"] = py::cast(cols);
    const bool numeric = py::isinstance(dtype, np_.attr("dtype")) &&
                         std::string("fiub").find(dtype.attr("kind").cast<std::string>()) != std::string::npos;
    if (numeric) {
      g["kind"] = "numeric";
      g["dtype"] = dtype.attr("str");
      g["piece"] = piece(values(dtype));
    } else if (const auto kind = text_dtype(dtype)) {
      auto text = encode_text(values(py::str("object")));
      if (!text) return std::nullopt;
      g["kind"] = "text";
      g["dtype"] = kind->first;
      g["storage"] = kind->second;
      g["piece"] = piece(std::move(text->codes));
      g["uniques"] = piece(np_.attr("frombuffer")(py::bytes(text->bytes), "dtype"_a = "uint8"));
      g["offsets"] = piece(py::array_t<std::int64_t>(static_cast<py::ssize_t>(text->ends.size()), text->ends.data()));
    } else {
      return std::nullopt;
    }
    groups.append(g);
  }

  std::vector<std::size_t> lengths;
  for (const auto& p : pieces) lengths.push_back(p.attr("nbytes").cast<std::size_t>());
  const std::vector<std::size_t> offsets = tf::piece_offsets(lengths);
  py::list spans;
  for (std::size_t i = 0; i < pieces.size(); ++i) spans.append(py::make_tuple(offsets[i], lengths[i]));

  py::dict h;
  h["layout"] = kLayout;
  h["key"] = py::list(key);
  h["rows"] = py::len(index);
  h["index"] = py::dict("dtype"_a = py::str(index.attr("dtype")), "name"_a = index.attr("name"),
                        "freq"_a = freqstr, "piece"_a = index_piece);
  h["columns"] = py::dict("dtype"_a = column_kind->first, "storage"_a = column_kind->second,
                          "name"_a = columns.attr("name"), "labels"_a = labels);
  h["groups"] = groups;
  h["pieces"] = spans;
  std::string header = py::str(py::module_::import("json").attr("dumps")(h)).cast<std::string>();
  return std::pair{std::move(header), std::move(pieces)};
}

py::object decode_table(const tf::Entry& entry, const py::object& key) {
  py::module_ pd_ = pd();
  py::module_ np_ = np();
  const py::dict h = py::module_::import("json").attr("loads")(py::bytes(entry.header));
  if (!same(h["layout"], py::int_(kLayout)) || !same(h["key"], py::list(key))) {
    throw std::runtime_error("not this file's entry");
  }
  const py::list spans = h["pieces"];
  // Every array views the entry's payload, which lives as long as the last of them.
  const py::capsule owner(new std::shared_ptr<const tf::Buffer>(entry.payload),
                          [](void* p) { delete static_cast<std::shared_ptr<const tf::Buffer>*>(p); });
  auto view = [&](const py::handle& piece_id, const py::dtype& dtype, std::vector<py::ssize_t> shape) {
    const py::tuple span = spans[piece_id.cast<std::size_t>()].cast<py::tuple>();
    const auto offset = span[0].cast<std::size_t>();
    const auto nbytes = span[1].cast<std::size_t>();
    std::size_t want = static_cast<std::size_t>(dtype.itemsize());
    for (const auto n : shape) want *= static_cast<std::size_t>(n);
    if (offset % tf::kAlign != 0 || offset > entry.payload_size || nbytes > entry.payload_size - offset ||
        want != nbytes) {
      throw std::runtime_error("piece out of bounds");
    }
    std::vector<py::ssize_t> strides(shape.size());
    py::ssize_t step = dtype.itemsize();
    for (std::size_t k = 0; k < shape.size(); ++k) {  // column-major
      strides[k] = step;
      step *= shape[k];
    }
    return py::array(dtype, shape, strides, entry.payload->get() + offset, owner);
  };

  const auto rows = h["rows"].cast<py::ssize_t>();
  const py::dict ix = h["index"];
  py::object stamps = view(ix["piece"], py::dtype("int64"), {rows}).attr("view")(ix["dtype"]);
  py::object freq = ix["freq"];
  py::object index = pd_.attr("DatetimeIndex")(stamps, "name"_a = ix["name"], "freq"_a = freq, "copy"_a = false);

  const py::dict cx = h["columns"];
  const py::list labels = cx["labels"];
  const py::object column_dtype = same(cx["dtype"], py::str("object")) ? py::object(py::str("object"))
                                                                         : string_dtype(cx["storage"]);
  py::object columns = pd_.attr("Index")(labels, "dtype"_a = column_dtype, "name"_a = cx["name"]);

  const py::list groups = h["groups"];
  const auto ncols = static_cast<py::ssize_t>(labels.size());
  std::vector<py::object> frames;
  for (py::handle gh : groups) {
    const py::dict g = py::reinterpret_borrow<py::dict>(gh);
    const py::list cols = g["cols"];
    const auto k = static_cast<py::ssize_t>(cols.size());
    const bool whole = k == ncols && groups.size() == 1;
    const py::object names = whole ? columns : py::object(cols);
    if (same(g["kind"], py::str("numeric"))) {
      const py::array values = view(g["piece"], py::dtype::from_args(g["dtype"]), {rows, k});
      frames.push_back(pd_.attr("DataFrame")(values, "index"_a = whole ? index : py::none(), "columns"_a = names,
                                             "copy"_a = false));
      continue;
    }
    const py::array codes = view(g["piece"], py::dtype("int32"), {rows, k});
    const py::tuple uspan = spans[g["uniques"].cast<std::size_t>()].cast<py::tuple>();
    const py::array_t<std::uint8_t> bytes_view = view(g["uniques"], py::dtype("uint8"), {uspan[1].cast<py::ssize_t>()});
    const py::tuple ospan = spans[g["offsets"].cast<std::size_t>()].cast<py::tuple>();
    const py::array ends = view(g["offsets"], py::dtype("int64"), {ospan[1].cast<py::ssize_t>() / 8});
    const py::array objects = decode_text(
        codes, std::string_view(reinterpret_cast<const char*>(bytes_view.data()), static_cast<std::size_t>(bytes_view.size())),
        ends);
    if (same(g["dtype"], py::str("object"))) {
      frames.push_back(pd_.attr("DataFrame")(objects, "index"_a = whole ? index : py::none(), "columns"_a = names,
                                             "dtype"_a = "object", "copy"_a = false));
    } else {
      const py::object dtype = string_dtype(g["storage"]);
      py::dict by_position;
      for (py::ssize_t j = 0; j < k; ++j) {
        by_position[cols[static_cast<std::size_t>(j)]] =
            pd_.attr("array")(objects[py::make_tuple(py::slice(py::none(), py::none(), py::none()), j)], "dtype"_a = dtype);
      }
      py::object frame = pd_.attr("DataFrame")(by_position, "copy"_a = false);
      if (whole) {
        frame.attr("columns") = columns;
        frame.attr("index") = index;
      }
      frames.push_back(frame);
    }
  }
  if (frames.size() == 1 && groups.size() == 1 && static_cast<py::ssize_t>(py::len(groups[0].cast<py::dict>()["cols"])) == ncols) {
    return frames.front();
  }
  // Mixed dtypes: the groups side by side, then the columns back in their places.
  py::object frame = frames.empty() ? pd_.attr("DataFrame")("index"_a = pd_.attr("RangeIndex")(rows))
                                    : pd_.attr("concat")(py::cast(frames), "axis"_a = 1);
  py::list order;
  for (py::ssize_t j = 0; j < ncols; ++j) order.append(j);
  frame = frame.attr("__getitem__")(order);
  frame.attr("columns") = columns;
  frame.attr("index") = index;
  return frame;
}

TableCache::TableCache(const std::vector<std::string>& names)
    : settings_(cache_settings()), names_(names), ids_(names.size()) {
  if (!settings_.on) return;
  for (std::size_t i = 0; i < names.size(); ++i) {
    auto id = tf::identify(names[i]);
    if (id && !tf::racy(*id)) ids_[i] = id;
  }
}

void TableCache::lookup(std::vector<py::object>& out) {
  const std::size_t n = ids_.size();
  std::vector<std::size_t> missing;
  {
    py::dict m = memo();
    for (std::size_t i = 0; i < n; ++i) {
      if (!ids_[i]) continue;
      const py::object slot = py::make_tuple(ids_[i]->dev, ids_[i]->ino);
      PyObject* hit = PyDict_GetItemWithError(m.ptr(), slot.ptr());
      if (hit == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        missing.push_back(i);
        continue;
      }
      const py::tuple value = py::reinterpret_borrow<py::tuple>(hit);
      if (!same(value[0], identity_key(*ids_[i]))) {
        missing.push_back(i);
        continue;
      }
      out[i] = value[1].attr("copy")("deep"_a = false);
      PyDict_DelItem(m.ptr(), slot.ptr());  // to the end: most recently used
      m[slot] = value;
    }
  }
  if (missing.empty() || !settings_.dir) return;

  std::vector<std::filesystem::path> files;
  for (const std::size_t i : missing) files.push_back(entry_path(*settings_.dir, identity_key(*ids_[i])));
  std::vector<std::optional<tf::Entry>> entries(missing.size());
  {
    py::gil_scoped_release release;
    auto read = [&](std::size_t k) noexcept {
      try {
        entries[k] = tf::read_entry(files[k]);
      } catch (...) {
        entries[k].reset();
      }
    };
    std::vector<std::jthread> workers;
    std::size_t inline_from = 1;
    try {
      for (; inline_from < missing.size(); ++inline_from) workers.emplace_back(read, inline_from);
    } catch (const std::system_error&) {
    }
    for (std::size_t k = inline_from; k < missing.size(); ++k) read(k);
    if (!missing.empty()) read(0);
  }
  for (std::size_t k = 0; k < missing.size(); ++k) {
    if (!entries[k]) continue;
    const std::size_t i = missing[k];
    py::object frame;
    try {
      frame = decode_table(*entries[k], identity_key(*ids_[i]));
    } catch (const py::error_already_set&) {
      continue;  // not a usable entry: the file is read and the entry rewritten
    } catch (const std::exception&) {
      continue;
    }
    remember(*ids_[i], frame, entries[k]->payload_size, settings_.limit / 4);
    out[i] = frame;
  }
}

void TableCache::store(std::size_t i, const py::object& table) {
  // The cache only ever saves work: a table it cannot keep is simply not kept.
  try {
    keep(i, table);
  } catch (const py::error_already_set&) {
  } catch (const std::exception&) {
  }
}

void TableCache::keep(std::size_t i, const py::object& table) {
  if (!ids_[i]) return;
  const auto now = tf::identify(names_[i]);
  if (!now || !(*now == *ids_[i])) return;  // changed while it was read
  const py::object key = identity_key(*ids_[i]);
  auto encoded = encode_table(table, key);
  if (!encoded) return;
  std::vector<std::span<const std::byte>> pieces;
  std::size_t total = 0;
  for (const auto& a : encoded->second) {
    const py::array arr = a;
    const auto nbytes = static_cast<std::size_t>(arr.nbytes());
    pieces.emplace_back(static_cast<const std::byte*>(arr.data()), nbytes);
    total += nbytes;
  }
  remember(*ids_[i], table, total, settings_.limit / 4);
  if (!settings_.dir || total + encoded->first.size() > settings_.limit) return;
  // The entry is written beside the caller's next steps (unpickling the batch's other files); the arrays it
  // views stay alive, and unwritten to, until the writers are joined when the batch is done.
  auto write = [dir = *settings_.dir, file = entry_path(*settings_.dir, key), header = std::move(encoded->first),
                pieces = std::move(pieces), &wrote = wrote_]() noexcept {
    try {
      std::error_code ec;
      std::filesystem::create_directories(dir, ec);
      if (!ec && tf::write_entry(file, header, pieces)) wrote = true;
    } catch (...) {
      // a cache that cannot be written is only a slower cache
    }
  };
  for (auto& a : encoded->second) arrays_.push_back(std::move(a));
  try {
    writers_.emplace_back(std::move(write));
  } catch (const std::system_error&) {
    py::gil_scoped_release release;
    write();
  }
}

TableCache::~TableCache() {
  if (writers_.empty() && !wrote_) return;
  py::gil_scoped_release release;
  writers_.clear();  // joins
  // One scan of the folder per batch: a full cache holds over a thousand entries.
  if (!wrote_) return;
  try {
    tf::evict(*settings_.dir, settings_.limit);
  } catch (...) {
  }
}

}  // namespace varlo::bridge
