// Comparison of the runs of a parameter grid: the results table, its sorted listings, the pivot tables
// and their heat maps. Table work is pandas' own (pivot_table with margins), drawing is seaborn's.
#include <pybind11/pybind11.h>

#include <string>
#include <utility>

#include "grids.hpp"
#include "pandas_bridge.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
namespace br = varlo::bridge;

namespace varlo::bindings {

namespace {

constexpr const char* kRule = "------------------------------------------------------------";
constexpr std::pair<const char*, const char*> kColumns[] = {{"ar", "Annualized Return"},
                                                            {"ir", "Information Ratio"},
                                                            {"cr", "Calmar Ratio"},
                                                            {"ic", "Information Coefficient"},
                                                            {"tr", "Annualized Turnover Rate"}};
struct HeatMap {
  const char* metric;
  const char* heading;
  int row, col;
  const char* title;
};
constexpr HeatMap kHeatMaps[] = {{"ar", "pivot table by ar", 0, 0, "Annualized Return"},
                                 {"ir", "pivot table by ir", 0, 1, "Information Ratio"},
                                 {"cr", "pivot table by cr", 1, 0, "Calmar Ratio"},
                                 {"ic", "pivot table by ic", 1, 1, "Information Coefficient"}};

// One row per run: its label, the parameter values read back from the label, the five metrics.
py::object results_table(const py::object& results) {
  const py::object to_float = py::module_::import("builtins").attr("float");
  const py::object loc = results.attr("loc");
  py::list rows;
  for (py::handle index : results.attr("index")) {
    py::dict row;
    row["id"] = index;
    const py::list pieces = index.attr("split")("_");
    for (std::size_t i = 1; i < pieces.size(); ++i) {
      std::string key = std::to_string(i);
      key.insert(key.begin(), 'p');  // "p" + to_string(i) draws a false -Wrestrict from GCC 12 at -O3
      row[py::str(key)] = to_float(pieces[i]);
    }
    for (const auto& [column, key] : kColumns) row[column] = loc[py::make_tuple(index, key)];
    rows.append(std::move(row));
  }
  py::object table = br::pd().attr("DataFrame")(rows);
  const py::object labels = table.attr("index");
  table.attr("index") = labels + py::int_(1);
  return table;
}

py::object pivot(const py::object& table, const char* metric, const py::list& rows) {
  py::list columns(1);
  columns[0] = py::str("p1");
  if (!rows.empty()) {
    return table.attr("pivot_table")("values"_a = metric, "index"_a = rows, "columns"_a = columns,
                                     "aggfunc"_a = br::np().attr("mean"), "margins"_a = true);
  }
  // One grid parameter: pandas' margins over an empty row list interleave an "All" column after every
  // value. The table here is the margin row of a pivot over one constant key: the mean per "p1" value,
  // then the overall mean as the single "All" column, under the metric's name as pandas labels it.
  const py::str key("");
  py::dict constant;
  constant[key] = 0;
  py::list keys(1);
  keys[0] = key;
  py::object full = table.attr("assign")(**constant).attr("pivot_table")(
      "values"_a = metric, "index"_a = keys, "columns"_a = columns, "aggfunc"_a = br::np().attr("mean"),
      "margins"_a = true);
  py::list all(1);
  all[0] = py::str("All");
  py::object row = full.attr("loc")[all];
  py::list label(1);
  label[0] = py::str(metric);
  row.attr("index") = br::pd().attr("Index")(label);
  return row;
}

void multi_analyse(const py::object& results, const py::object& save_path) {
  py::object table = results_table(results);
  table.attr("to_csv")(save_path);
  py::print(table);
  for (const auto& [metric, key] : kColumns) {
    if (std::string(metric) == "tr") break;
    py::print(kRule);
    py::print(std::string("Sort by ") + metric);
    py::print(table.attr("sort_values")(metric, "ascending"_a = false));
  }

  py::object plt = py::module_::import("matplotlib.pyplot");
  py::object heatmap = py::module_::import("seaborn").attr("heatmap");
  // Laid out so that no title or colour bar runs into another at the default size.
  const py::tuple fig_axes = plt.attr("subplots")(2, 2, "layout"_a = "constrained");
  const py::object axes = fig_axes[1];
  // "p2" ... "pk": the columns from the third up to the fifth from last.
  const py::list rows(table.attr("columns")[py::slice(py::int_(2), py::int_(-5), py::none())]);
  for (const HeatMap& h : kHeatMaps) {
    py::object pivot_table = pivot(table, h.metric, rows);
    py::print(kRule);
    py::print(h.heading);
    py::print(pivot_table);
    py::object ax = heatmap(pivot_table, "cmap"_a = "RdYlGn_r", "center"_a = 0, "annot"_a = true,
                            "ax"_a = axes[py::make_tuple(h.row, h.col)]);
    ax.attr("set_title")(h.title);
  }
}

}  // namespace

void register_grid_analyse(py::module_& m) {
  br::def_with_signature(m, "multi_analyse", py::cpp_function(&multi_analyse), "results, save_path",
                         "results, save_path",
                         "网格回测结果分析: 结果表写入save_path并打印, 按ar ir cr ic排序, 画四张参数热力图\n\n"
                         ":param results: multi_run返回的summarys, 行名形如run_5_3\n"
                         ":param save_path: 结果表csv路径");
}

}  // namespace varlo::bindings
