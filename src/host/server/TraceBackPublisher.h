#pragma once
// Keeps the stall guard's copy of the comm form's trace-back up to date, so that a server
// whose loop stalls still leaves its trace behind. The copy is made on the loop's thread,
// before each look for work, and at most every kEveryMs while the trace keeps changing:
// the lines of the last moments before a stall may be missing from it.
#include <cstdint>
#include <optional>
#include <utility>

#include "client/Globals.h"
#include "platform/DriveC.h"
#include "platform/MessageLoop.h"
#include "platform/StallGuard.h"

namespace quorvan::host {

class TraceBackPublisher {
 public:
  static constexpr std::uint32_t kEveryMs = 100;

  TraceBackPublisher(StallGuard& guard, MessageLoop& loop, const modGlobals& globals,
                     const DriveC& driveC);
  ~TraceBackPublisher();
  TraceBackPublisher(const TraceBackPublisher&) = delete;
  TraceBackPublisher& operator=(const TraceBackPublisher&) = delete;

 private:
  void publish();

  StallGuard& guard_;
  MessageLoop& loop_;
  const modGlobals& globals_;
  const DriveC& driveC_;
  MessageLoop::HookId hook_ = 0;
  // What was last published: the ring's change count and whether it had a trace-back.
  std::pair<std::uint64_t, bool> published_{0, false};
  std::optional<std::uint64_t> publishedAtUs_;
};

}  // namespace quorvan::host
