// Parameter-grid runs: one configuration per grid point, all derived before any run starts, mapped over a
// process pool or any executor whose map keeps the order of its inputs.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "grids.hpp"
#include "package.hpp"
#include "thread_budget.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
namespace br = varlo::bridge;

namespace varlo::bindings {

namespace {

constexpr const char* kModuleName = "VarloAlpha.Module.Varlo_module";

py::object environ() { return py::module_::import("os").attr("environ"); }

// None, or a thread count the core accepts as a budget.
std::optional<std::size_t> budget_argument(const py::object& n, const char* what) {
  if (n.is_none()) return std::nullopt;
  const py::object k = py::module_::import("operator").attr("index")(n);
  if (k < py::int_(1) || k > py::int_(kMaxThreadBudget)) {
    throw py::value_error(std::string(what) + " must be between 1 and " + std::to_string(kMaxThreadBudget) +
                          ", got " + py::str(k).cast<std::string>());
  }
  return k.cast<std::size_t>();
}

// Writes the budget where every module of this process, and every process it starts, reads it.
void put_budget(const std::optional<std::size_t>& n) {
  py::object env = environ();
  if (!n) {
    env.attr("pop")(kThreadBudgetVariable, py::none());
    return;
  }
  const py::str text(std::to_string(*n));
  if (!env.attr("get")(kThreadBudgetVariable).equal(text)) env[py::str(kThreadBudgetVariable)] = text;
}

// The caller's budget comes back after the grid, also when an in-process executor ran the runs.
class BudgetRestore {
 public:
  BudgetRestore() : saved_(environ().attr("get")(kThreadBudgetVariable)) {}
  BudgetRestore(const BudgetRestore&) = delete;
  BudgetRestore& operator=(const BudgetRestore&) = delete;
  ~BudgetRestore() {
    try {
      py::object env = environ();
      if (env.attr("get")(kThreadBudgetVariable).equal(saved_)) return;
      if (saved_.is_none()) {
        env.attr("pop")(kThreadBudgetVariable, py::none());
      } else {
        env[py::str(kThreadBudgetVariable)] = saved_;
      }
    } catch (const py::error_already_set&) {
      // Leaving the grid must not replace the error that ended it.
    }
  }

 private:
  py::object saved_;
};

// A tqdm bar over finished runs, on standard error and only when that is a terminal.
class Progress {
 public:
  explicit Progress(std::size_t total) {
    py::object err = py::module_::import("sys").attr("stderr");
    if (err.is_none() || !py::hasattr(err, "isatty") || !py::bool_(err.attr("isatty")())) return;
    bar_ = py::module_::import("tqdm").attr("tqdm")("total"_a = total, "file"_a = err, "unit"_a = "run");
  }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress() {
    if (bar_.is_none()) return;
    try {
      bar_.attr("close")();
    } catch (const py::error_already_set&) {
    }
  }
  void step() const {
    if (!bar_.is_none()) bar_.attr("update")(1);
  }

 private:
  py::object bar_ = py::none();
};

// The configuration of one grid point: a deep copy with the switches off, the report path and label
// suffixed with the values in the grid's own key order, and the values set where their names point.
py::object derive_config(const py::object& original_config, const py::object& alpha_id, const py::list& names,
                         const py::handle& parameter_dict, const py::dict& ns) {
  py::object config = ns["deepcopy"](original_config);
  config[py::str("base")][py::str("enable_profiler")] = false;
  py::object output = config[py::str("output")];
  output[py::str("print")] = false;
  output[py::str("plot")] = false;
  output[py::str("stratification")] = false;
  py::object save_path = py::str(alpha_id) + py::str("_reports/report");
  py::object summary_name = py::str("run");
  const py::object op = py::str("op");
  for (py::handle name : names) {
    py::object value = parameter_dict[name];
    const py::object head = name[py::slice(py::none(), py::int_(2), py::none())];
    if (!head.equal(op)) {
      config[py::str("parameters")][name] = value;
    } else {
      // "op_smooth" sets the entry "smooth" of the operator "smooth"; the chain keeps its order.
      py::object key = name[py::slice(py::int_(3), py::none(), py::none())];
      config[py::str("operators")][key][key] = value;
    }
    const py::object suffix = py::str("_") + py::str(value);
    save_path = save_path + suffix;
    summary_name = summary_name + suffix;
  }
  config[py::str("summary_name")] = summary_name;
  output[py::str("save_path")] = ns["Path"](save_path);
  return config;
}

// Feeds (index, summary) pairs, in whatever order they finish, into their grid slots.
void collect(const py::iterable& finished, std::vector<py::object>& summaries, const Progress& progress) {
  for (py::handle pair : finished) {
    const auto i = pair[py::int_(0)].cast<std::size_t>();
    summaries.at(i) = pair[py::int_(1)];
    progress.step();
  }
}

py::object multi_run(const py::object& original_config, const py::object& parameter_grid, const py::object& executor,
                     const py::object& num_threads, const py::dict& ns) {
  const py::object alpha_id = original_config[py::str("base")][py::str("alpha_id")];
  const py::list parameter_list(ns["ParameterGrid"](parameter_grid));
  const py::list parameters(parameter_grid.attr("keys")());
  const auto budget = budget_argument(num_threads, "num_threads");

  py::list runs;
  for (std::size_t i = 0; i < parameter_list.size(); ++i) {
    runs.append(py::make_tuple(i, derive_config(original_config, alpha_id, parameters, parameter_list[i], ns)));
  }
  const py::object worker = py::module_::import("functools").attr("partial")(
      ns["_grid_run"], budget ? py::object(py::int_(*budget)) : py::object(py::none()));

  std::vector<py::object> summaries(runs.size());
  {
    const BudgetRestore restore;
    const Progress progress(runs.size());
    if (!executor.is_none()) {
      collect(executor.attr("map")(worker, runs), summaries, progress);
    } else {
      // One worker fewer than the machine's processors, but never none.
      const long processors = ns["cpu_count"]().cast<long>();
      py::object pool = ns["Pool"](std::max(1L, processors - 1), "initializer"_a = ns["_grid_warm"],
                                   "initargs"_a = py::make_tuple(alpha_id));
      try {
        collect(pool.attr("imap_unordered")(worker, runs), summaries, progress);
      } catch (...) {
        try {
          pool.attr("terminate")();
        } catch (const py::error_already_set&) {
          // The run's error is the one to report.
        }
        throw;
      }
      pool.attr("terminate")();
      pool.attr("join")();
    }
  }
  py::list rows;
  for (auto& s : summaries) rows.append(std::move(s));
  return ns["pd"].attr("DataFrame")(rows);
}

void multi_backtest(const py::object& config, const py::object& multi_run_id, const py::object& parameter_grid,
                    const py::object& executor, const py::object& num_threads, const py::dict& ns) {
  py::object summarys =
      ns["multi_run"](config, parameter_grid, "executor"_a = executor, "num_threads"_a = num_threads);
  py::object save_path = ns["Path"](py::str(config[py::str("base")][py::str("alpha_id")]) +
                                    py::str("_reports/summarys_") + py::str(multi_run_id) + py::str(".csv"));
  ns["multi_analyse"](summarys, save_path);
  py::module_::import("matplotlib.pyplot").attr("show")();
}

// One grid run in a worker: the kernel budget for this process, then backtest by its name in the module,
// with the strategy imported from alpha_id.
py::tuple grid_run(const py::object& num_threads, const py::tuple& run) {
  if (!num_threads.is_none()) put_budget(num_threads.cast<std::size_t>());
  py::object backtest = py::module_::import(kModuleName).attr("backtest");
  return py::make_tuple(run[0], backtest(run[1]));
}

// A pool worker's start: the package and the strategy module imported once, before the first run. A
// strategy that fails to import fails its runs with its own error instead (a failing initializer would make
// the pool start workers forever).
void grid_warm(const py::object& alpha_id) {
  try {
    py::module_::import(kModuleName);
    py::module_::import("importlib").attr("import_module")(alpha_id);
  } catch (const py::error_already_set&) {
  }
}

constexpr const char* kMultiRunDoc =
    "对parameter_grid里的参数组并行跑多套回测并返回summarys\n\n"
    ":param original_config: 模板config, 不会被修改\n"
    ":param parameter_grid: {参数名: [取值, ...]}, 以op开头的参数名指向config['operators']里的算子\n"
    ":param executor: None时用本机进程池(cpu_count()-1个进程, 至少1个); 也可传入map按输入顺序返回结果的执行器,\n"
    "    如concurrent.futures的执行器或dask.distributed Client.get_executor()\n"
    ":param num_threads: 每个回测进程内核计算的线程数(VARLO_NUM_THREADS), None时不改动\n"
    ":return: summarys(pd.DataFrame), 每行一套参数, 按ParameterGrid顺序";

}  // namespace

void register_grid_runs(py::module_& m) {
  py::dict ns = m.attr("__dict__");
  m.def("_grid_warm", &grid_warm, "alpha_id"_a, "网格进程启动: 先导入包和策略模块");
  m.def("_grid_run", &grid_run, "num_threads"_a, "run"_a, "一个网格回测: (序号, config) -> (序号, summary)");
  m.def(
      "set_num_threads", [](const py::object& n) { put_budget(budget_argument(n, "n")); }, "n"_a,
      "设定本进程(及其子进程)内核计算可用的线程数, 写入环境变量VARLO_NUM_THREADS; None恢复为机器的处理器数");
  m.def("get_num_threads", &thread_budget, "当前内核计算可用的线程数");

  br::def_with_signature(
      m, "multi_run",
      py::cpp_function([ns](const py::object& original_config, const py::object& parameter_grid,
                            const py::object& executor, const py::object& num_threads) {
        return multi_run(original_config, parameter_grid, executor, num_threads, ns);
      }),
      "original_config, parameter_grid, executor=None, num_threads=1",
      "original_config, parameter_grid, executor, num_threads", kMultiRunDoc);
  br::def_with_signature(
      m, "multi_backtest",
      py::cpp_function([ns](const py::object& config, const py::object& multi_run_id, const py::object& parameter_grid,
                            const py::object& executor, const py::object& num_threads) {
        multi_backtest(config, multi_run_id, parameter_grid, executor, num_threads, ns);
      }),
      "config, multi_run_id, parameter_grid, executor=None, num_threads=1",
      "config, multi_run_id, parameter_grid, executor, num_threads", "multi_backtest API");
}

}  // namespace varlo::bindings
