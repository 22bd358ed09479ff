#include "thread_budget.hpp"

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace varlo {

namespace {
bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
}  // namespace

std::optional<std::size_t> parse_thread_budget(const char* text) noexcept {
  if (text == nullptr) return std::nullopt;
  const char* p = text;
  while (is_blank(*p)) ++p;
  std::size_t n = 0;
  const char* digits = p;
  for (; *p >= '0' && *p <= '9'; ++p) {
    n = n * 10 + static_cast<std::size_t>(*p - '0');
    if (n > kMaxThreadBudget) return std::nullopt;
  }
  if (p == digits) return std::nullopt;
  while (is_blank(*p)) ++p;
  if (*p != '\0' || n == 0) return std::nullopt;
  return n;
}

std::size_t thread_budget() noexcept {
  // Read on every call (a short scan of the environment), on the thread that is about to start workers.
  // The value changes only through os.environ, under the GIL; glibc never frees a replaced value, so a
  // kernel on another thread reads either the old text or the new one.
  if (const auto n = parse_thread_budget(std::getenv(kThreadBudgetVariable))) return *n;
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace varlo
