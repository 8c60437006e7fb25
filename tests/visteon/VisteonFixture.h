#pragma once
// A server with a simulated Visteon controller on port 1.
#include <numeric>

#include "kline/Format.h"
#include "sim/VisteonEcu.h"
#include "support/SimServerFixture.h"

namespace quorvan::testing {

class VisteonFixture : public SimServerFixture {
 protected:
  VisteonFixture() : ecuSim(line()) { ecuSim.setSoftwareId(std::string("\xBE\x1F\xB8\x10", 4)); }

  // InitComm(1) on a Visteon controller; true when the session came up.
  bool connect(bool debug = true) {
    startWith(ecuVisteon, debug);
    ecu.InitComm(1);
    return !events.statuses.empty() && events.statuses.back() == ecuCommOK;
  }

  // Runs the loop until the reflash step in progress has reported its outcome.
  std::int32_t flashOutcome(std::uint32_t maxMs = 60'000) {
    loop.runUntil([&] { return ecu.FlashStatus() != flashBusy; }, maxMs);
    return ecu.FlashStatus();
  }

  int requestsOnWire(const std::string& packet) { return timesSent(packet); }

  sim::VisteonEcu ecuSim;
};

// The 16-bit sum of an image, as a client computes its verify value.
inline std::int32_t ImageSum(const std::string& image) {
  unsigned sum = 0;
  for (char c : image) sum = (sum + static_cast<unsigned char>(c)) & 0xFFFF;
  return static_cast<std::int32_t>(sum);
}

}  // namespace quorvan::testing
