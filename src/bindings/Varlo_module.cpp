// The backtest driver: the strategy's alpha, position alpha and contract sizing.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "pandas_bridge.hpp"
#include "sizing.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
namespace br = varlo::bridge;

namespace {

constexpr const char* kModuleName = "VarloAlpha.Module.Varlo_module";

py::tuple get_alpha(py::object config, py::object ai_init, py::object ai_get_alpha, const py::object& context_cls) {
  py::object context = context_cls(config);
  ai_init(context);
  context.attr("get_data")();
  context.attr("set_parameters")();
  // Bound once: the per-day calls then skip the attribute lookup.
  py::object get_symbols = context.attr("get_symbols");
  py::object record_alpha = context.attr("record_alpha");
  for (py::handle dd : context.attr("backtest_calendar")) {
    py::setattr(context, "timestamp", dd);
    get_symbols();
    ai_get_alpha(context);
    record_alpha();
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
  py::object data_path = config[py::str("data_path")];
  const auto tables = br::read_pickles_gz({data_path / (trade_contract + py::str("_prevclose.pkl")),
                                           data_path / (trade_contract + py::str("_") + matching_type + py::str(".pkl"))});
  py::object prevclose = tables[0].attr("reindex_like")(position_alpha);
  py::object matching_price = tables[1].attr("reindex_like")(position_alpha);
  py::object columns = position_alpha.attr("columns");
  py::object attrs = br::attribute_table(kModuleName, columns);
  py::object multiplier = attrs[py::str("contract_multiplier")].attr("loc")[columns];
  const py::object capital = trade[py::str("capital")];
  const double money = (capital * trade[py::str("leverage")]).cast<double>();

  br::FrameIn pa = br::frame_in(position_alpha, "get_position");
  br::FrameIn pc = br::frame_in(prevclose, "get_position");
  br::FrameIn mp = br::frame_in(matching_price, "get_position");
  auto cm = py::cast<py::array_t<double, py::array::c_style | py::array::forcecast>>(multiplier.attr("to_numpy")("dtype"_a = "float64"));
  const std::span<const double> cms(cm.data(), static_cast<std::size_t>(cm.size()));
  const double cap = capital.cast<double>();
  varlo::Positions out;
  {
    py::gil_scoped_release release;
    out = varlo::size_positions(pa.view, pc.view, mp.view, cms, money, cap);
  }
  py::object position = br::frame_out(std::move(out.position), pa.index, pa.columns);
  py::object volume_position = br::frame_out(std::move(out.volume_position), pa.index, pa.columns);
  return py::make_tuple(position, volume_position);
}

}  // namespace

PYBIND11_MODULE(Varlo_module, m) {
  m.doc() = "VarloAlpha v1.0 -- cross-sectional alpha research and backtesting for futures";
  m.attr("deepcopy") = py::module_::import("copy").attr("deepcopy");
  m.attr("Path") = py::module_::import("pathlib").attr("Path");
  m.attr("time") = py::module_::import("time");
  m.attr("np") = br::np();
  m.attr("pd") = br::pd();
  py::module_ context_mod = py::module_::import("VarloAlpha.Module.Varlo_context");
  m.attr("Context") = context_mod.attr("Context");
  py::module_ analyse_mod = py::module_::import("VarloAlpha.Module.Varlo_analyse");
  for (const char* name : {"analyse", "multi_analyse", "stratification"}) {
    if (py::hasattr(analyse_mod, name)) m.attr(name) = analyse_mod.attr(name);
  }
  br::bind_public_names(m, py::module_::import("VarloAlpha.Module.Varlo_operators"));
  py::dict ns = m.attr("__dict__");

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
  m.def("get_position", &get_position, "position_alpha"_a, "config"_a,
        "position_alpha转position(因子值作为比例直接映射，不再做绝对值和归一)\n\n"
        "需要config['data_path'] config['trade']\n:return: position(pd.DataFrame), volume_position(pd.DataFrame)");
}
