// The whole-frame alpha path of the driver: one call of the strategy's frame function, recorded as the
// daily loop records it, with a guard against frames that read data after their own dates.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

namespace varlo::bridge {

namespace py = pybind11;

// (alpha, alpha_multiplier) as get_alpha returns them for a daily function that sets
// context.alpha = frame.reindex(index=backtest_calendar, columns=original_symbols).loc[timestamp, symbols]
// (and, for a multiplier Series, alpha_multiplier = multiplier.loc[timestamp]). before_frame runs with the
// context once it holds its data and parameters, just before the frame function is called.
py::tuple get_alpha_frame(const py::object& config, const py::object& ai_init, const py::object& ai_alpha_frame,
                          const py::object& context_cls, const std::function<void(const py::object&)>& before_frame = {});

}  // namespace varlo::bridge
