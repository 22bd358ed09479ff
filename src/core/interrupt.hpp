// Cooperative interruption of long loops: between tiles of dates or between files a loop calls check(),
// which polls the caller (a signal check, say) at most every kPollInterval, and only on the thread that
// created the Interrupt; other threads of the same kernel see the stop through a flag.
//
// Kernels reach the Interrupt of their call through an InterruptScope rather than a parameter on every
// operator: the binding that releases the GIL installs one for the call, parallel_for hands it on to its
// workers, and a kernel called without one (the C++ tests) never stops.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
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

namespace detail {
// Per thread, and only ever set for the extent of an InterruptScope on that thread.
inline thread_local Interrupt* current_interrupt = nullptr;
}  // namespace detail

// The Interrupt the kernels run on this thread answer to, for the scope's lifetime (null: none).
class InterruptScope {
 public:
  explicit InterruptScope(Interrupt* interrupt) : previous_(detail::current_interrupt) {
    detail::current_interrupt = interrupt;
  }
  ~InterruptScope() { detail::current_interrupt = previous_; }
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  Interrupt* previous_;
};

inline Interrupt* current_interrupt() { return detail::current_interrupt; }

// Between two pieces of a long loop: throws Interrupted once the call is to stop.
inline void interruption_point() {
  if (Interrupt* i = detail::current_interrupt) i->check();
}

// For loops of small steps: interruption_point() once per kWork elements of work, so that a check (a clock
// read on the polling thread) costs nothing beside the work, and comes every few hundred microseconds.
class InterruptPacer {
 public:
  static constexpr std::size_t kWork = std::size_t{1} << 16;
  void step(std::size_t work) {
    if (work < left_) {
      left_ -= work;
      return;
    }
    left_ = kWork;
    interruption_point();
  }

 private:
  std::size_t left_ = kWork;
};

// Side threads that report when they are done, so that the calling thread can wait for them and for
// Ctrl-C at once.
class Finished {
 public:
  void one() {
    {
      const std::lock_guard lock(mutex_);
      ++count_;
    }
    done_.notify_one();
  }
  // Waits until `n` threads are done, polling `interrupt` in between (which may throw).
  void wait(std::size_t n, Interrupt& interrupt) {
    std::unique_lock lock(mutex_);
    while (count_ < n) {
      done_.wait_for(lock, Interrupt::kPollInterval);
      lock.unlock();
      interrupt.check();
      lock.lock();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  std::size_t count_ = 0;
};

}  // namespace varlo
