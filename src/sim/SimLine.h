#pragma once
// The simulated world outside the server, driven by a Scheduler (the virtual clock in
// tests, the message loop on real time in the simulator program):
//
//   server port (SimSerialDevice) --PortPeer-- SimLine --VehicleEnd-- controller model
//
// SimLine is the one K-line wire together with the cable that joins it to the port,
// the vehicle connector and the vehicle's power:
//  - Every byte occupies ten bit times at its sender's rate; a sender's bytes queue
//    back to back. At the end of its frame a byte is heard by both ends: the server
//    hears its own echo and the controller's bytes, the controller hears the server's
//    bytes (not its own).
//  - The wire carries bytes, breaks and the echo only while it is live: a cable in the
//    port, its vehicle connector plugged in and the vehicle powered. A byte whose frame
//    ends while the wire is dead is heard by nobody. Every kind of cable carries the
//    wire; they differ in their loop-backs, and the MBE lead has a wire for each
//    direction (the server hears no echo, and nothing collides).
//  - Receivers decode at their own bit rate (see DecodeFrame): a mismatch gives garbage
//    bytes, sometimes framing errors.
//  - The line is open-collector, low wins: when frames from both ends overlap, every
//    receiver gets, for each of them, the bitwise AND of the overlapping bytes. A frame
//    that overlaps a break is received as 0x00 with a framing error.
//  - Break (either end, normally the server) holds the line low. The controller is told
//    each level change with its instant (a 5-baud address or a fast-init pattern can
//    be decoded from them). The server's receiver reports comm::comEventBreak once per
//    low period, when the line has been low for a whole frame at its bit rate.
//  - Cable loop-backs drive the port's CTS, DSR and CD; each change of an input raises
//    its line event (comEvCTS, comEvDSR, comEvCD) at the server end. Loop-backs live in
//    the cable, so they work whether or not the vehicle side is plugged in or powered.
//  - Faults can be switched on at any time (see "Faults" below).
//  - The wire log keeps every completed frame and every level change, with instants.
//
// Starts with a K-line cable, plugged in, vehicle powered. The line must outlive the
// port devices and controller models attached to it.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "sim/Cable.h"
#include "sim/EventGroup.h"
#include "sim/Frames.h"
#include "sim/SimEnds.h"

namespace quorvan::sim {

// One frame that went on the wire.
struct WireByte {
  WireEnd from = WireEnd::Server;
  std::uint8_t sent = 0;    // what the sender sent
  std::uint8_t onWire = 0;  // what the line carried (after collisions, breaks, corruption)
  std::uint32_t bitRate = 0;
  std::uint64_t startUs = 0;
  std::uint64_t endUs = 0;
  bool heard = false;    // the live wire delivered it (false: dead wire or dropped)
  bool inBreak = false;  // it overlapped a break: received as 0x00 with a framing error
};

struct LevelChange {
  bool low = false;
  std::uint64_t atUs = 0;
};

class SimLine final : public PortPeer {
 public:
  static constexpr std::uint32_t kDefaultVehicleRate = 10400;

  explicit SimLine(Scheduler& scheduler);
  ~SimLine() override;
  SimLine(const SimLine&) = delete;
  SimLine& operator=(const SimLine&) = delete;

  Scheduler& scheduler() { return events_.scheduler(); }

  // The world around the wire; each may change at any time.
  void setCable(CableKind cable);
  CableKind cable() const { return cable_; }
  void setPlugged(bool plugged);  // the cable's vehicle connector
  bool plugged() const { return plugged_; }
  void setVehiclePower(bool on);
  bool vehiclePowered() const { return powered_; }
  bool live() const;
  bool lineLow() const { return low_; }

  // The vehicle end: one at a time, nullptr detaches. Bytes from an unpowered vehicle
  // are not sent.
  void attachVehicle(VehicleEnd* end);
  void sendFromVehicle(const std::string& bytes, std::uint32_t bitRate);
  void setBreak(WireEnd by, bool on);

  // PortPeer: the server's port.
  void attachServer(ServerEnd* end) override;
  void transmitFromServer(const std::string& bytes, std::uint32_t bitRate) override;
  void setServerBreak(bool on) override { setBreak(WireEnd::Server, on); }
  void setServerModemOutputs(bool dtr, bool rts) override;
  ModemInputs serverModemInputs() const override;

  // Faults. "Next" bytes are counted as they complete on the live wire, except for
  // delayNext, which delays the next byte the sender queues.
  void dropNext(WireEnd from, std::size_t count);            // nobody hears them
  void corruptNext(WireEnd from, std::uint8_t xorMask);      // both ends hear value ^ mask
  void delayNext(WireEnd from, std::uint64_t gapUs);         // a late byte
  void injectBytes(WireEnd from, const std::string& bytes);  // extra bytes at its rate
  void setEchoSuppressed(bool on) { echoSuppressed_ = on; }  // the server misses its echo
  bool echoSuppressed() const { return echoSuppressed_; }
  // The server's port loses the next lostBytes bytes that reach it and raises one
  // comm::comEventOverrun with the first of them (at once when lostBytes is 0).
  void injectOverrun(std::size_t lostBytes);

  // The wire log.
  const std::vector<WireByte>& wireLog() const { return wireLog_; }
  const std::vector<LevelChange>& levelLog() const { return levelLog_; }
  // The bytes the wire carried from one end, in order.
  std::string heardFrom(WireEnd from) const;
  void clearLog();

 private:
  struct Frame {
    std::uint64_t id = 0;
    WireEnd from = WireEnd::Server;
    std::uint8_t value = 0;
    std::uint32_t bitRate = 0;
    FrameSlot slot;
    EventGroup::Handle event = 0;
    bool ended = false;
  };
  struct LowPeriod {
    std::uint64_t fromUs = 0;
    std::uint64_t toUs = 0;
  };
  struct SenderState {
    FrameTransmitter tx;
    // In time order: ended frames that may still collide, then the one on the wire,
    // then those queued behind it.
    std::deque<Frame> frames;
    std::uint32_t lastRate = kDefaultVehicleRate;
    std::size_t dropCount = 0;
    std::uint8_t corruptMask = 0;
    bool breakHeld = false;
  };

  SenderState& sender(WireEnd end) { return senders_[end == WireEnd::Server ? 0 : 1]; }
  const SenderState& other(WireEnd end) const { return senders_[end == WireEnd::Server ? 1 : 0]; }
  void queueBytes(WireEnd from, const std::string& bytes, std::uint32_t bitRate);
  void finishFrame(WireEnd from, std::uint64_t frameId);
  std::uint32_t senderRate(WireEnd end) const;
  WireByte carry(const Frame& frame);
  std::uint8_t collide(const Frame& frame) const;
  bool overlapsLow(const FrameSlot& slot) const;
  void prune();
  static RxByte receive(const WireByte& byte, std::uint32_t receiverRate);
  void deliverToVehicle(const WireByte& byte);
  void deliverToServer(const WireByte& byte);
  void cancelVehicleFrames();
  void updateLevel();
  void watchForBreak(std::uint64_t generation);
  void raiseModemChanges(const ModemInputs& before);
  void postServerEvent(int commEvent);

  EventGroup events_;
  CableKind cable_ = CableKind::KLine;
  bool plugged_ = true;
  bool powered_ = true;
  ServerEnd* server_ = nullptr;
  VehicleEnd* vehicle_ = nullptr;
  SenderState senders_[2];
  std::uint64_t nextFrameId_ = 1;
  bool dtr_ = false;
  bool rts_ = false;
  bool low_ = false;
  std::uint64_t lowSinceUs_ = 0;
  std::uint64_t lowGeneration_ = 0;
  std::vector<LowPeriod> lowPeriods_;  // ended low periods that frames may still overlap
  bool echoSuppressed_ = false;
  std::size_t overrunLoss_ = 0;
  bool overrunEventDue_ = false;
  std::vector<WireByte> wireLog_;
  std::vector<LevelChange> levelLog_;
};

}  // namespace quorvan::sim
