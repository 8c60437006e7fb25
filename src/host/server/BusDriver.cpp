#include "host/server/BusDriver.h"

#include <fmt/format.h>

#include "platform/Process.h"

namespace quorvan::host {

namespace {
[[noreturn]] void busLost(const sdbus::Error& e) {
  fmt::print(stderr, "EcuQuorvanBT: lost the bus: {}\n", e.getMessage());
  throw ProcessEnd{1};
}
}  // namespace

BusDriver::BusDriver(sdbus::IConnection& connection, MessageLoop& loop, Hooks hooks)
    : connection_(connection), loop_(loop), hooks_(std::move(hooks)) {
  const auto poll = connection_.getEventLoopPollData();
  watch_ = loop_.watchFd(poll.fd, poll.events, [this](short) { pump(); });
  hook_ = loop_.addPrepareHook([this] { prepare(); });
}

BusDriver::~BusDriver() {
  loop_.removePrepareHook(hook_);
  loop_.unwatchFd(watch_);
  if (wake_ != 0) loop_.cancel(wake_);
}

void BusDriver::pump() {
  pumpPosted_ = false;
  try {
    while (!hooks_.holdBack() && connection_.processPendingRequest()) {
    }
  } catch (const sdbus::Error& e) {
    busLost(e);
  }
  hooks_.afterTurn();
}

void BusDriver::prepare() {
  hooks_.beforeLook();
  sdbus::IConnection::PollData poll{};
  try {
    poll = connection_.getEventLoopPollData();
  } catch (const sdbus::Error& e) {
    busLost(e);
  }
  loop_.setWatchEvents(watch_, poll.events);
  const int timeoutMs = poll.getPollTimeout();
  if (timeoutMs == 0) {
    postPump();
  } else if (timeoutMs > 0) {
    wakeIn(timeoutMs);
  }
}

void BusDriver::postPump() {
  if (pumpPosted_) return;
  pumpPosted_ = true;
  loop_.post([this, alive = std::weak_ptr(alive_)] {
    if (alive.lock()) pump();
  });
}

void BusDriver::wakeIn(int ms) {
  const std::uint64_t at = loop_.nowUs() + static_cast<std::uint64_t>(ms) * 1000;
  if (wake_ != 0 && wakeUs_ <= at) return;
  if (wake_ != 0) loop_.cancel(wake_);
  wakeUs_ = at;
  wake_ = loop_.schedule(at, [this] {
    wake_ = 0;
    pump();
  });
}

}  // namespace quorvan::host
