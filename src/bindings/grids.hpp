// Parameter grids: the runs (Varlo_module) and their comparison (Varlo_analyse).
#pragma once

#include <pybind11/pybind11.h>

namespace varlo::bindings {

// multi_run, multi_backtest, set_num_threads, get_num_threads and the workers' entry _grid_run.
void register_grid_runs(pybind11::module_& m);

// multi_analyse.
void register_grid_analyse(pybind11::module_& m);

}  // namespace varlo::bindings
