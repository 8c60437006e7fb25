#include "platform/LoopHeartbeat.h"

namespace quorvan {

std::int64_t LoopHeartbeat::nowMs() noexcept {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::chrono::milliseconds LoopHeartbeat::busyFor() const noexcept {
  const std::int64_t since = busySinceMs_.load(std::memory_order_relaxed);
  if (since == kResting) return std::chrono::milliseconds(0);
  return std::chrono::milliseconds(nowMs() - since);
}

}  // namespace quorvan
