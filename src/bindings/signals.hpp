// Ctrl-C for native loops that run with the GIL released.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>

namespace varlo::bridge {

// The poll of a varlo::Interrupt created on a thread that released the GIL: takes the GIL back and runs
// pending signal handlers. True when one raised (Ctrl-C: KeyboardInterrupt), which stays set for the
// caller to raise once the loop has stopped (catch varlo::Interrupted, throw py::error_already_set).
inline std::function<bool()> signal_poll() {
  return [] {
    const pybind11::gil_scoped_acquire gil;
    return PyErr_CheckSignals() != 0;
  };
}

}  // namespace varlo::bridge
