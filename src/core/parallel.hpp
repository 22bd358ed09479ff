// The one thread pool of the kernels: contiguous chunks of an index range on short-lived threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

#include "interrupt.hpp"
#include "thread_budget.hpp"

namespace varlo {

// Threads worth starting for `work` elements: one per 2^16, at most the process's budget and eight.
inline std::size_t thread_count(std::size_t work) {
  constexpr std::size_t kMinWork = 1 << 16;
  const std::size_t hw = thread_budget();
  return std::min({hw, std::size_t{8}, work / kMinWork});
}

// parallel_for's chunks on t > 1 threads. Out of line, so that a call on one thread compiles as the plain
// call it is.
template <class Fn>
[[gnu::noinline]] void parallel_for_on(std::size_t n, std::size_t t, Fn& fn) {
  Interrupt* const interrupt = current_interrupt();
  std::vector<std::exception_ptr> errors(t);
  auto chunk = [&](std::size_t k) {
    try {
      fn(n * k / t, n * (k + 1) / t);
    } catch (...) {
      errors[k] = std::current_exception();
    }
  };
  Finished finished;
  {
    std::vector<std::jthread> threads;
    threads.reserve(t - 1);
    std::size_t k = 1;
    try {
      for (; k < t; ++k) {
        threads.emplace_back([&, k] {
          {
            const InterruptScope scope(interrupt);
            chunk(k);
          }
          finished.one();
        });
      }
    } catch (const std::system_error&) {
      // no thread to be had: the rest runs here
    }
    for (std::size_t j = k; j < t; ++j) chunk(j);
    chunk(0);
    if (interrupt != nullptr) {
      try {
        finished.wait(threads.size(), *interrupt);
      } catch (const Interrupted&) {
        // the workers see the stop at their next check; leaving the scope joins them
      }
    }
  }
  if (interrupt != nullptr && interrupt->stopped()) throw Interrupted{};
  for (const auto& e : errors) {
    if (e) std::rethrow_exception(e);
  }
}

// Runs fn(begin, end) over [0, n) in contiguous chunks, on several threads when there is enough work
// (`work` elements in all) to pay for starting them, and at most `max_threads`. The first exception is
// rethrown here. The workers answer to the calling thread's Interrupt, which the calling thread keeps
// polling once its own chunk is done: a stop surfaces here as Interrupted once every chunk has returned.
template <class Fn>
void parallel_for(std::size_t n, std::size_t work, Fn&& fn, std::size_t max_threads = SIZE_MAX) {
  const std::size_t t = std::min({thread_count(work), n, max_threads});
  if (t <= 1) {
    if (n > 0) fn(std::size_t{0}, n);
    return;
  }
  parallel_for_on(n, t, fn);
}

}  // namespace varlo
