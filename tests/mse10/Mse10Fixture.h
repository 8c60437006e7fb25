#pragma once
// A server on the MSE 1.0 path with a controller on port 1: a scripted one that plays
// exact bytes and timings, or the simulated MSE 1.0 controller.
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "mse10/ScriptedEcu.h"
#include "sim/Mse10Ecu.h"
#include "support/SimServerFixture.h"
#include "trace/Text.h"

namespace quorvan::testing {

// A block without its end byte: length, counter, title, data.
inline std::string Block(int counter, int title, const std::string& data = {}) {
  std::string block = Bytes({static_cast<int>(data.size()) + 3, counter, title});
  return block + data;
}

inline constexpr const char* kHardwareId = "0261204123";
inline constexpr const char* kSoftwareId = "1037359426";
inline constexpr const char* kCustomerId = "MSE 1.0";

class Mse10Server : public SimServerFixture {
 protected:
  void connect(std::int32_t device = ecuMSE10, bool debug = true) {
    startWith(device, debug);
    ecu.InitComm(1);
  }

  // The first server frame that starts at or after `after`.
  const sim::WireByte* serverFrameAfter(std::uint64_t after) const {
    for (const auto& b : world.line.wireLog()) {
      if (b.from == sim::WireEnd::Server && b.startUs >= after) return &b;
    }
    return nullptr;
  }
  // Wake-up patterns sent so far (four level changes each).
  std::size_t wakeUps() const { return world.line.levelLog().size() / 4; }

  std::vector<sim::WireByte> wireFrom(sim::WireEnd end) const {
    std::vector<sim::WireByte> out;
    for (const auto& b : world.line.wireLog()) {
      if (b.from == end) out.push_back(b);
    }
    return out;
  }

  // What the trace-back dumps wrote to today's file.
  std::string traceBackFile() {
    std::ifstream in(driveC.dir() / ("EcuTrace-" + TodayMmDdYyyy() + ".LOG"), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  int ringCount(const std::string& text) {
    int n = 0;
    for (int i = 1; i <= TraceLog::kRingSize; ++i) {
      n += form().trace.ringSlot(i).find(text) != std::string::npos;
    }
    return n;
  }
};

class Mse10Fixture : public Mse10Server {
 protected:
  Mse10Fixture() : script(line()) {}

  // The wake-up answer, refused on the adaptive pass and confirmed on the standard one:
  // the controller's first block carries counter 1.
  ScriptedEcu& scriptWakeUp() {
    return script.awaitWakeUp().prologAnswer().expect(0x76).prologAnswer().expect(0x75);
  }

  // The wake-up, then the three identification blocks, each acknowledged. The
  // controller's next block carries counter 7.
  ScriptedEcu& scriptWakeUpAndIdentification() {
    scriptWakeUp();
    const char* ids[] = {kHardwareId, kSoftwareId, kCustomerId};
    int counter = 1;
    for (const char* id : ids) {
      script.ecuBlock(Block(counter, 0xF6, id)).serverBlock(Block(counter + 1, 0x09));
      counter += 2;
    }
    return script;
  }

  // Runs until the script has been played (or maxMs passed).
  bool play(std::uint32_t maxMs = 10'000) {
    return loop.runUntil([&] { return script.finished(); }, maxMs);
  }

  ScriptedEcu script;
};

class Mse10ModelFixture : public Mse10Server {
 protected:
  Mse10ModelFixture() : model(line()) {
    model.setIdentification(kHardwareId, kSoftwareId, kCustomerId);
  }

  bool linkedAndCommOk() {
    return model.link() == sim::Mse10Ecu::Link::Linked && !events.statuses.empty() &&
           events.statuses.back() == ecuCommOK;
  }
  // InitComm(1) on a server started before (items may be set up in between); true
  // once the controller is identified.
  bool initAndIdentify() {
    ecu.InitComm(1);
    return loop.runUntil([&] { return linkedAndCommOk(); }, 10'000);
  }
  bool connectAndIdentify(bool debug = true) {
    startWith(ecuMSE10, debug);
    return initAndIdentify();
  }

  // The titles of the server's blocks, as the controller took them in.
  std::vector<int> titlesReceived() const {
    std::vector<int> titles;
    for (const auto& b : model.received()) titles.push_back(static_cast<std::uint8_t>(b[2]));
    return titles;
  }
  // Addresses of the server's read-memory blocks, in order.
  std::vector<int> addressesRead() const {
    std::vector<int> out;
    for (const auto& b : model.received()) {
      if (static_cast<std::uint8_t>(b[2]) != 0x01) continue;
      out.push_back(static_cast<std::uint8_t>(b[4]) << 8 | static_cast<std::uint8_t>(b[5]));
    }
    return out;
  }

  sim::Mse10Ecu model;
};

}  // namespace quorvan::testing
