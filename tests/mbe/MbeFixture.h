#pragma once
// A server with a simulated MBE module on port 1, on the module's own lead.
#include <string>
#include <vector>

#include "mbe/MbeFamily.h"
#include "sim/MbeEcu.h"
#include "support/SimServerFixture.h"

namespace quorvan::testing {

using sim::mbe::kAnyAddress;
using sim::mbe::kForever;

// Where the module keeps what the server reads.
inline constexpr std::uint16_t kIdAddress = 13;
inline constexpr std::uint16_t kCurrentFaults = 211;
inline constexpr std::uint16_t kKeepAlive = 237;
inline constexpr std::uint16_t kFaultHistory = 255;

// One read request as the wire carried it.
struct ReadOnWire {
  std::uint16_t address;
  std::uint64_t startUs;  // of its first byte
};

class MbeFixture : public SimServerFixture {
 protected:
  MbeFixture() : module(line()) { line().setCable(sim::CableKind::Mbe); }

  // InitComm(1) on an MBE module; true when the session came up.
  bool connect(bool debug = true) {
    startWith(ecuMBE, debug);
    ecu.InitComm(1);
    return !events.statuses.empty() && events.statuses.back() == ecuCommOK;
  }

  // AddItem and Watch in one.
  void watch(std::int16_t item, std::int32_t address, std::int16_t size, std::int32_t kind,
             std::int16_t priority = 1) {
    ecu.AddItem(item, address, size, kind);
    ecu.Watch(item, priority);
  }

  // The server's read requests, in order, from the wire log.
  std::vector<ReadOnWire> reads() {
    std::vector<ReadOnWire> out;
    const sim::WireByte* high = nullptr;
    for (const sim::WireByte& b : line().wireLog()) {
      if (b.from != sim::WireEnd::Server) continue;
      if (high == nullptr) {
        high = &b;
        continue;
      }
      out.push_back({static_cast<std::uint16_t>(high->sent << 8 | b.sent), high->startUs});
      high = nullptr;
    }
    return out;
  }
  std::vector<std::uint16_t> readAddresses() {
    std::vector<std::uint16_t> out;
    for (const ReadOnWire& r : reads()) out.push_back(r.address);
    return out;
  }

  MbeLink& state() { return static_cast<MbeFamily&>(form().families.forDevice(ecuMBE)).link; }


  sim::MbeEcu module;
};

}  // namespace quorvan::testing
