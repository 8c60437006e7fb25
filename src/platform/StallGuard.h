#pragma once
// Ends a server whose one thread has stopped turning its message loop. A handler that
// never returns (a spin, a wait for something that never comes) would otherwise keep the
// process alive, and busy, long after its client and its bus have gone.
//
// A thread of its own watches the loop's heartbeat. When the loop has not turned for the
// limit, it appends the last trace-back the loop published to its file, writes one line
// on standard error and ends the process at once with kStalledExitCode. The stuck thread
// may hold any lock and be in the middle of any change, so the guard uses nothing of
// it: only the heartbeat, and the published copy, which it takes only if it is free, then
// writes with plain system calls and no allocation.
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "platform/LoopHeartbeat.h"
#include "platform/MessageLoop.h"

namespace quorvan {

class StallGuard {
 public:
  // Far longer than any wait that does not turn the loop (the wake-up's two-second
  // sleeps), and than the longest wait that does (a reflash erase of about 20 s).
  static constexpr std::chrono::seconds kDefaultLimit{30};
  static constexpr int kStalledExitCode = 70;  // EX_SOFTWARE

  // Watches `loop` from now on; `program` starts the line on standard error.
  StallGuard(MessageLoop& loop, std::chrono::milliseconds limit, const std::string& program);
  ~StallGuard();
  StallGuard(const StallGuard&) = delete;
  StallGuard& operator=(const StallGuard&) = delete;

  // From the loop's thread: the trace-back to append to `file` if the loop stalls. An
  // empty text withdraws it.
  void publishTraceBack(const std::filesystem::path& file, std::string text);

 private:
  void watch();
  [[noreturn]] void stalled();
  void writeTraceBack() noexcept;

  MessageLoop& loop_;
  LoopHeartbeat heartbeat_;
  const std::chrono::milliseconds limit_;
  const std::string stallLine_;  // made beforehand: nothing is allocated on a stall

  std::mutex publishedMutex_;
  std::string traceFile_;
  std::string traceText_;
  std::filesystem::path madeDirectory_;  // loop's thread only

  std::mutex stopMutex_;
  std::condition_variable stop_;
  bool stopping_ = false;
  std::thread thread_;  // last: it starts once the rest exists
};

}  // namespace quorvan
