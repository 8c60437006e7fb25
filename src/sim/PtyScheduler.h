#pragma once
// Time for the simulated world when it runs in real time behind a pseudo-terminal. The
// message loop runs scheduled events late (up to a poll tick), and a model that reads the
// time inside an event must see that event's own instant, as it does on the virtual
// clock: a controller that looks for the pause after a request's last byte would otherwise
// find one between two bytes that are due but not yet delivered. Outside events (bytes
// coming in from the terminal) the time is the loop's.
#include <cstdint>
#include <functional>
#include <limits>
#include <set>

#include "platform/MessageLoop.h"

namespace quorvan::sim {

class PtyScheduler final : public Scheduler {
 public:
  explicit PtyScheduler(MessageLoop& loop) : loop_(loop) {}
  // Cancels what is still pending.
  ~PtyScheduler() override;
  PtyScheduler(const PtyScheduler&) = delete;
  PtyScheduler& operator=(const PtyScheduler&) = delete;

  std::uint64_t nowUs() override { return running_ != kNoEvent ? running_ : loop_.nowUs(); }
  EventId schedule(std::uint64_t atUs, std::function<void()> fn) override;
  void cancel(EventId id) override;

 private:
  // running_ outside events: no event is ever due this late.
  static constexpr std::uint64_t kNoEvent = std::numeric_limits<std::uint64_t>::max();

  MessageLoop& loop_;
  std::uint64_t running_ = kNoEvent;  // the instant of the event being run
  std::set<EventId> pending_;
};

}  // namespace quorvan::sim
