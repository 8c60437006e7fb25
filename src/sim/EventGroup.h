#pragma once
// A set of callbacks scheduled by one owner. Destroying the group (or calling
// cancelAll) cancels everything still pending, so a simulated part can schedule
// callbacks that capture `this` without outliving it.
#include <cstdint>
#include <functional>
#include <map>

#include "platform/Clock.h"

namespace quorvan::sim {

class EventGroup {
 public:
  using Handle = std::uint64_t;

  explicit EventGroup(Scheduler& scheduler) : scheduler_(scheduler) {}
  ~EventGroup() { cancelAll(); }
  EventGroup(const EventGroup&) = delete;
  EventGroup& operator=(const EventGroup&) = delete;

  Scheduler& scheduler() { return scheduler_; }
  std::uint64_t nowUs() { return scheduler_.nowUs(); }

  Handle at(std::uint64_t atUs, std::function<void()> fn);
  Handle after(std::uint64_t delayUs, std::function<void()> fn) {
    return at(nowUs() + delayUs, std::move(fn));
  }
  void cancel(Handle handle);
  void cancelAll();

 private:
  Scheduler& scheduler_;
  Handle nextHandle_ = 1;
  std::map<Handle, Scheduler::EventId> pending_;
};

}  // namespace quorvan::sim
