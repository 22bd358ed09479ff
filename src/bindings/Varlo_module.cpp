// The backtest driver: the strategy's alpha, position alpha and contract sizing.
#include <pybind11/pybind11.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "grids.hpp"
#include "alpha_frame_bridge.hpp"
#include "config_check.hpp"
#include "config_values.hpp"
#include "pandas_bridge.hpp"
#include "signals.hpp"
#include "sizing.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
namespace br = varlo::bridge;

namespace {

constexpr const char* kModuleName = "VarloAlpha.Module.Varlo_module";

// A progress bar for the daily loop, on standard error and only while a terminal watches it: never when
// standard error is redirected or captured, never in a worker process (multiprocessing), never when the
// environment sets VARLO_PROGRESS=0. Standard output stays the report's. Redrawn at most four times a second.
class DailyProgress {
 public:
  explicit DailyProgress(std::size_t total) {
    if (!wanted()) return;
    bar_ = py::module_::import("tqdm").attr("tqdm")("total"_a = total, "file"_a = py::module_::import("sys").attr("stderr"),
                                                     "leave"_a = false, "unit"_a = "day", "mininterval"_a = 0.25);
    last_ = std::chrono::steady_clock::now();
  }
  DailyProgress(const DailyProgress&) = delete;
  DailyProgress& operator=(const DailyProgress&) = delete;
  ~DailyProgress() {
    if (!bar_) return;
    try {
      bar_.attr("close")();
    } catch (const py::error_already_set&) {
      // Closing a bar must not replace the exception that may be unwinding the loop.
    }
  }
  void step() {
    ++done_;
    if (!bar_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(250)) return;
    bar_.attr("update")(done_ - shown_);
    shown_ = done_;
    last_ = now;
  }

  static bool wanted() {
    const char* env = std::getenv("VARLO_PROGRESS");
    if (env && std::string(env) == "0") return false;
    py::object err = py::module_::import("sys").attr("stderr");
    if (err.is_none() || !py::hasattr(err, "isatty") || !py::bool_(err.attr("isatty")()).cast<bool>()) return false;
    return py::module_::import("multiprocessing").attr("parent_process")().is_none();
  }

 private:
  py::object bar_;
  std::size_t done_ = 0;
  std::size_t shown_ = 0;
  std::chrono::steady_clock::time_point last_;
};

// before_loop runs once the context holds its data and parameters, just before the first date.
py::tuple get_alpha(py::object config, py::object ai_init, py::object ai_get_alpha, const py::object& context_cls,
                    const std::function<void(const py::object&)>& before_loop = {}) {
  py::object context = context_cls(config);
  ai_init(context);
  context.attr("get_data")();
  context.attr("set_parameters")();
  if (before_loop) before_loop(context);
  // Bound once: the per-day calls then skip the attribute lookup.
  py::object get_symbols = context.attr("get_symbols");
  py::object record_alpha = context.attr("record_alpha");
  py::object calendar = context.attr("backtest_calendar");
  DailyProgress progress(py::len(calendar));
  for (py::handle dd : calendar) {
    py::setattr(context, "timestamp", dd);
    get_symbols();
    ai_get_alpha(context);
    record_alpha();
    progress.step();
  }
  context.attr("do_operators")();
  py::object alpha = context.attr("original_alpha");
  py::object alpha_multiplier = context.attr("alpha_multiplier");
  return py::make_tuple(alpha, alpha_multiplier);
}

py::object get_position_alpha(const py::object& alpha, const py::object& alpha_multiplier, const py::object& config,
                              const py::dict& ns) {
  py::object op_alpha = br::apply_operators(ns, alpha.attr("copy")(), config[py::str("operators")]);
  op_alpha = ns["op_scale"](op_alpha);
  return op_alpha.attr("mul")(alpha_multiplier, "axis"_a = 0);
}

py::tuple get_position(const py::object& position_alpha, const py::object& config) {
  py::object trade = config[py::str("trade")];
  const py::object trade_contract = trade.attr("get")("trade_contract", "dominant");
  const py::object matching_type = trade.attr("get")("matching_type", "vwap");
  const py::object data_path = br::as_path(config[py::str("data_path")]);
  const auto tables = br::read_pickles_gz({data_path / (trade_contract + py::str("_prevclose.pkl")),
                                           data_path / (trade_contract + py::str("_") + matching_type + py::str(".pkl"))});
  br::check_date_index(tables[0], trade_contract + py::str("_prevclose.pkl"));
  br::check_date_index(tables[1], trade_contract + py::str("_") + matching_type + py::str(".pkl"));
  // Gathered natively when they can be; otherwise pandas' reindex_like, at its own place in the order.
  std::optional<br::FrameIn> pc_in, mp_in;
  if (py::isinstance(position_alpha, br::pd().attr("DataFrame"))) {
    pc_in = br::gathered(tables[0], position_alpha.attr("index"), position_alpha.attr("columns"));
    mp_in = br::gathered(tables[1], position_alpha.attr("index"), position_alpha.attr("columns"));
  }
  const py::object prevclose = pc_in ? py::none() : tables[0].attr("reindex_like")(position_alpha);
  const py::object matching_price = mp_in ? py::none() : tables[1].attr("reindex_like")(position_alpha);
  py::object columns = position_alpha.attr("columns");
  py::object attrs = br::attribute_table(kModuleName, columns);
  py::object multiplier = attrs[py::str("contract_multiplier")].attr("loc")[columns];
  const py::object capital = trade[py::str("capital")];
  const double money = br::number_of(capital * trade[py::str("leverage")], "capital * leverage");

  br::FrameIn pa = br::frame_in(position_alpha, "get_position");
  br::FrameIn pc = pc_in ? std::move(*pc_in) : br::frame_in(prevclose, "get_position");
  br::FrameIn mp = mp_in ? std::move(*mp_in) : br::frame_in(matching_price, "get_position");
  auto cm = py::cast<py::array_t<double, py::array::c_style | py::array::forcecast>>(multiplier.attr("to_numpy")("dtype"_a = "float64"));
  const std::span<const double> cms(cm.data(), static_cast<std::size_t>(cm.size()));
  const double cap = br::number_of(capital, "capital");
  varlo::Positions out = br::without_gil([&] { return varlo::size_positions(pa.view, pc.view, mp.view, cms, money, cap); });
  py::object position = br::frame_out(std::move(out.position), pa.index, pa.columns);
  py::object volume_position = br::frame_out(std::move(out.volume_position), pa.index, pa.columns);
  return py::make_tuple(position, volume_position);
}

}  // namespace

// --- backtest: one strategy from its module to the summary -------------------------------------------

namespace {

constexpr const char* kBacktestDoc = "\n    backtest API\n    :return: summary\n    ";
constexpr const char* kProfileHeader =
    "Line profile of the strategy's callables. The framework's own steps (Context methods, get_alpha, "
    "get_position_alpha, get_position, analyse) are compiled and carry no line timings.";

bool truthy(const py::handle& v) { return py::bool_(py::reinterpret_borrow<py::object>(v)).cast<bool>(); }

std::string text(const py::handle& v) { return py::str(v).cast<std::string>(); }

std::string run_id_of(const py::object& path) { return br::fs_text(path.attr("name").attr("split")("_")[py::int_(-1)]); }

// A file a later step will read: when it is not there to be read, that step's own reader raises now.
void check_readable(const py::object& path, const py::object& reader, const py::kwargs& how) {
  py::module_ os = py::module_::import("os");
  if (truthy(path.attr("is_file")()) && truthy(os.attr("access")(path, os.attr("R_OK")))) return;
  reader(path, **how);
}

// What the steps after the daily loop will read, read now in their order, so that a typo in the
// configuration raises before the loop the very exception the step would raise after it.
void check_later_steps(const py::object& config, const py::dict& ns) {
  py::object read_pickle = br::pd().attr("read_pickle");
  py::kwargs gz;
  gz["compression"] = "gzip";
  // get_position_alpha: every operator resolvable by name.
  for (py::handle item : config[py::str("operators")].attr("items")()) {
    const std::string name = "op_" + text(py::reinterpret_borrow<py::tuple>(item)[0]);
    if (!ns.contains(name.c_str())) {
      PyErr_Format(PyExc_NameError, "name '%s' is not defined", name.c_str());
      throw py::error_already_set();
    }
  }
  // get_position: prices, then the capital.
  py::object trade = config[py::str("trade")];
  const py::object contract = trade.attr("get")("trade_contract", "dominant");
  const py::object matching = trade.attr("get")("matching_type", "vwap");
  const py::object data_path = br::as_path(config[py::str("data_path")]);
  check_readable(data_path / (contract + py::str("_prevclose.pkl")), read_pickle, gz);
  check_readable(data_path / (contract + py::str("_") + matching + py::str(".pkl")), read_pickle, gz);
  (void)py::object(trade[py::str("capital")]);
  (void)py::object(trade[py::str("leverage")]);
  // analyse: required trade keys, its four price tables, the interest rule, the output section.
  const std::string a_contract = br::fs_text(trade[py::str("trade_contract")]);
  const std::string a_matching = br::fs_text(trade[py::str("matching_type")]);
  const py::object interest = trade.attr("get")("interest", "simple");
  for (const std::string& stem : {a_contract + "_nextreturnonsettle.pkl", a_contract + "_settle.pkl",
                                  a_contract + "_prevsettle.pkl", a_contract + "_" + a_matching + ".pkl"}) {
    check_readable(data_path / br::fs_str(stem), read_pickle, gz);
  }
  (void)br::number_of(trade.attr("get")("commission", 0), "commission");
  if (!interest.equal(py::str("simple")) && !interest.equal(py::str("compound"))) {
    throw py::value_error("invalid interest: " + text(interest));
  }
  const py::object output = config[py::str("output")];
  auto on = [&](const char* key, bool dflt) { return truthy(output.attr("get")(key, dflt)); };
  const bool writes = on("output", true);
  if (writes) {
    (void)run_id_of(br::as_path(output[py::str("save_path")]));
    if (on("last_position", true)) {
      check_readable(data_path / br::fs_str(a_contract + "_contract.pkl"), read_pickle, gz);
    }
  }
  // backtest's own stratification step and what stratification reads first.
  if (!on("stratification", false)) return;
  const py::object path = br::as_path(output[py::str("save_path")]);
  const py::object s = output[py::str("stratification")];
  if (Py_TYPE(s.ptr()) != &PyLong_Type && !PyBool_Check(s.ptr())) throw py::type_error("invalid stratification");
  const std::string run_id = run_id_of(path);
  if (writes && on("report", true)) return;  // the analysis writes the two tables
  py::kwargs csv;
  csv["index_col"] = 0;
  csv["parse_dates"] = true;
  check_readable(path / br::fs_str("alpha_" + run_id + ".csv"), br::pd().attr("read_csv"), csv);
  check_readable(path / br::fs_str("nextreturn_" + run_id + ".csv"), br::pd().attr("read_csv"), csv);
}

// The run's figures saved as PNG beside its reports and closed, for runs that nobody watches.
void save_figures(const py::object& config, const py::module_& plt, const py::list& before, const py::list& after_analysis) {
  py::list all = plt.attr("get_fignums")();
  py::list analysis, layers;
  for (py::handle n : all) {
    if (before.contains(n)) continue;
    (after_analysis.contains(n) ? analysis : layers).append(n);
  }
  if (py::len(analysis) + py::len(layers) == 0) return;
  const py::object path = br::as_path(config[py::str("output")][py::str("save_path")]);
  const std::string run_id = run_id_of(path);
  path.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
  auto save = [&](const py::list& numbers, std::vector<std::string> stems) {
    for (std::size_t i = 0; i < py::len(numbers); ++i) {
      const std::string stem = i < stems.size() ? stems[i] : "figure" + std::to_string(i + 1);
      py::object fig = plt.attr("figure")(numbers[i]);
      fig.attr("savefig")(path / br::fs_str(stem + "_" + run_id + ".png"));
      plt.attr("close")(fig);
    }
  };
  save(analysis, {"performance", "symbols"});
  save(layers, {"stratification_layers", "stratification_return"});
}

// The strategy module's whole-frame function when config["base"]["alpha_frame"] asks for it and the daily
// function in use is that module's own; otherwise None.
py::object alpha_frame_function(const py::object& config, const py::object& ai_get_alpha, const py::dict& ns) {
  const py::object base = config[py::str("base")];
  const int wanted = PyObject_IsTrue(base.attr("get")("alpha_frame", false).ptr());
  if (wanted < 0) throw py::error_already_set();
  if (wanted == 0) return py::none();
  const py::object alpha_id = base.attr("get")("alpha_id", py::none());
  if (alpha_id.is_none()) return py::none();
  const py::object strategy = py::module_::import("importlib").attr("import_module")(alpha_id);
  if (!py::hasattr(strategy, "get_alpha_frame")) {
    // A misspelt function would otherwise silently turn the run into the daily loop.
    const py::list close = py::module_::import("difflib").attr("get_close_matches")("get_alpha_frame", py::module_::import("builtins").attr("dir")(strategy), 1);
    std::string message = "config['base']['alpha_frame'] is set but the strategy module " + py::repr(alpha_id).cast<std::string>() +
                          " has no get_alpha_frame";
    message += close.empty() ? "; the daily get_alpha runs" : " (did you mean " + py::repr(close[0]).cast<std::string>() + "?); the daily get_alpha runs";
    if (PyErr_WarnEx(py::object(ns["ConfigWarning"]).ptr(), message.c_str(), 2) < 0) throw py::error_already_set();
    return py::none();
  }
  if (!ai_get_alpha.is(py::getattr(strategy, "get_alpha", py::none()))) return py::none();
  return strategy.attr("get_alpha_frame");
}

// Steps 3 to 7 of a run: alpha, position alpha, positions, the result dictionary, the analysis.
py::object run_steps(const py::object& config, const py::object& ai_init, const py::object& ai_get_alpha,
                     const py::object& summary_name, const py::dict& ns) {
  const py::object ai_alpha_frame = alpha_frame_function(config, ai_get_alpha, ns);
  const auto checks = [&](const py::object& context) {
    check_later_steps(config, ns);
    br::check_chains(config, context, ns);
  };
  py::tuple collected = ai_alpha_frame.is_none()
                            ? get_alpha(config, ai_init, ai_get_alpha, ns["Context"], checks)
                            : br::get_alpha_frame(config, ai_init, ai_alpha_frame, ns["Context"], checks);
  const py::object alpha = collected[0];
  br::warn_alpha(alpha, ns);
  const py::object position_alpha = get_position_alpha(alpha, collected[1], config, ns);
  py::tuple positions = get_position(position_alpha, config);
  br::warn_positions(positions[1], ns);
  py::dict result;
  result["alpha"] = alpha;
  result["position_alpha"] = position_alpha;
  result["position"] = positions[0];
  result["volume_position"] = positions[1];
  return ns["analyse"](result, config, summary_name);
}

// Switches the profiler off however the profiled steps end.
class ProfilerOn {
 public:
  explicit ProfilerOn(py::object profile) : profile_(std::move(profile)) { profile_.attr("enable")(); }
  ProfilerOn(const ProfilerOn&) = delete;
  ProfilerOn& operator=(const ProfilerOn&) = delete;
  void off() {
    if (on_) profile_.attr("disable")();
    on_ = false;
  }
  ~ProfilerOn() {
    try {
      off();
    } catch (const py::error_already_set&) {
      // keep the run's own exception
    }
  }

 private:
  py::object profile_;
  bool on_ = true;
};

py::object backtest_profiled(const py::object& config, const py::object& ai_init, const py::object& ai_get_alpha,
                             const py::object& summary_name, const py::dict& ns) {
  py::module_ line_profiler = py::module_::import("line_profiler");
  py::module_ sys = py::module_::import("sys");
  py::object profile = line_profiler.attr("LineProfiler")();
  const py::object context = ns["Context"];
  // The framework's steps are registered in their order. They are compiled (the package's interpreter
  // functions only pass their arguments on), so they have no lines to time and are passed over; a step
  // replaced by interpreter code of the caller's is profiled.
  const std::vector<py::object> steps{context.attr("__init__"), context.attr("get_data"), context.attr("get_symbols"),
                                     context.attr("record_alpha"), context.attr("do_operators"), ns["get_alpha"],
                                     ns["get_position_alpha"], ns["get_position"], ns["analyse"]};
  for (const py::object& step : steps) {
    if (!py::hasattr(step, "__code__")) continue;
    if (text(step.attr("__module__")).starts_with("VarloAlpha.Module.")) continue;
    profile.attr("add_function")(step);
  }
  profile.attr("add_function")(ai_init);
  profile.attr("add_function")(ai_get_alpha);
  py::object summary;
  {
    ProfilerOn running(profile);
    summary = run_steps(config, ai_init, ai_get_alpha, summary_name, ns);
    running.off();
  }
  py::print(kProfileHeader);
  profile.attr("print_stats")(sys.attr("stdout"));
  return summary;
}

// output / save_figures, read without requiring the section: a missing one fails where the analysis reads it.
bool figures_to_files(const py::object& config) {
  const py::object output = config.attr("get")("output", py::none());
  return !output.is_none() && py::hasattr(output, "get") && truthy(output.attr("get")("save_figures", false));
}

py::object backtest(const py::object& config, py::object ai_init, py::object ai_get_alpha, const py::dict& ns) {
  br::check_config(config, ns);
  if (ai_init.is_none() || ai_get_alpha.is_none()) {
    // import_module: a dotted alpha_id names the strategy module itself, not its top-level package.
    py::object strategy = py::module_::import("importlib").attr("import_module")(config[py::str("base")][py::str("alpha_id")]);
    ai_init = strategy.attr("init");
    ai_get_alpha = strategy.attr("get_alpha");
  }
  const py::object summary_name = config.attr("get")("summary_name", "summary");
  if (truthy(config[py::str("base")].attr("get")("enable_profiler", false))) {
    const bool keep = figures_to_files(config);
    py::list before;
    if (keep) before = py::module_::import("matplotlib.pyplot").attr("get_fignums")();
    py::object summary = backtest_profiled(config, ai_init, ai_get_alpha, summary_name, ns);
    if (keep) {
      py::module_ plt = py::module_::import("matplotlib.pyplot");
      save_figures(config, plt, before, plt.attr("get_fignums")());
    }
    return summary;
  }

  py::print(summary_name);
  const py::object clock = py::module_::import("time").attr("time");
  const py::object bt = clock();
  const bool keep = figures_to_files(config);
  py::list before, after_analysis;
  if (keep) before = py::module_::import("matplotlib.pyplot").attr("get_fignums")();
  const py::object summary = run_steps(config, ai_init, ai_get_alpha, summary_name, ns);
  if (keep) after_analysis = py::module_::import("matplotlib.pyplot").attr("get_fignums")();
  const py::object output = config[py::str("output")];
  if (truthy(output.attr("get")("stratification", false))) {
    ns["stratification"](output[py::str("save_path")], output[py::str("stratification")]);
  }
  const py::object et = clock();
  py::print("\n", summary_name, " time: ", et - bt, "s", "sep"_a = "");
  // Without pyplot no figure is open and there is nothing to show: a fresh process (a grid worker's first
  // run) does not pay for importing it.
  if (!py::module_::import("sys").attr("modules").attr("__contains__")("matplotlib.pyplot").cast<bool>()) {
    return summary;
  }
  py::module_ plt = py::module_::import("matplotlib.pyplot");
  if (keep) save_figures(config, plt, before, after_analysis);
  plt.attr("show")();
  return summary;
}

}  // namespace

PYBIND11_MODULE(Varlo_module, m) {
  // The banner names major.minor of the installed version (pyproject.toml holds the one version string).
  const py::list version = py::str(py::module_::import("VarloAlpha").attr("__version__")).attr("split")(".");
  m.doc() = "VarloAlpha v" + py::str(version[0]).cast<std::string>() +
            (version.size() > 1 ? "." + py::str(version[1]).cast<std::string>() : "") +
            " -- cross-sectional alpha research and backtesting for futures";
  m.attr("deepcopy") = py::module_::import("copy").attr("deepcopy");
  m.attr("Path") = py::module_::import("pathlib").attr("Path");
  m.attr("time") = py::module_::import("time");
  py::module_ multiprocessing = py::module_::import("multiprocessing");
  m.attr("Pool") = multiprocessing.attr("Pool");
  m.attr("cpu_count") = multiprocessing.attr("cpu_count");
  m.attr("np") = br::np();
  m.attr("pd") = br::pd();
  // scikit-learn takes seconds to import and only the process that expands a grid needs it: grid workers
  // (a Dask worker's first run above all) start without it. ParameterGrid is scikit-learn's own class, bound
  // on the module the first time it is asked for.
  m.attr("__getattr__") = py::cpp_function(
      [](const py::str& name) -> py::object {
        if (!name.equal(py::str("ParameterGrid"))) {
          PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%U'", kModuleName, name.ptr());
          throw py::error_already_set();
        }
        py::object cls = py::module_::import("sklearn.model_selection").attr("ParameterGrid");
        py::setattr(py::module_::import(kModuleName), "ParameterGrid", cls);
        return cls;
      },
      py::name("__getattr__"), "name"_a);
  py::module_ context_mod = py::module_::import("VarloAlpha.Module.Varlo_context");
  m.attr("Context") = context_mod.attr("Context");
  py::module_ analyse_mod = py::module_::import("VarloAlpha.Module.Varlo_analyse");
  for (const char* name : {"analyse", "multi_analyse", "stratification"}) {
    if (py::hasattr(analyse_mod, name)) m.attr(name) = analyse_mod.attr(name);
  }
  br::bind_public_names(m, py::module_::import("VarloAlpha.Module.Varlo_operators"));
  py::dict ns = m.attr("__dict__");
  br::register_config_check(m);

  m.def(
      "get_alpha",
      [](py::object config, py::object ai_init, py::object ai_get_alpha) {
        return get_alpha(std::move(config), std::move(ai_init), std::move(ai_get_alpha),
                         py::module_::import(kModuleName).attr("Context"));
      },
      "config"_a, "ai_init"_a, "ai_get_alpha"_a, "计算alpha表\n\n:return: (alpha, alpha_multiplier)");
  // One default configuration shared by every call that omits it; no call changes it.
  py::dict default_config;
  default_config["operators"] = py::dict();
  m.def(
      "get_position_alpha",
      [ns](const py::object& alpha, const py::object& alpha_multiplier, const py::object& config) {
        return get_position_alpha(alpha, alpha_multiplier, config, ns);
      },
      "alpha"_a, "alpha_multiplier"_a = 1, "config"_a = default_config,
      "计算position_alpha表\n\n需要config['operators']；不传config时使用{'operators': {}}");
  m.def(
      "get_alpha_frame",
      [](const py::object& config, const py::object& ai_init, const py::object& ai_alpha_frame) {
        return br::get_alpha_frame(config, ai_init, ai_alpha_frame, py::module_::import(kModuleName).attr("Context"));
      },
      "config"_a, "ai_init"_a, "ai_alpha_frame"_a,
      "整表计算alpha: ai_alpha_frame(context)一次返回全部日期的alpha表\n\n"
      "Recorded as get_alpha records a daily function that takes each date's row for the admitted symbols;\n"
      "config['base'].get('lookahead_checks', 3) recomputes the frame on data cut after that many dates and\n"
      "raises ValueError when a row up to a cut changes (0 turns the check off).\n"
      ":return: (alpha, alpha_multiplier)");
  m.def("get_position", &get_position, "position_alpha"_a, "config"_a,
        "position_alpha转position(因子值作为比例直接映射，不再做绝对值和归一)\n\n"
        "需要config['data_path'] config['trade']\n:return: position(pd.DataFrame), volume_position(pd.DataFrame)");
  m.def(
      "backtest",
      [ns](const py::object& config, py::object ai_init, py::object ai_get_alpha) {
        return backtest(config, std::move(ai_init), std::move(ai_get_alpha), ns);
      },
      "config"_a, "ai_init"_a = py::none(), "ai_get_alpha"_a = py::none());

  br::def_with_signature(m, "backtest", m.attr("backtest"), "config, ai_init=None, ai_get_alpha=None", "config, ai_init, ai_get_alpha", kBacktestDoc, py::dict());
  br::def_with_signature(m, "get_alpha", m.attr("get_alpha"), "config, ai_init, ai_get_alpha", "config, ai_init, ai_get_alpha",
                 "\n    计算alpha表\n    :return: (alpha, alpha_multiplier)\n    ", py::dict());
  py::dict pa_scope;
  pa_scope["_default_config"] = default_config;
  br::def_with_signature(m, "get_position_alpha", m.attr("get_position_alpha"), "alpha, alpha_multiplier=1, config=_default_config",
                 "alpha, alpha_multiplier, config",
                 "\n    计算position_alpha表\n    需要config['operators']；不传config时使用{'operators': {}}\n    ", pa_scope);
  br::def_with_signature(m, "get_position", m.attr("get_position"), "position_alpha, config", "position_alpha, config",
                 "\n    position_alpha转position(因子值作为比例直接映射，不再做绝对值和归一)\n"
                 "    需要config['data_path'] config['trade']\n"
                 "    :return: position(pd.DataFrame), volume_position(pd.DataFrame)\n    ", py::dict());
  varlo::bindings::register_grid_runs(m);
  br::def_with_signature(m, "get_alpha_frame", m.attr("get_alpha_frame"), "config, ai_init, ai_alpha_frame", "config, ai_init, ai_alpha_frame",
                 "\n    整表计算alpha: ai_alpha_frame(context)一次返回全部日期的alpha表\n"
                 "    Recorded as get_alpha records a daily function that takes each date's row for the admitted\n"
                 "    symbols. config['base'].get('lookahead_checks', 3) recomputes the frame on data cut after that\n"
                 "    many dates and raises ValueError when a row up to a cut changes (0 turns the check off).\n"
                 "    :return: (alpha, alpha_multiplier)\n    ", py::dict());
}
