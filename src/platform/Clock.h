#pragma once
// Time for the whole server. Everything that waits, sleeps or reads the time goes
// through a Clock, so the same code runs on real time and on a virtual clock.
#include "platform/Poll.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>

namespace quorvan {

// Something that runs callbacks at given instants (microseconds of its own time base).
// The virtual clock is one; the message loop is one on real time (the simulator in
// ecusim uses it).
class Scheduler {
 public:
  using EventId = std::uint64_t;
  virtual ~Scheduler() = default;
  virtual std::uint64_t nowUs() = 0;
  virtual EventId schedule(std::uint64_t atUs, std::function<void()> fn) = 0;
  virtual void cancel(EventId id) = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;

  // Monotonic microseconds since an arbitrary origin; never wraps in practice.
  virtual std::uint64_t monoUs() = 0;

  // The 32-bit millisecond clock. It wraps: compare differences, never deadlines.
  std::uint32_t timeGetTime() { return static_cast<std::uint32_t>(monoUs() / 1000) + msOffset_; }

  // Performance counter and its frequency (counts per second).
  virtual std::int64_t performanceCounter() = 0;
  virtual std::int64_t performanceFrequency() = 0;

  // Blocking sleep: dispatches nothing.
  virtual void sleepUs(std::uint64_t us) = 0;
  void sleepMs(std::uint32_t ms) { sleepUs(std::uint64_t{ms} * 1000); }

  // One turn of a busy-wait. The virtual clock moves time on by a small step here,
  // otherwise a spinning wait would never end.
  virtual void spinPause() = 0;

  // Idle until deadlineUs (monoUs) or until one of fds is ready. Returns poll()'s
  // count of ready descriptors (0 on time-out).
  virtual int idleUntil(std::uint64_t deadlineUs, std::span<pollfd> fds) = 0;

  virtual bool isVirtual() const = 0;

  // Shifts timeGetTime() against monoUs(), so tests can start near the 32-bit wrap.
  void setTimeGetTimeOffset(std::uint32_t offsetMs) { msOffset_ = offsetMs; }

 private:
  std::uint32_t msOffset_ = 0;
};

// Milliseconds elapsed from `since` to `now` on the wrapping clock.
inline std::uint32_t ElapsedMs(std::uint32_t now, std::uint32_t since) {
  return now - since;
}

class RealClock final : public Clock {
 public:
  std::uint64_t monoUs() override;
  std::int64_t performanceCounter() override;
  std::int64_t performanceFrequency() override { return 1'000'000'000; }
  void sleepUs(std::uint64_t us) override;
  void spinPause() override;
  int idleUntil(std::uint64_t deadlineUs, std::span<pollfd> fds) override;
  bool isVirtual() const override { return false; }
};

// Time moves only when the code sleeps, spins or idles. The simulated world schedules
// its events (bytes on the wire, controller answers) on this clock and they run, in
// order, at their virtual instants while time is moved on.
class VirtualClock final : public Clock, public Scheduler {
 public:
  static constexpr std::uint64_t kSpinStepUs = 20;

  explicit VirtualClock(std::uint64_t startUs = 1'000'000) : nowUs_(startUs) {}

  std::uint64_t monoUs() override { return nowUs_; }
  std::int64_t performanceCounter() override { return static_cast<std::int64_t>(nowUs_) * 10; }
  std::int64_t performanceFrequency() override { return 10'000'000; }
  void sleepUs(std::uint64_t us) override { advanceTo(nowUs_ + us); }
  void spinPause() override { advanceTo(nowUs_ + kSpinStepUs); }
  int idleUntil(std::uint64_t deadlineUs, std::span<pollfd> fds) override;
  bool isVirtual() const override { return true; }

  // Scheduler
  std::uint64_t nowUs() override { return nowUs_; }
  EventId schedule(std::uint64_t atUs, std::function<void()> fn) override;
  void cancel(EventId id) override;

  // Runs every event due up to t (each at its own instant), then sets the time to t.
  void advanceTo(std::uint64_t t);
  std::optional<std::uint64_t> nextEventUs() const;

 private:
  struct Key {
    std::uint64_t at;
    EventId id;
    bool operator<(const Key& o) const { return at != o.at ? at < o.at : id < o.id; }
  };
  std::uint64_t nowUs_;
  EventId nextId_ = 1;
  std::map<Key, std::function<void()>> events_;
  std::map<EventId, std::uint64_t> whenById_;
};

}  // namespace quorvan
