#pragma once
// A server with a simulated MSE 1.1 controller on port 1.
#include <functional>
#include <string>

#include "kline/Mse11Image.h"
#include "kwp2000/Kwp2000Family.h"
#include "sim/Mse11Ecu.h"
#include "support/SimServerFixture.h"

namespace quorvan::testing {

class Mse11Fixture : public SimServerFixture {
 protected:
  Mse11Fixture() : ecuSim(line()) {}

  // InitComm(1) with MSE 1.1 chosen: the line echoes and the session waits for requests.
  bool connect(bool debug = true) {
    startWith(ecuMSE11, debug);
    ecu.InitComm(1);
    return !events.statuses.empty() && events.statuses.back() == ecuInitializing;
  }

  Kwp2000Link& link() { return dynamic_cast<Kwp2000Family&>(form().family()).link; }

  // Runs the loop until the flash step in progress has reported its outcome.
  std::int32_t flashOutcome(std::uint32_t maxMs = 120'000) {
    loop.runUntil([&] { return ecu.FlashStatus() != flashBusy; }, maxMs);
    return ecu.FlashStatus();
  }

  // An image with no two chunks alike.
  static std::string makeImage(std::uint8_t salt = 0) {
    std::string image;
    for (std::size_t i = 0; i < kMse11ImageSize; ++i) {
      image.push_back(static_cast<char>((i * 7 + i / 250 * 13 + salt) & 0xFF));
    }
    return image;
  }
  static std::string chunk(const std::string& image, std::size_t n) {
    return image.substr(n * kMse11ChunkSize, kMse11ChunkSize);
  }
  static constexpr std::size_t kChunks = (kMse11ImageSize + kMse11ChunkSize - 1) / kMse11ChunkSize;

  // FlashInit through the erase; then `chunks` chunks, each waited for. False (with the
  // step's outcome in FlashStatus) at the first step that is not flashReady.
  bool initAndWrite(const std::string& image, std::size_t chunks = kChunks) {
    if (ecu.FlashInit() != 250 || flashOutcome() != flashReady) return false;
    for (std::size_t n = 0; n < chunks; ++n) {
      ecu.FlashWrite(chunk(image, n));
      if (flashOutcome() != flashReady) return false;
    }
    return true;
  }

  // Runs action at the first millisecond of the world's time at which pred holds, even
  // in the middle of a step (as a client call or a fault would come).
  void when(std::function<bool()> pred, std::function<void()> action) {
    clock.schedule(clock.nowUs() + 1000, [this, pred, action] {
      if (pred()) {
        action();
      } else {
        when(pred, action);
      }
    });
  }

  // The server's bytes on the wire, as one byte string.
  std::string serverBytes() { return line().heardFrom(sim::WireEnd::Server); }
  int framesOnWire(const std::string& frame) {
    const std::string all = serverBytes();
    int n = 0;
    for (auto at = all.find(frame); at != std::string::npos; at = all.find(frame, at + 1)) ++n;
    return n;
  }

  std::string traceDump() {
    std::string all;
    for (const auto& l : form().trace.lstTrace()) all += l + "\n";
    return all;
  }

  sim::Mse11Ecu ecuSim;
};

}  // namespace quorvan::testing
