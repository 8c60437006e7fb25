#include "platform/MessageLoop.h"

#include <algorithm>
#include <limits>

namespace quorvan {

void MessageLoop::post(std::function<void()> task) {
  tasks_.push_back(std::move(task));
}

MessageLoop::WatchId MessageLoop::watchFd(int fd, short events,
                                          std::function<void(short)> onReady) {
  const WatchId id = nextWatch_++;
  fds_.emplace(id, FdWatch{fd, events, std::move(onReady)});
  return id;
}

void MessageLoop::unwatchFd(WatchId id) {
  fds_.erase(id);
}

void MessageLoop::setWatchEvents(WatchId id, short events) {
  if (auto it = fds_.find(id); it != fds_.end()) it->second.events = events;
}

MessageLoop::HookId MessageLoop::addPrepareHook(std::function<void()> hook) {
  const HookId id = nextHook_++;
  prepareHooks_.emplace(id, std::move(hook));
  return id;
}

void MessageLoop::removePrepareHook(HookId id) {
  prepareHooks_.erase(id);
}

void MessageLoop::runPrepareHooks() {
  // By id, looked up afresh each time: a hook may add or remove hooks.
  for (auto it = prepareHooks_.begin(); it != prepareHooks_.end();) {
    const HookId id = it->first;
    auto hook = it->second;
    hook();
    it = prepareHooks_.upper_bound(id);
  }
}

void MessageLoop::removeTimer(Timer* t) {
  timers_.erase(std::remove(timers_.begin(), timers_.end(), t), timers_.end());
}

Scheduler::EventId MessageLoop::schedule(std::uint64_t atUs, std::function<void()> fn) {
  const EventId id = nextDelayed_++;
  delayed_.emplace(std::make_pair(atUs, id), std::move(fn));
  delayedWhen_.emplace(id, atUs);
  return id;
}

void MessageLoop::cancel(EventId id) {
  auto it = delayedWhen_.find(id);
  if (it == delayedWhen_.end()) return;
  delayed_.erase(std::make_pair(it->second, id));
  delayedWhen_.erase(it);
}

bool MessageLoop::dispatchFds(int /*unused*/) {
  if (fds_.empty()) return false;
  std::vector<pollfd> pfds;
  std::vector<WatchId> ids;
  for (const auto& [id, w] : fds_) {
    pfds.push_back(pollfd{w.fd, w.events, 0});
    ids.push_back(id);
  }
  if (::poll(pfds.data(), pfds.size(), 0) <= 0) return false;
  for (std::size_t i = 0; i < pfds.size(); ++i) {
    if (pfds[i].revents == 0) continue;
    auto it = fds_.find(ids[i]);  // an earlier callback may have removed it
    if (it == fds_.end()) continue;
    auto cb = it->second.onReady;  // copy: the callback may unwatch itself
    cb(pfds[i].revents);
  }
  return true;
}

void MessageLoop::dispatchTasks() {
  // Only what is queued now: a task that posts another does not starve the loop.
  std::size_t n = tasks_.size();
  while (n-- > 0 && !tasks_.empty()) {
    auto task = std::move(tasks_.front());
    tasks_.pop_front();
    task();
  }
}

void MessageLoop::dispatchDelayed() {
  const std::uint64_t now = clock_.monoUs();
  while (!delayed_.empty() && delayed_.begin()->first.first <= now) {
    auto node = delayed_.extract(delayed_.begin());
    delayedWhen_.erase(node.key().second);
    node.mapped()();
  }
}

void MessageLoop::dispatchTimers() {
  // Copy: a handler may create or destroy timers.
  const std::vector<Timer*> snapshot = timers_;
  for (Timer* t : snapshot) {
    if (std::find(timers_.begin(), timers_.end(), t) == timers_.end()) continue;
    t->tickIfDue(clock_.monoUs());
  }
}

void MessageLoop::DoEvents() {
  if (heartbeat_) heartbeat_->turned();
  runPrepareHooks();
  dispatchFds();
  dispatchTasks();
  dispatchDelayed();
  dispatchTimers();
}

std::uint64_t MessageLoop::nextDueUs() const {
  std::uint64_t due = std::numeric_limits<std::uint64_t>::max();
  if (!tasks_.empty()) return 0;
  for (const Timer* t : timers_) {
    if (t->enabled_ && t->intervalMs_ > 0 && !t->running_) due = std::min(due, t->dueUs_);
  }
  if (!delayed_.empty()) due = std::min(due, delayed_.begin()->first.first);
  return due;
}

void MessageLoop::idleOnce(std::uint64_t limitUs) {
  runPrepareHooks();
  const std::uint64_t due = std::min(nextDueUs(), limitUs);
  if (due <= clock_.monoUs()) return;
  std::vector<pollfd> pfds;
  for (const auto& [id, w] : fds_) pfds.push_back(pollfd{w.fd, w.events, 0});
  if (heartbeat_) heartbeat_->resting();
  clock_.idleUntil(due, pfds);
  if (heartbeat_) heartbeat_->turned();
}

bool MessageLoop::runUntil(const std::function<bool()>& pred, std::uint32_t maxMs) {
  const std::uint64_t limit = clock_.monoUs() + std::uint64_t{maxMs} * 1000;
  for (;;) {
    DoEvents();
    if (pred()) return true;
    if (clock_.monoUs() >= limit) return false;
    idleOnce(limit);
  }
}

void MessageLoop::runFor(std::uint32_t ms) {
  runUntil([] { return false; }, ms);
}

void MessageLoop::run() {
  quit_ = false;
  while (!quit_) {
    DoEvents();
    if (quit_) break;
    idleOnce(clock_.monoUs() + 60'000'000);
  }
}

Timer::Timer(MessageLoop& loop, std::function<void()> onTick, std::uint32_t intervalMs)
    : loop_(loop), onTick_(std::move(onTick)), intervalMs_(intervalMs) {
  loop_.addTimer(this);
}

Timer::~Timer() {
  loop_.removeTimer(this);
}

void Timer::restart() {
  dueUs_ = loop_.clock().monoUs() + std::uint64_t{intervalMs_} * 1000;
  restarted_ = true;
}

void Timer::setInterval(std::uint32_t ms) {
  intervalMs_ = ms;
  restart();
}

void Timer::setEnabled(bool on) {
  if (on) restart();  // (re-)enabling restarts the period
  enabled_ = on;
}

void Timer::tickIfDue(std::uint64_t nowUs) {
  if (!enabled_ || intervalMs_ == 0 || running_ || nowUs < dueUs_ || !onTick_) return;
  const std::uint64_t period = std::uint64_t{intervalMs_} * 1000;
  dueUs_ = nowUs + period;
  restarted_ = false;
  running_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{running_};
  onTick_();
  if (restarted_) return;  // the handler set its own period
  // Ticks that fell due while the handler ran are skipped.
  const std::uint64_t after = loop_.clock().monoUs();
  if (after >= dueUs_) dueUs_ += ((after - dueUs_) / period + 1) * period;
}

}  // namespace quorvan
