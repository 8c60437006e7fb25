#include "sim/PtyScheduler.h"

#include <algorithm>
#include <memory>
#include <utility>

namespace quorvan::sim {

PtyScheduler::~PtyScheduler() {
  for (const EventId id : pending_) loop_.cancel(id);
}

Scheduler::EventId PtyScheduler::schedule(std::uint64_t atUs, std::function<void()> fn) {
  atUs = std::max(atUs, nowUs());  // time does not run back, as on the virtual clock
  // The id is only known once scheduled: the event finds it through this cell.
  auto self = std::make_shared<EventId>(0);
  const EventId id = loop_.schedule(atUs, [this, atUs, self, fn = std::move(fn)] {
    pending_.erase(*self);
    const std::uint64_t outer = std::exchange(running_, atUs);
    struct Restore {
      std::uint64_t& running;
      std::uint64_t outer;
      ~Restore() { running = outer; }
    } restore{running_, outer};
    fn();
  });
  *self = id;
  pending_.insert(id);
  return id;
}

void PtyScheduler::cancel(EventId id) {
  if (pending_.erase(id) != 0) loop_.cancel(id);
}

}  // namespace quorvan::sim
