#pragma once
// A server with a simulated Ficht module on port 1, behind its own cable.
#include <algorithm>
#include <string>
#include <vector>

#include "ficht/FichtFrames.h"
#include "kline/Format.h"
#include "sim/FichtEcu.h"
#include "support/SimServerFixture.h"

namespace quorvan::testing {

class FichtFixture : public SimServerFixture {
 protected:
  FichtFixture() : module(line()) { sim::UseFichtCable(line()); }

  // InitComm(1) on the Ficht module; true when the session came up.
  bool connect(bool debug = true) {
    startWith(ecuFicht, debug);
    ecu.InitComm(1);
    return !events.statuses.empty() && events.statuses.back() == ecuCommOK;
  }

  // Watches one item with rate divisor 1.
  void watch(std::int16_t item, std::int32_t address, std::int16_t size,
             std::int32_t kind = ecuData, std::int16_t priority = 1) {
    ecu.AddItem(item, address, size, kind);
    ecu.Watch(item, priority);
  }

  int requestsOnWire(const std::string& payload) { return timesSent(FichtFrame(payload)); }
  // When each request of this payload started on the wire (microseconds).
  std::vector<std::uint64_t> requestStarts(const std::string& payload) {
    const std::string frame = FichtFrame(payload);
    std::vector<std::uint64_t> starts;
    const auto& log = line().wireLog();
    for (std::size_t i = 0; i + frame.size() <= log.size(); ++i) {
      bool match = true;
      for (std::size_t j = 0; j < frame.size() && match; ++j) {
        match = log[i + j].from == sim::WireEnd::Server &&
                log[i + j].sent == static_cast<std::uint8_t>(frame[j]);
      }
      if (match) starts.push_back(log[i].startUs);
    }
    return starts;
  }

  sim::FichtEcu module;
};

}  // namespace quorvan::testing
