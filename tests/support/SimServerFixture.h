#pragma once
// A whole server on the virtual clock with the simulated world behind its ports: port 1
// is a K-line cable to `line`; tests add controllers and other ports.
#include "sim/SimLine.h"
#include "sim/SimSerial.h"
#include "support/ServerFixture.h"

namespace quorvan::testing {

struct SimWorld {
  explicit SimWorld(VirtualClock& clock) : line(clock), backend(clock, clock) {
    backend.setPort(1, sim::SimPort::kLine(line));
  }
  sim::SimLine line;
  sim::SimSerialBackend backend;
};

class SimServerFixture : public ServerFixture {
 protected:
  SimServerFixture() : world(clock) { serial.target = &world.backend; }
  // The wire outlives the port devices on it.
  ~SimServerFixture() override {
    for (auto& f : globals.loadedForms) f->commSerial.setPortOpen(false);
  }

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

  // The next case of a table that runs one device after another on one server: the
  // server started on the first, the device chosen, and the line's log and the statuses
  // cleared.
  void nextDevice(std::int32_t device) {
    if (!globals.frmHidden) startWith(device);
    ecu.setDevice(device);
    line().clearLog();
    events.statuses.clear();
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
