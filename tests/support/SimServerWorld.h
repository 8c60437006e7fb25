#pragma once
// A whole server on the virtual clock with the simulated world behind its ports: port 1
// is a K-line cable to `line`; tests add controllers and other ports.
#include <string>
#include <vector>

#include "sim/SimLine.h"
#include "sim/SimSerial.h"
#include "support/ServerWorld.h"

namespace quorvan::testing {

struct SimWorld {
  explicit SimWorld(VirtualClock& clock) : line(clock), backend(clock, clock) {
    backend.setPort(1, sim::SimPort::kLine(line));
  }
  sim::SimLine line;
  sim::SimSerialBackend backend;
};

class SimServerWorld : public ServerWorld {
 public:
  SimServerWorld() : world(clock) { serial.target = &world.backend; }
  // The wire outlives the port devices on it.
  ~SimServerWorld() {
    for (auto& f : globals.loadedForms) f->commSerial.setPortOpen(false);
  }
  SimServerWorld(const SimServerWorld&) = delete;
  SimServerWorld& operator=(const SimServerWorld&) = delete;

  sim::SimLine& line() { return world.line; }
  sim::SimSerialBackend& ports() { return world.backend; }

  // Started, named client, debug trace on, family chosen.
  frmCommThread& startWith(std::int32_t device, bool debug = true) {
    start();
    nameClient("Diag");
    ecu.setDebugMode(debug);
    ecu.setDevice(device);
    return form();
  }

  // Lines of the on-screen trace without their time column.
  std::vector<std::string> traceTexts() {
    std::vector<std::string> out;
    for (const auto& l : form().trace.lstTrace()) out.push_back(l.substr(l.find(": ") + 2));
    return out;
  }
  // The on-screen trace, for a failing test's output.
  std::string traceDump() {
    std::string all;
    for (const auto& l : form().trace.lstTrace()) all += l + "\n";
    return all;
  }
  // The server's bytes on the wire, as one byte string.
  std::string serverBytes() { return line().heardFrom(sim::WireEnd::Server); }
  // How many times the server put these bytes on the wire.
  int timesSent(const std::string& bytes) {
    const std::string all = serverBytes();
    int n = 0;
    for (auto at = all.find(bytes); at != std::string::npos; at = all.find(bytes, at + 1)) ++n;
    return n;
  }
  int traceCount(const std::string& text) {
    int n = 0;
    for (const auto& l : form().trace.lstTrace()) n += l.find(text) != std::string::npos;
    return n;
  }

  SimWorld world;
};

}  // namespace quorvan::testing
