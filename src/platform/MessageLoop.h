#pragma once
// The one thread's message loop. Timers, serial events, client calls and one-shot tasks
// are queued here and dispatched one at a time. Handlers may nest inside a yielding
// wait (which calls DoEvents), but a timer never re-enters its own handler: a tick that
// comes due while its handler is still running is skipped.
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <vector>

#include "platform/Clock.h"
#include "platform/LoopHeartbeat.h"

namespace quorvan {

class Timer;

class MessageLoop final : public Scheduler {
 public:
  using WatchId = std::uint64_t;

  explicit MessageLoop(Clock& clock) : clock_(clock) {}
  MessageLoop(const MessageLoop&) = delete;
  MessageLoop& operator=(const MessageLoop&) = delete;

  Clock& clock() { return clock_; }

  // Queues a one-shot task; it runs at the next dispatch.
  void post(std::function<void()> task);

  // Watches a file descriptor; the callback runs from the loop when poll() reports it.
  WatchId watchFd(int fd, short events, std::function<void(short revents)> onReady);
  void unwatchFd(WatchId id);
  // Changes the events a watched descriptor is polled for from now on.
  void setWatchEvents(WatchId id, short events);

  // A hook runs before every look at the watched descriptors (at the start of each
  // DoEvents and before the loop idles), so a source that buffers work of its own, such
  // as a bus connection, can update its events or post the work it already holds.
  using HookId = std::uint64_t;
  HookId addPrepareHook(std::function<void()> hook);
  void removePrepareHook(HookId id);

  // Dispatches everything that is due now, then returns. The yielding waits call it.
  void DoEvents();

  // Tells `heartbeat` (or nobody, with nullptr) of each turn and each rest from now on.
  void setHeartbeat(LoopHeartbeat* heartbeat) { heartbeat_ = heartbeat; }

  // The top of the loop: dispatches and idles until pred() holds or maxMs elapsed.
  // Returns pred()'s last value.
  bool runUntil(const std::function<bool()>& pred, std::uint32_t maxMs);
  void runFor(std::uint32_t ms);
  // Runs until quit() is called.
  void run();
  void quit() { quit_ = true; }

  // Scheduler: a delayed one-shot task (used to run the simulator on real time).
  std::uint64_t nowUs() override { return clock_.monoUs(); }
  EventId schedule(std::uint64_t atUs, std::function<void()> fn) override;
  void cancel(EventId id) override;

 private:
  friend class Timer;
  struct FdWatch {
    int fd;
    short events;
    std::function<void(short)> onReady;
  };
  void addTimer(Timer* t) { timers_.push_back(t); }
  void removeTimer(Timer* t);
  bool dispatchFds(int timeoutUsIgnored = 0);
  void dispatchTasks();
  void dispatchDelayed();
  void dispatchTimers();
  void runPrepareHooks();
  std::uint64_t nextDueUs() const;
  void idleOnce(std::uint64_t limitUs);

  Clock& clock_;
  std::deque<std::function<void()>> tasks_;
  std::map<WatchId, FdWatch> fds_;
  WatchId nextWatch_ = 1;
  std::map<HookId, std::function<void()>> prepareHooks_;
  HookId nextHook_ = 1;
  std::vector<Timer*> timers_;
  std::map<std::pair<std::uint64_t, EventId>, std::function<void()>> delayed_;
  std::map<EventId, std::uint64_t> delayedWhen_;
  EventId nextDelayed_ = 1;
  bool quit_ = false;
  LoopHeartbeat* heartbeat_ = nullptr;
};

// A form timer: Interval in milliseconds and Enabled, like the form's timer controls.
// Enabling it or changing its interval restarts its period. An interval of 0 never ticks.
class Timer {
 public:
  Timer(MessageLoop& loop, std::function<void()> onTick, std::uint32_t intervalMs = 0);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  std::uint32_t Interval() const { return intervalMs_; }
  void setInterval(std::uint32_t ms);
  bool Enabled() const { return enabled_; }
  void setEnabled(bool on);
  void setHandler(std::function<void()> onTick) { onTick_ = std::move(onTick); }
  bool running() const { return running_; }

 private:
  friend class MessageLoop;
  void restart();
  // Called by the loop: fires when due and not already inside its own handler.
  void tickIfDue(std::uint64_t nowUs);

  MessageLoop& loop_;
  std::function<void()> onTick_;
  std::uint32_t intervalMs_;
  bool enabled_ = false;
  bool running_ = false;
  bool restarted_ = false;
  std::uint64_t dueUs_ = 0;
};

}  // namespace quorvan
