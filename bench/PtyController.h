#pragma once
// A simulated controller in real time behind a pseudo-terminal, as ecusim runs it (the
// same line, model and bridge), on a thread of its own so that the benchmark can time
// what crosses the terminal on the controller's side: when each byte the line delivers
// for the server has been written to the terminal, and when each byte the server wrote
// has been read from it.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/cli/ChildProcess.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "platform/PortsDirectory.h"
#include "sim/PtyBridge.h"
#include "sim/PtyScheduler.h"
#include "sim/SimEcu.h"
#include "sim/SimLine.h"

namespace quorvan::bench {

// One byte crossing the terminal, at the loop's clock (steady microseconds).
struct PtyCrossing {
  enum class Kind { FromServer, Echo, FromController };
  std::uint64_t atUs = 0;
  Kind kind = Kind::FromServer;
  std::uint8_t value = 0;
};

// Sits between the bridge and the line and times every byte that passes. The line hands
// the server its own bytes back (the K-line echo) in the order they were sent; a byte
// that is not the next echo expected is the controller's.
class WireTap final : public sim::PortPeer, public sim::ServerEnd {
 public:
  WireTap(Clock& clock, sim::PortPeer& line) : clock_(clock), line_(line) {}

  // PortPeer: the bridge's side.
  void attachServer(sim::ServerEnd* end) override {
    bridge_ = end;
    line_.attachServer(end ? this : nullptr);
  }
  void transmitFromServer(const std::string& bytes, std::uint32_t bitRate) override {
    const std::uint64_t at = clock_.monoUs();
    for (const char c : bytes) {
      const auto b = static_cast<std::uint8_t>(c);
      crossings.push_back({at, PtyCrossing::Kind::FromServer, b});
      echoes_.push_back(b);
    }
    line_.transmitFromServer(bytes, bitRate);
  }
  void setServerBreak(bool on) override { line_.setServerBreak(on); }
  void setServerModemOutputs(bool dtr, bool rts) override { line_.setServerModemOutputs(dtr, rts); }
  sim::ModemInputs serverModemInputs() const override { return line_.serverModemInputs(); }

  // ServerEnd: the line's side.
  std::uint32_t rxBitRate() const override { return bridge_ ? bridge_->rxBitRate() : 0; }
  void onWireByte(const sim::RxByte& byte) override {
    if (!bridge_) return;
    bridge_->onWireByte(byte);
    auto kind = PtyCrossing::Kind::FromController;
    if (!echoes_.empty() && echoes_.front() == byte.value) {
      kind = PtyCrossing::Kind::Echo;
      echoes_.pop_front();
    }
    crossings.push_back({clock_.monoUs(), kind, byte.value});
  }
  void onLineEvent(int commEvent) override {
    if (bridge_) bridge_->onLineEvent(commEvent);
  }

  std::vector<PtyCrossing> crossings;

 private:
  Clock& clock_;
  sim::PortPeer& line_;
  sim::ServerEnd* bridge_ = nullptr;
  std::deque<std::uint8_t> echoes_;
};

using ControllerFactory = std::function<std::unique_ptr<sim::SimEcu>(sim::SimLine&)>;

class PtyController {
 public:
  // Starts the controller and publishes its terminal in `portsDir`; returns once it is
  // there. Throws what the controller's thread could not set up.
  PtyController(std::filesystem::path portsDir, ControllerFactory make)
      : portsDir_(std::move(portsDir)), make_(std::move(make)) {
    std::future<int> published = published_.get_future();
    thread_ = std::thread([this] { run(); });
    try {
      port_ = published.get();
    } catch (...) {
      stop();
      throw;
    }
  }
  ~PtyController() { stop(); }
  PtyController(const PtyController&) = delete;
  PtyController& operator=(const PtyController&) = delete;

  int port() const { return port_; }

  // Ends the controller's thread; its crossings may be read from then on.
  void stop() {
    if (!thread_.joinable()) return;
    const char quit = 'q';
    while (::write(quit_.writeEnd(), &quit, 1) < 0 && errno == EINTR) {
    }
    thread_.join();
  }
  const std::vector<PtyCrossing>& crossings() const { return crossings_; }

 private:
  void run() {
    bool announced = false;
    try {
      RealClock clock;
      MessageLoop loop(clock);
      sim::PtyScheduler world(loop);
      sim::SimLine line(world);
      const std::unique_ptr<sim::SimEcu> controller = make_(line);
      WireTap tap(clock, line);
      sim::PtyBridge bridge(loop, tap);
      const PortClaim claim = PortsDirectory(portsDir_).publish(bridge.devicePath());
      const auto watch = loop.watchFd(quit_.readEnd(), POLLIN, [&](short) { loop.quit(); });
      published_.set_value(claim.number());
      announced = true;
      loop.run();
      loop.unwatchFd(watch);
      crossings_ = std::move(tap.crossings);
    } catch (...) {
      if (!announced) published_.set_exception(std::current_exception());
    }
  }

  std::filesystem::path portsDir_;
  ControllerFactory make_;
  host::Pipe quit_;
  std::promise<int> published_;
  int port_ = 0;
  std::vector<PtyCrossing> crossings_;
  std::thread thread_;
};

}  // namespace quorvan::bench
