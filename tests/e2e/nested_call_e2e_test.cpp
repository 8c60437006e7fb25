// The server's loop in this process, a client on another thread: what happens when a
// call arrives while the server waits on the line.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "client/clsBoschECU.h"
#include "e2e/HostFixture.h"
#include "host/server/BusDriver.h"
#include "host/server/ConnectionWindows.h"
#include "host/server/EcuBusObject.h"
#include "runtime/frmCommThread.h"

namespace quorvan::testing {
namespace {

class ServerLoop : public HostFixture {
 protected:
  ServerLoop()
      : driveC(dir.path / "drive-c"),
        platform{clock, loop, serial, windows, alerts, driveC, process},
        ecu(platform, globals) {}

  // Serves on the private bus from this thread.
  void serve() {
    connection = sdbus::createSessionBusConnection();
    object = std::make_unique<host::EcuBusObject>(*connection, ecu, loop, windows);
    driver = std::make_unique<host::BusDriver>(
        *connection, loop,
        host::BusDriver::Hooks{[this] { return object->callWaiting(); },
                               [this] { object->announceChanges(); },
                               [this] { object->afterDispatch(); }});
    connection->requestName(host::kBusName);
  }
  // Closes the server's side: calls still waiting for an answer then fail.
  void stopServing() {
    driver.reset();
    object.reset();
    connection.reset();
  }

  // A timer handler that waits, yielding, until `until` holds.
  void waitInATimer(const std::function<bool()>& until) {
    waiting = std::make_unique<Timer>(
        loop,
        [this, until] {
          order.push_back("wait begins");
          waitBegan = true;
          waiting->setEnabled(false);
          while (!until()) {
            loop.DoEvents();
            clock.sleepMs(5);
          }
          order.push_back("wait ends");
        },
        10);
    waiting->setEnabled(true);
  }

  RealClock clock;
  MessageLoop loop{clock};
  NoPortsBackend serial;
  host::ConnectionWindows windows;
  CapturingAlerts alerts;
  DriveC driveC;
  RecordingProcessControl process;
  Platform platform;
  modGlobals globals;
  clsBoschECU ecu;
  std::unique_ptr<sdbus::IConnection> connection;
  std::unique_ptr<host::EcuBusObject> object;
  std::unique_ptr<host::BusDriver> driver;
  std::unique_ptr<Timer> waiting;
  std::vector<std::string> order;
  std::atomic<bool> waitBegan = false;
};

// Wakes the server's idle loop from the client's thread, so that it looks again.
class Wakeup {
 public:
  explicit Wakeup(MessageLoop& loop) : loop_(loop) {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe");
    watch_ = loop_.watchFd(fds_[0], POLLIN, [this](short) {
      char c;
      while (::read(fds_[0], &c, 1) == 1) {
      }
    });
  }
  ~Wakeup() {
    loop_.unwatchFd(watch_);
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;
  void ring() { (void)!::write(fds_[1], "!", 1); }

 private:
  MessageLoop& loop_;
  int fds_[2];
  MessageLoop::WatchId watch_ = 0;
};

// Holds the client back until the server is inside its wait.
void awaitFlag(const std::atomic<bool>& flag) {
  const auto end = std::chrono::steady_clock::now() + kPatience;
  while (!flag && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

struct NoteSink : EventRecorder {
  explicit NoteSink(std::vector<std::string>& order) : order_(order) {}
  void DamnIt(const std::string& note) override { order_.push_back("call: " + note); }
  std::vector<std::string>& order_;
};

TEST_F(ServerLoop, ACallArrivingDuringAYieldingWaitRunsInsideIt) {
  serve();
  NoteSink sink(order);
  ecu.addSink(&sink);
  std::atomic<bool> answered = false;
  waitInATimer([&] { return answered.load(); });
  std::thread client([&] {
    host::EcuClient c;
    awaitFlag(waitBegan);
    c.TellClient("inside");
    answered = true;
  });
  const bool finished = loop.runUntil([&] { return order.size() == 3; }, 20000);
  client.join();
  ecu.removeSink(&sink);
  ASSERT_TRUE(finished);
  EXPECT_EQ(order, (std::vector<std::string>{"wait begins", "call: inside", "wait ends"}));
}

TEST_F(ServerLoop, ACallThatEndsTheServerUnwindsTheWaitItRanIn) {
  serve();
  ecu.RunTask(false);
  ecu.setClientName("Nobody");  // no such window: the next presence check ends the server
  waitInATimer([] { return false; });
  std::atomic<bool> failed = false;
  std::thread client([&] {
    host::EcuClient c;
    awaitFlag(waitBegan);
    try {
      c.proxy().InitComm(-1);  // runs the presence check
    } catch (const sdbus::Error&) {
      failed = true;  // never answered
    }
  });
  bool ended = false;
  try {
    loop.runFor(20000);
  } catch (const ProcessEnd& end) {
    ended = true;
    EXPECT_EQ(end.exitCode, 0);
  }
  stopServing();
  client.join();
  EXPECT_TRUE(ended);
  EXPECT_TRUE(failed);
  EXPECT_EQ(order, std::vector<std::string>{"wait begins"});  // the wait did not go on
}

TEST_F(ServerLoop, CallsAndPropertyWritesTakeEffectInTheOrderSent) {
  serve();
  Wakeup wake(loop);
  std::atomic<bool> done = false;
  std::thread client([&] {
    host::EcuClient c;
    auto& proxy = c.connection();
    // Sent without waiting for the answers: a call, then a property write that the
    // call's effect would undo if they were taken out of order.
    auto call = sdbus::createProxy(proxy, host::kBusName, host::kObjectPath);
    auto clear = call->createMethodCall(host::EcuClient::Proxy::INTERFACE_NAME, "ClearItems");
    clear.dontExpectReply();
    call->callMethod(clear);
    auto set = call->createMethodCall("org.freedesktop.DBus.Properties", "Set");
    set << std::string(host::EcuClient::Proxy::INTERFACE_NAME) << std::string("ecuActive")
        << sdbus::Variant(std::int16_t{7});
    call->callMethod(set);
    done = true;
    wake.ring();
  });
  ecu.ecuActive = 3;
  ASSERT_TRUE(loop.runUntil([&] { return done.load(); }, 20000));
  client.join();
  EXPECT_EQ(ecu.ecuActive, 7);  // ClearItems (setting it to 0) ran first
}

}  // namespace
}  // namespace quorvan::testing
