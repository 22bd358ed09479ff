// Ctrl-C for native loops that run with the GIL released.
#pragma once

#include <pybind11/pybind11.h>

#include <functional>
#include <utility>

#include "interrupt.hpp"

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

// fn() with the GIL released, its kernels (and the threads they start) answering to Ctrl-C: they stop at
// their next check and the exception the signal handler raised (KeyboardInterrupt) is raised here.
template <class Fn>
decltype(auto) without_gil(Fn&& fn) {
  varlo::Interrupt interrupt(signal_poll());
  try {
    const pybind11::gil_scoped_release nogil;
    const varlo::InterruptScope scope(&interrupt);
    return std::forward<Fn>(fn)();
  } catch (const varlo::Interrupted&) {
    throw pybind11::error_already_set();
  }
}

}  // namespace varlo::bridge
