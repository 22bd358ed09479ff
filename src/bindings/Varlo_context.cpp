#include <pybind11/pybind11.h>

PYBIND11_MODULE(Varlo_context, m) { (void)m; }
