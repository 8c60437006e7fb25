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

  // The server's requests on the wire (echo of its own bytes), as one byte string.
  std::string serverBytes() { return line().heardFrom(sim::WireEnd::Server); }
  int requestsOnWire(const std::string& packet) {
    const std::string all = serverBytes();
    int n = 0;
    for (auto at = all.find(packet); at != std::string::npos; at = all.find(packet, at + 1)) ++n;
    return n;
  }

  // The on-screen trace, for a failing test's output.
  std::string traceDump() {
    std::string all;
    for (const auto& l : form().trace.lstTrace()) all += l + "\n";
    return all;
  }

  sim::VisteonEcu ecuSim;
};

// The 16-bit sum of an image, as a client computes its verify value.
inline std::int32_t ImageSum(const std::string& image) {
  unsigned sum = 0;
  for (char c : image) sum = (sum + static_cast<unsigned char>(c)) & 0xFFFF;
  return static_cast<std::int32_t>(sum);
}

}  // namespace quorvan::testing
