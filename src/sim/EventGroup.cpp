#include "sim/EventGroup.h"

namespace quorvan::sim {

EventGroup::Handle EventGroup::at(std::uint64_t atUs, std::function<void()> fn) {
  const Handle handle = nextHandle_++;
  const Scheduler::EventId id = scheduler_.schedule(atUs, [this, handle, fn = std::move(fn)] {
    pending_.erase(handle);
    // Nothing of the group is touched after this call: fn may destroy its owner.
    fn();
  });
  pending_.emplace(handle, id);
  return handle;
}

void EventGroup::cancel(Handle handle) {
  auto it = pending_.find(handle);
  if (it == pending_.end()) return;
  scheduler_.cancel(it->second);
  pending_.erase(it);
}

void EventGroup::cancelAll() {
  for (const auto& [handle, id] : pending_) scheduler_.cancel(id);
  pending_.clear();
}

}  // namespace quorvan::sim
