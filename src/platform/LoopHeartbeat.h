#pragma once
// What the message loop tells a guard on another thread: when it last turned, and whether
// it is resting (waiting for work) rather than inside a handler. Lock-free, so that the
// guard may look at any moment, whatever the loop's thread is doing.
#include <atomic>
#include <chrono>
#include <cstdint>

namespace quorvan {

class LoopHeartbeat {
 public:
  // The loop turns: it dispatches what is due (a yielding wait's turns count too).
  void turned() noexcept { busySinceMs_.store(nowMs(), std::memory_order_relaxed); }
  // The loop waits for work: no handler is running.
  void resting() noexcept { busySinceMs_.store(kResting, std::memory_order_relaxed); }
  // How long the loop has been inside its handlers since it last turned; zero while it
  // rests.
  std::chrono::milliseconds busyFor() const noexcept;

 private:
  static constexpr std::int64_t kResting = -1;
  static std::int64_t nowMs() noexcept;
  std::atomic<std::int64_t> busySinceMs_{kResting};
};

}  // namespace quorvan
