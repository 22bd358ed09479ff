// Cooperative interruption of long loops: between tiles of dates or between files a loop calls check(),
// which polls the caller (a signal check, say) at most every kPollInterval, and only on the thread that
// created the Interrupt; other threads of the same kernel see the stop through a flag.
#pragma once

#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <thread>
#include <utility>

namespace varlo {

// Thrown by Interrupt::check once the poll asked to stop; the caller turns it into its own error.
struct Interrupted : std::exception {
  const char* what() const noexcept override { return "interrupted"; }
};

class Interrupt {
 public:
  static constexpr std::chrono::milliseconds kPollInterval{100};

  Interrupt() = default;  // never stops
  // `poll` returns true when the loop should stop; it runs only on the constructing thread.
  explicit Interrupt(std::function<bool()> poll)
      : poll_(std::move(poll)), owner_(std::this_thread::get_id()), next_(std::chrono::steady_clock::now() + kPollInterval) {}
  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;

  void check() {
    if (stop_.load(std::memory_order_relaxed)) throw Interrupted{};
    if (!poll_ || std::this_thread::get_id() != owner_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return;
    next_ = now + kPollInterval;
    if (poll_()) {
      stop_.store(true, std::memory_order_relaxed);
      throw Interrupted{};
    }
  }
  void stop() { stop_.store(true, std::memory_order_relaxed); }
  bool stopped() const { return stop_.load(std::memory_order_relaxed); }

 private:
  std::function<bool()> poll_;
  std::thread::id owner_;
  std::chrono::steady_clock::time_point next_{};  // touched by the owner only
  std::atomic<bool> stop_{false};
};

}  // namespace varlo
