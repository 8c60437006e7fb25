#include "platform/Clock.h"

#include <chrono>
#include <thread>

namespace quorvan {

std::uint64_t RealClock::monoUs() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

std::int64_t RealClock::performanceCounter() {
  using namespace std::chrono;
  return static_cast<std::int64_t>(
      duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count());
}

void RealClock::sleepUs(std::uint64_t us) {
  std::this_thread::sleep_for(std::chrono::microseconds(us));
}

void RealClock::spinPause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

int RealClock::idleUntil(std::uint64_t deadlineUs, std::span<pollfd> fds) {
  const std::uint64_t now = monoUs();
  int timeoutMs = 0;
  if (deadlineUs > now) {
    const std::uint64_t waitUs = deadlineUs - now;
    timeoutMs = static_cast<int>(std::min<std::uint64_t>((waitUs + 999) / 1000, 60'000));
  }
  for (auto& f : fds) f.revents = 0;
  const int n = ::poll(fds.data(), fds.size(), timeoutMs);
  return n < 0 ? 0 : n;
}

int VirtualClock::idleUntil(std::uint64_t deadlineUs, std::span<pollfd> fds) {
  // Real descriptors may still be watched (a test may mix them in); look without waiting.
  int ready = 0;
  if (!fds.empty()) {
    for (auto& f : fds) f.revents = 0;
    ready = ::poll(fds.data(), fds.size(), 0);
    if (ready > 0) return ready;
  }
  std::uint64_t target = deadlineUs;
  if (auto next = nextEventUs(); next && *next < target) target = *next;
  if (target > nowUs_)
    advanceTo(target);
  else
    advanceTo(nowUs_);
  return 0;
}

Scheduler::EventId VirtualClock::schedule(std::uint64_t atUs, std::function<void()> fn) {
  const EventId id = nextId_++;
  if (atUs < nowUs_) atUs = nowUs_;
  events_.emplace(Key{atUs, id}, std::move(fn));
  whenById_.emplace(id, atUs);
  return id;
}

void VirtualClock::cancel(EventId id) {
  auto it = whenById_.find(id);
  if (it == whenById_.end()) return;
  events_.erase(Key{it->second, id});
  whenById_.erase(it);
}

void VirtualClock::advanceTo(std::uint64_t t) {
  while (!events_.empty() && events_.begin()->first.at <= t) {
    auto node = events_.extract(events_.begin());
    whenById_.erase(node.key().id);
    if (node.key().at > nowUs_) nowUs_ = node.key().at;
    node.mapped()();
  }
  if (t > nowUs_) nowUs_ = t;
}

std::optional<std::uint64_t> VirtualClock::nextEventUs() const {
  if (events_.empty()) return std::nullopt;
  return events_.begin()->first.at;
}

}  // namespace quorvan
