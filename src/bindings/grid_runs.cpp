// Parameter-grid runs: one configuration per grid point, all derived before any run starts, mapped over a
// process pool or any executor whose map keeps the order of its inputs.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "config_check.hpp"
#include "grids.hpp"
#include "package.hpp"
#include "report_set.hpp"
#include "config_values.hpp"
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

// An environment variable back as it was: the caller's thread budget after a grid (also when an in-process
// executor ran the runs), the cache switch after a warm-up run.
class EnvRestore {
 public:
  explicit EnvRestore(const char* name) : name_(name), saved_(environ().attr("get")(name_)) {}
  EnvRestore(const EnvRestore&) = delete;
  EnvRestore& operator=(const EnvRestore&) = delete;
  ~EnvRestore() {
    try {
      py::object env = environ();
      if (env.attr("get")(name_).equal(saved_)) return;
      if (saved_.is_none()) {
        env.attr("pop")(name_, py::none());
      } else {
        env[name_] = saved_;
      }
    } catch (const py::error_already_set&) {
      // Restoring must not replace the error being raised.
    }
  }

 private:
  py::str name_;
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
    // The value's text becomes part of the run's folder name, which must stay inside the grid's folder.
    br::check_name_part(py::str(value), "parameter_grid[" + py::repr(name).cast<std::string>() + "] value");
    const py::object suffix = py::str("_") + py::str(value);
    save_path = save_path + suffix;
    summary_name = summary_name + suffix;
  }
  config[py::str("summary_name")] = summary_name;
  output[py::str("save_path")] = ns["Path"](save_path);
  return config;
}

// The summaries of a grid as far as it got: a row per grid point, NaN for the points that did not finish.
py::object partial_summarys(const std::vector<py::object>& summaries, const py::list& runs, const py::dict& ns) {
  py::object series = ns["pd"].attr("Series");
  py::list rows;
  for (std::size_t i = 0; i < summaries.size(); ++i) {
    if (summaries[i]) {
      rows.append(summaries[i]);
    } else {
      rows.append(series("name"_a = runs[i][py::int_(1)][py::str("summary_name")], "dtype"_a = "float64"));
    }
  }
  return ns["pd"].attr("DataFrame")(rows);
}

std::string point_text(const py::list& runs, std::size_t i) {
  const py::handle run = runs[i];
  return py::str(run[py::int_(1)][py::str("summary_name")]).cast<std::string>() + " " +
         py::repr(run[py::int_(2)]).cast<std::string>();
}

// The workers of a multiprocessing pool, watched: the pool replaces a worker that died but never fails
// the task it held, so any worker that exits while runs are outstanding ends the grid. Each run marks
// itself started in a folder (index and worker pid), which names the points in flight.
class PoolWatch {
 public:
  explicit PoolWatch(py::object pool) : pool_(std::move(pool)) {
    marks_ = py::module_::import("tempfile").attr("TemporaryDirectory")("prefix"_a = "varlo-grid-");
    dir_ = marks_.attr("name");
  }
  PoolWatch(const PoolWatch&) = delete;
  PoolWatch& operator=(const PoolWatch&) = delete;
  ~PoolWatch() {
    try {
      marks_.attr("cleanup")();
    } catch (const py::error_already_set&) {
    }
  }
  const py::object& dir() const { return dir_; }

  // Raises BrokenProcessPool when a worker of the pool has exited: one seen exiting, or the worker of a
  // run still marked started that is no longer among the pool's live workers (the pool may have reaped and
  // replaced it between two checks).
  void check(const py::list& runs) {
    // The marks first: a worker that marks a run is already among the pool's processes when they are read.
    const py::list marks = py::module_::import("os").attr("listdir")(dir_);
    std::vector<std::string> live;
    py::object dead_pid = py::none(), dead_code = py::none();
    for (py::handle p : py::getattr(pool_, "_pool", py::list())) {
      if (!known_.contains(p)) known_.append(p);
    }
    for (py::handle p : known_) {
      const py::object code = p.attr("exitcode");
      if (code.is_none()) {
        live.push_back(py::str(p.attr("pid")).cast<std::string>());
      } else if (dead_pid.is_none()) {
        dead_pid = p.attr("pid");
        dead_code = code;
      }
    }
    if (dead_pid.is_none()) {
      for (py::handle mark : marks) {
        const std::string pid = py::str(py::list(mark.attr("split")("."))[1]).cast<std::string>();
        if (std::find(live.begin(), live.end(), pid) == live.end()) {
          dead_pid = py::int_(std::stol(pid));
          break;
        }
      }
    }
    if (dead_pid.is_none()) return;
    std::string on_dead, in_flight;
    for (py::handle mark : marks) {
      const py::list parts = mark.attr("split")(".");
      const auto i = py::int_(parts[0]).cast<std::size_t>();
      std::string& list = py::object(parts[1]).equal(py::str(dead_pid)) ? on_dead : in_flight;
      list += (list.empty() ? "" : ", ") + point_text(runs, i);
    }
    std::string message = "a grid worker (pid " + py::str(dead_pid).cast<std::string>() + ") died";
    if (!dead_code.is_none()) message += " with exit code " + py::str(dead_code).cast<std::string>();
    if (!on_dead.empty()) message += " while running " + on_dead;
    if (!in_flight.empty()) message += "; also in flight: " + in_flight;
    py::object broken = py::module_::import("concurrent.futures.process").attr("BrokenProcessPool");
    PyErr_SetObject(broken.ptr(), py::str(message).ptr());
    throw py::error_already_set();
  }

 private:
  py::object pool_;
  py::object marks_;
  py::object dir_;
  py::list known_;
};

constexpr double kWatchSeconds = 0.25;

// Feeds (index, summary) pairs, in whatever order they finish, into their grid slots; a pool's workers
// are checked whenever no result came for a moment.
void collect(const py::object& finished, std::vector<py::object>& summaries, const Progress& progress,
             const py::list& runs, PoolWatch* watch) {
  const py::object it = finished.attr("__iter__")();
  const py::object timeout = py::module_::import("multiprocessing").attr("TimeoutError");
  while (true) {
    py::object pair;
    try {
      pair = watch ? it.attr("next")(kWatchSeconds) : it.attr("__next__")();
    } catch (py::error_already_set& e) {
      if (e.matches(PyExc_StopIteration)) break;
      if (!watch || !e.matches(timeout)) throw;
      watch->check(runs);
      continue;
    }
    const auto i = pair[py::int_(0)].cast<std::size_t>();
    summaries.at(i) = pair[py::int_(1)];
    progress.step();
  }
}

py::object multi_run(const py::object& original_config, const py::object& parameter_grid, const py::object& executor,
                     const py::object& num_threads, const py::dict& ns) {
  const py::object alpha_id = original_config[py::str("base")][py::str("alpha_id")];
  br::check_name_part(alpha_id, "config['base']['alpha_id']");  // names the grid's report folder
  const py::list parameter_list(py::getattr(py::module_::import(kModuleName), "ParameterGrid")(parameter_grid));
  const py::list parameters(parameter_grid.attr("keys")());
  const auto budget = budget_argument(num_threads, "num_threads");

  py::list runs;
  for (std::size_t i = 0; i < parameter_list.size(); ++i) {
    runs.append(py::make_tuple(i, derive_config(original_config, alpha_id, parameters, parameter_list[i], ns),
                               parameter_list[i]));
  }
  const py::object partial = py::module_::import("functools").attr("partial");
  const py::object budget_arg = budget ? py::object(py::int_(*budget)) : py::object(py::none());

  std::vector<py::object> summaries(runs.size());
  try {
    const EnvRestore restore(kThreadBudgetVariable);
    const Progress progress(runs.size());
    if (!executor.is_none()) {
      collect(executor.attr("map")(partial(ns["_grid_run"], budget_arg), runs), summaries, progress, runs, nullptr);
    } else {
      // One worker fewer than the machine's processors, but never none.
      const long processors = ns["cpu_count"]().cast<long>();
      py::object pool = ns["Pool"](std::max(1L, processors - 1), "initializer"_a = ns["_grid_warm"],
                                   "initargs"_a = py::make_tuple(alpha_id));
      try {
        PoolWatch watch(pool);
        const py::object worker = partial(ns["_grid_run"], budget_arg, "marks"_a = watch.dir());
        collect(pool.attr("imap_unordered")(worker, runs), summaries, progress, runs, &watch);
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
  } catch (py::error_already_set& e) {
    // The runs that finished are kept on the error, NaN where a point did not finish.
    try {
      e.value().attr("summarys") = partial_summarys(summaries, runs, ns);
      // An executor whose worker died knows no point by name: name those that did not finish.
      if (!executor.is_none() && e.matches(py::module_::import("concurrent.futures").attr("BrokenExecutor"))) {
        std::string open;
        for (std::size_t i = 0; i < summaries.size(); ++i) {
          if (!summaries[i]) open += (open.empty() ? "" : ", ") + point_text(runs, i);
        }
        e.value().attr("add_note")("grid points not finished: " + open);
      }
    } catch (const py::error_already_set&) {
    }
    throw;
  }
  py::list rows;
  for (auto& s : summaries) rows.append(std::move(s));
  return ns["pd"].attr("DataFrame")(rows);
}

// The finished summaries of a failed grid, beside where the grid's summary file would be, replaced whole.
void write_partial(const py::error_already_set& e, const py::object& save_path) {
  if (!py::hasattr(e.value(), "summarys")) return;
  const py::object target = save_path.attr("with_name")(py::str(save_path.attr("stem")) + py::str(".partial.csv"));
  try {
    const py::object dir = target.attr("parent");
    dir.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    br::ReportSet set(dir);
    set.stage(br::fs_text(target.attr("name")), [&](const py::object& to) { e.value().attr("summarys").attr("to_csv")(to); });
    set.commit();
    e.value().attr("add_note")(py::str("the summaries of the finished grid points are in ") + py::str(target));
  } catch (py::error_already_set& failed) {
    try {
      e.value().attr("add_note")(py::str("the summaries of the finished grid points could not be written to ") +
                                 py::str(target) + py::str(": ") + py::repr(failed.value()));
    } catch (const py::error_already_set&) {
    }
  }
}

void multi_backtest(const py::object& config, const py::object& multi_run_id, const py::object& parameter_grid,
                    const py::object& executor, const py::object& num_threads, const py::dict& ns) {
  py::object save_path = ns["Path"](py::str(config[py::str("base")][py::str("alpha_id")]) +
                                    py::str("_reports/summarys_") + py::str(multi_run_id) + py::str(".csv"));
  py::object summarys;
  try {
    summarys = ns["multi_run"](config, parameter_grid, "executor"_a = executor, "num_threads"_a = num_threads);
  } catch (py::error_already_set& e) {
    write_partial(e, save_path);
    throw;
  }
  py::module_ plt = py::module_::import("matplotlib.pyplot");
  const py::list before = plt.attr("get_fignums")();
  ns["multi_analyse"](summarys, save_path);
  const py::list names(parameter_grid.attr("keys")());
  // The heat maps' axes carry the grid's parameter names: "p1" is the grid's first key, "p2"... the rest.
  py::list made;
  for (py::handle n : plt.attr("get_fignums")()) {
    if (!before.contains(n)) made.append(plt.attr("figure")(n));
  }
  if (!names.empty()) {
    std::string rows;  // pandas names a row index of several levels by joining them with "-"
    for (std::size_t i = 1; i < names.size(); ++i) rows += (i > 1 ? "-" : "") + py::str(names[i]).cast<std::string>();
    for (py::handle fig : made) {
      for (py::handle ax : fig.attr("axes")) {
        if (py::len(ax.attr("get_title")()) == 0) continue;  // a colour bar
        ax.attr("set_xlabel")(py::str(names[0]));
        if (!rows.empty()) ax.attr("set_ylabel")(rows);
      }
    }
  }
  const py::object output = config[py::str("output")];
  if (py::bool_(output.attr("get")("html", false)).cast<bool>()) {
    py::module_::import("VarloAlpha.report_html").attr("write_grid_page")(save_path, names, multi_run_id);
  }
  if (py::bool_(output.attr("get")("save_figures", false)).cast<bool>()) {
    const py::object save = py::module_::import("VarloAlpha.report_html").attr("save_figure");
    for (std::size_t i = 0; i < made.size(); ++i) {
      const std::string stem = "summarys_" + py::str(multi_run_id).cast<std::string>() + (i ? "_" + std::to_string(i + 1) : "");
      save(made[i], save_path.attr("with_name")(stem + ".png"));
      plt.attr("close")(made[i]);
    }
  }
  plt.attr("show")();
}

// Figures a run drew in a worker are closed with it: a worker serves many runs and nobody shows them.
class CloseNewFigures {
 public:
  CloseNewFigures() {
    py::object loaded = py::module_::import("sys").attr("modules").attr("get")("matplotlib.pyplot");
    if (!loaded.is_none()) before_ = loaded.attr("get_fignums")();
  }
  CloseNewFigures(const CloseNewFigures&) = delete;
  CloseNewFigures& operator=(const CloseNewFigures&) = delete;
  ~CloseNewFigures() {
    try {
      const py::error_scope keep;
      py::object plt = py::module_::import("sys").attr("modules").attr("get")("matplotlib.pyplot");
      if (plt.is_none()) return;
      for (py::handle n : plt.attr("get_fignums")()) {
        if (!before_.contains(n)) plt.attr("close")(n);
      }
    } catch (...) {
    }
  }

 private:
  py::list before_;
};

// One grid run in a worker: the kernel budget for this process, then backtest by its name in the module,
// with the strategy imported from alpha_id. A failure carries the point and its run label as a note.
py::tuple grid_run(const py::object& num_threads, const py::tuple& run, const py::object& marks) {
  if (!num_threads.is_none()) put_budget(num_threads.cast<std::size_t>());
  py::module_ os = py::module_::import("os");
  py::object mark = py::none();
  if (!marks.is_none()) {
    mark = py::module_::import("pathlib").attr("Path")(marks) /
           py::str(py::str(run[0]).cast<std::string>() + "." + py::str(os.attr("getpid")()).cast<std::string>());
    mark.attr("touch")();
  }
  py::object summary;
  try {
    const CloseNewFigures close;
    summary = py::module_::import(kModuleName).attr("backtest")(run[1]);
  } catch (py::error_already_set& e) {
    if (py::len(run) > 2) {
      e.value().attr("add_note")("in the grid point " + py::repr(run[2]).cast<std::string>() + ", run " +
                                 py::str(run[1][py::str("summary_name")]).cast<std::string>());
    }
    if (!mark.is_none()) mark.attr("unlink")("missing_ok"_a = true);
    throw;
  }
  if (!mark.is_none()) mark.attr("unlink")("missing_ok"_a = true);
  return py::make_tuple(run[0], summary);
}

// What every run reads from the package itself, read at a worker's start instead of in its first run.
void warm_package() {
  py::module_::import(kModuleName);
  br::attributes_csv(kModuleName, false);
  br::attributes_csv(kModuleName, true);
}

// A long-lived worker's first run pays one-time costs beyond reading its data: lazy imports and first-use
// paths in pandas and pyarrow, the kernels' first allocations. A small backtest of the bundled example on a
// four-symbol sample market pays them at the worker's start (about 0.1 s), with the table cache off so that
// nothing of it is stored, and its output, prints and warnings dropped.
void warm_run() {
  const EnvRestore cache_switch("VARLO_CACHE");
  environ()["VARLO_CACHE"] = py::str("0");
  const py::module_ contextlib = py::module_::import("contextlib");
  const py::object stack = contextlib.attr("ExitStack")();
  stack.attr("__enter__")();
  const auto close = [&stack](const py::object& type, const py::object& value, const py::object& tb) {
    return stack.attr("__exit__")(type, value, tb);
  };
  try {
    stack.attr("enter_context")(py::module_::import("warnings").attr("catch_warnings")("action"_a = "ignore"));
    stack.attr("enter_context")(contextlib.attr("redirect_stdout")(py::module_::import("io").attr("StringIO")()));
    const py::object dir = stack.attr("enter_context")(
        py::module_::import("tempfile").attr("TemporaryDirectory")("prefix"_a = "varlo-warm-"));
    py::list symbols;
    for (const char* s : {"RB", "CU", "AL", "ZN"}) symbols.append(s);
    const py::object market = py::module_::import("VarloAlpha.Module.sample_market")
                                  .attr("generate")(py::module_::import("pathlib").attr("Path")(dir) / py::str("m"),
                                                    "start"_a = "2024-01-01", "end"_a = "2024-03-31",
                                                    "symbols"_a = symbols);
    const py::dict config(
        "data_path"_a = market,
        "base"_a = py::dict("alpha_id"_a = "VarloAlpha.examples.momentum", "begin_date"_a = "2024-02-01",
                            "end_date"_a = "2024-03-31", "universe"_a = symbols, "alpha_frame"_a = true),
        "operators"_a = py::dict(), "parameters"_a = py::dict("lookback"_a = 10),
        "output"_a = py::dict("output"_a = false),
        "trade"_a = py::dict("trade_contract"_a = "dominant", "matching_type"_a = "vwap", "capital"_a = 1e8,
                             "leverage"_a = 1));
    py::module_::import(kModuleName).attr("backtest")(config);
  } catch (py::error_already_set& e) {
    close(e.type(), e.value(), e.trace());
    throw;
  }
  close(py::none(), py::none(), py::none());
}

// A pool worker's start: the package (its own tables too) and the strategy module loaded once, before the
// first run. A strategy that fails to import fails its runs with its own error instead (a failing
// initializer would make the pool start workers forever).
void grid_warm(const py::object& alpha_id) {
  try {
    warm_package();
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
    ":return: summarys(pd.DataFrame), 每行一套参数, 按ParameterGrid顺序\n"
    ":raises: 某组回测失败时抛出它的异常, 附注参数组与run名; 异常的summarys属性保留已完成的结果(未完成的为NaN).\n"
    "    进程池的工作进程意外退出时抛出BrokenProcessPool, 并列出当时在跑的参数组";

}  // namespace

void register_grid_runs(py::module_& m) {
  py::dict ns = m.attr("__dict__");
  m.def("_grid_warm", &grid_warm, "alpha_id"_a, "网格进程启动: 先导入包和策略模块");
  m.def("_grid_run", &grid_run, "num_threads"_a, "run"_a, "marks"_a = py::none(),
        "一个网格回测: (序号, config, 参数组) -> (序号, summary)");
  {
    // Text signatures in the docstrings, for inspect.signature.
    py::options options;
    options.disable_function_signatures();
    m.def(
        "set_num_threads", [](const py::object& n) { put_budget(budget_argument(n, "n")); }, "n"_a,
        "set_num_threads(n)\n--\n\n"
        "设定本进程(及其子进程)内核计算可用的线程数, 写入环境变量VARLO_NUM_THREADS; None恢复为机器的处理器数");
    m.def("get_num_threads", &thread_budget, "get_num_threads()\n--\n\n当前内核计算可用的线程数");
    // Dask calls a preloaded module's dask_setup as the worker starts. Like the pool's start, it never
    // keeps a worker from starting: whatever fails here fails the runs with its own error.
    m.def(
        "dask_setup",
        [](const py::object&) {
          try {
            warm_package();
            warm_run();
          } catch (const py::error_already_set&) {
          }
        },
        "worker"_a,
        "dask_setup(worker)\n--\n\n"
        "Dask worker预加载(--preload VarloAlpha.Module.Varlo_module): 启动时先读入包自带的表, 并在小样本市场上跑一次\n"
        "示例回测(缓存与输出关闭), 首个回测不再付这些一次性开销");
  }

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
