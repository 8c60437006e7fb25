#pragma once
// A virtual clock, one K-line with a ReplyEcu on it, and the server's port 1 leading
// to that line, with a listener that records what reaches the server and when.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/SerialDevice.h"
#include "sim/SimEcu.h"
#include "sim/SimLine.h"
#include "sim/SimSerial.h"

namespace quorvan::sim::testing {

struct Arrival {
  std::uint64_t atUs;
  std::uint8_t value;
  bool operator==(const Arrival&) const = default;
};

struct LineEventAt {
  std::uint64_t atUs;
  int code;
  bool operator==(const LineEventAt&) const = default;
};

// Reads every byte as it arrives, as the serial control's receive event does.
class RecordingListener final : public SerialListener {
 public:
  RecordingListener(Clock& clock, SerialDevice& device) : clock_(clock), device_(device) {
    device_.setListener(this);
  }
  ~RecordingListener() override { device_.setListener(nullptr); }

  void onBytesArrived() override {
    EXPECT_FALSE(inWrite) << "bytes delivered from inside write()";
    for (const char c : device_.readAll()) {
      arrivals.push_back({clock_.monoUs(), static_cast<std::uint8_t>(c)});
      text.push_back(c);
    }
  }
  void onLineEvent(int code) override {
    EXPECT_FALSE(inWrite) << "line event raised from inside a port call";
    events.push_back({clock_.monoUs(), code});
  }

  std::vector<int> eventCodes() const {
    std::vector<int> codes;
    for (const auto& e : events) codes.push_back(e.code);
    return codes;
  }

  bool inWrite = false;
  std::vector<Arrival> arrivals;
  std::string text;
  std::vector<LineEventAt> events;

 private:
  Clock& clock_;
  SerialDevice& device_;
};

class SimFixture : public ::testing::Test {
 protected:
  SimFixture() {
    backend.setPort(1, SimPort::kLine(line));
    device = backend.open(1);
    listener = std::make_unique<RecordingListener>(clock, *device);
    t0 = clock.monoUs();
  }

  // Writes as the server does, with the listener watching for calls made from inside.
  void write(const std::string& bytes) {
    listener->inWrite = true;
    device->write(bytes);
    listener->inWrite = false;
  }
  void runMs(std::uint32_t ms) { clock.sleepMs(ms); }
  // Microseconds since the fixture was set up.
  std::uint64_t since(std::uint64_t atUs) const { return atUs - t0; }

  VirtualClock clock;
  SimLine line{clock};
  ReplyEcu ecu{line, 10400};
  SimSerialBackend backend{clock, clock};
  std::unique_ptr<SerialDevice> device;
  std::unique_ptr<RecordingListener> listener;
  std::uint64_t t0 = 0;
};

}  // namespace quorvan::sim::testing
