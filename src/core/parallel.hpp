// The one thread pool of the kernels: contiguous chunks of an index range on short-lived threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <thread>
#include <vector>

#include "thread_budget.hpp"

namespace varlo {

// Threads worth starting for `work` elements: one per 2^16, at most the process's budget and eight.
inline std::size_t thread_count(std::size_t work) {
  constexpr std::size_t kMinWork = 1 << 16;
  const std::size_t hw = thread_budget();
  return std::min({hw, std::size_t{8}, work / kMinWork});
}

// Runs fn(begin, end) over [0, n) in contiguous chunks, on several threads when there is enough work
// (`work` elements in all) to pay for starting them, and at most `max_threads`. The first exception is
// rethrown here.
template <class Fn>
void parallel_for(std::size_t n, std::size_t work, Fn&& fn, std::size_t max_threads = SIZE_MAX) {
  const std::size_t t = std::min({thread_count(work), n, max_threads});
  if (t <= 1) {
    if (n > 0) fn(std::size_t{0}, n);
    return;
  }
  std::vector<std::exception_ptr> errors(t);
  std::vector<std::thread> threads;
  threads.reserve(t - 1);
  auto chunk = [&](std::size_t k) {
    try {
      fn(n * k / t, n * (k + 1) / t);
    } catch (...) {
      errors[k] = std::current_exception();
    }
  };
  for (std::size_t k = 1; k < t; ++k) threads.emplace_back(chunk, k);
  chunk(0);
  for (auto& th : threads) th.join();
  for (const auto& e : errors) {
    if (e) std::rethrow_exception(e);
  }
}

}  // namespace varlo
