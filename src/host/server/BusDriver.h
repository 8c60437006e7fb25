#pragma once
// Drives a bus connection from the one message loop, without a thread of its own: the
// loop watches the connection's descriptor, and before every look at the descriptors the
// driver brings the watched events up to date and posts the messages sd-bus already
// holds (a synchronous call reads ahead and leaves them queued, where poll() cannot see
// them).
#include <sdbus-c++/Error.h>
#include <sdbus-c++/IConnection.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/MessageLoop.h"

namespace quorvan::host {

class BusDriver {
 public:
  struct Hooks {
    // True while the next message must wait (a call is queued to run first).
    std::function<bool()> holdBack;
    // Runs before each look at the bus (announcements go out here).
    std::function<void()> beforeLook;
    // Runs after each turn of taking messages.
    std::function<void()> afterTurn;
  };

  BusDriver(sdbus::IConnection& connection, MessageLoop& loop, Hooks hooks);
  ~BusDriver();
  BusDriver(const BusDriver&) = delete;
  BusDriver& operator=(const BusDriver&) = delete;

  // Takes messages until none is left or holdBack() says stop. A lost bus ends the
  // process (ProcessEnd with code 1): nobody could reach the server any more.
  void pump();

 private:
  void prepare();
  void postPump();
  void wakeIn(int ms);

  sdbus::IConnection& connection_;
  MessageLoop& loop_;
  Hooks hooks_;
  MessageLoop::WatchId watch_ = 0;
  MessageLoop::HookId hook_ = 0;
  bool pumpPosted_ = false;
  Scheduler::EventId wake_ = 0;
  std::uint64_t wakeUs_ = 0;
  // Posted work cannot be taken back: it checks that the driver still exists.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace quorvan::host
