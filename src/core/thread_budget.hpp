// The number of threads one kernel call may start.
//
// The budget is process-wide, so it cannot live in a C++ variable: each extension module links its own
// copy of this library, and a static here would be one per module. It lives in the environment
// variable VARLO_NUM_THREADS instead, which every module of the process reads and which child
// processes (grid workers) inherit. The bindings set it through os.environ so Python's view of the
// environment stays in step.
#pragma once

#include <cstddef>
#include <optional>

namespace varlo {

inline constexpr const char* kThreadBudgetVariable = "VARLO_NUM_THREADS";
inline constexpr std::size_t kMaxThreadBudget = 4096;

// A budget written as plain decimal digits (surrounding blanks allowed), 1 to kMaxThreadBudget;
// anything else is no budget.
std::optional<std::size_t> parse_thread_budget(const char* text) noexcept;

// The budget in force: the variable's value when it is a valid budget, else the machine's hardware
// concurrency (at least 1).
std::size_t thread_budget() noexcept;

}  // namespace varlo
