#include "sim/SimLine.h"

#include <algorithm>
#include <stdexcept>

#include "platform/SerialDevice.h"

namespace quorvan::sim {

SimLine::SimLine(Scheduler& scheduler) : events_(scheduler) {}

SimLine::~SimLine() = default;

bool SimLine::live() const {
  return cable_ != CableKind::None && plugged_ && powered_;
}

void SimLine::setCable(CableKind cable) {
  const ModemInputs before = serverModemInputs();
  cable_ = cable;
  raiseModemChanges(before);
  updateLevel();
}

void SimLine::setPlugged(bool plugged) {
  plugged_ = plugged;
  updateLevel();
}

void SimLine::setVehiclePower(bool on) {
  if (on == powered_) return;
  powered_ = on;
  if (!on) {
    // A dead controller stops sending and releases the line.
    cancelVehicleFrames();
    sender(WireEnd::Vehicle).breakHeld = false;
  }
  if (vehicle_ != nullptr) vehicle_->onVehiclePower(on);
  updateLevel();
}

void SimLine::attachVehicle(VehicleEnd* end) {
  if (end != nullptr && vehicle_ != nullptr && end != vehicle_) {
    throw std::logic_error("the line already has a controller");
  }
  vehicle_ = end;
}

void SimLine::sendFromVehicle(const std::string& bytes, std::uint32_t bitRate) {
  queueBytes(WireEnd::Vehicle, bytes, bitRate);
}

void SimLine::setBreak(WireEnd by, bool on) {
  sender(by).breakHeld = on;
  updateLevel();
}

void SimLine::attachServer(ServerEnd* end) {
  if (end != nullptr && server_ != nullptr && end != server_) {
    throw std::logic_error("the line already has a server port");
  }
  server_ = end;
  if (end == nullptr) {
    // A closed port drops its outputs; nobody is left to be told.
    dtr_ = rts_ = false;
    setBreak(WireEnd::Server, false);
  }
}

void SimLine::transmitFromServer(const std::string& bytes, std::uint32_t bitRate) {
  queueBytes(WireEnd::Server, bytes, bitRate);
}

void SimLine::setServerModemOutputs(bool dtr, bool rts) {
  const ModemInputs before = serverModemInputs();
  dtr_ = dtr;
  rts_ = rts;
  raiseModemChanges(before);
}

ModemInputs SimLine::serverModemInputs() const {
  return CableLoopbacks(cable_, dtr_, rts_);
}

void SimLine::dropNext(WireEnd from, std::size_t count) {
  sender(from).dropCount = count;
}

void SimLine::corruptNext(WireEnd from, std::uint8_t xorMask) {
  sender(from).corruptMask = xorMask;
}

void SimLine::delayNext(WireEnd from, std::uint64_t gapUs) {
  sender(from).tx.delayNext(gapUs);
}

void SimLine::injectBytes(WireEnd from, const std::string& bytes) {
  queueBytes(from, bytes, senderRate(from));
}

void SimLine::injectOverrun(std::size_t lostBytes) {
  if (lostBytes == 0) {
    postServerEvent(comm::comEventOverrun);
    return;
  }
  overrunLoss_ = lostBytes;
  overrunEventDue_ = true;
}

std::string SimLine::heardFrom(WireEnd from) const {
  std::string bytes;
  for (const WireByte& b : wireLog_) {
    if (b.from == from && b.heard) bytes.push_back(static_cast<char>(b.onWire));
  }
  return bytes;
}

void SimLine::clearLog() {
  wireLog_.clear();
  levelLog_.clear();
}

std::uint32_t SimLine::senderRate(WireEnd end) const {
  if (end == WireEnd::Server && server_ != nullptr) return server_->rxBitRate();
  if (end == WireEnd::Vehicle && vehicle_ != nullptr) return vehicle_->rxBitRate();
  return senders_[end == WireEnd::Server ? 0 : 1].lastRate;
}

void SimLine::queueBytes(WireEnd from, const std::string& bytes, std::uint32_t bitRate) {
  if (bitRate == 0) throw std::invalid_argument("bytes sent at 0 bit/s");
  if (from == WireEnd::Vehicle && !powered_) return;
  SenderState& s = sender(from);
  s.lastRate = bitRate;
  for (const char c : bytes) {
    Frame frame;
    frame.id = nextFrameId_++;
    frame.from = from;
    frame.value = static_cast<std::uint8_t>(c);
    frame.bitRate = bitRate;
    frame.slot = s.tx.next(events_.nowUs(), bitRate);
    frame.event =
        events_.at(frame.slot.endUs, [this, from, id = frame.id] { finishFrame(from, id); });
    s.frames.push_back(frame);
  }
}

void SimLine::finishFrame(WireEnd from, std::uint64_t frameId) {
  std::deque<Frame>& frames = sender(from).frames;
  auto it = std::lower_bound(frames.begin(), frames.end(), frameId,
                             [](const Frame& f, std::uint64_t id) { return f.id < id; });
  if (it == frames.end() || it->id != frameId) return;
  it->ended = true;
  const Frame frame = *it;
  const WireByte byte = carry(frame);
  wireLog_.push_back(byte);
  prune();
  if (!byte.heard) return;
  // The server goes last: its handler may do anything, even close the port.
  if (frame.from == WireEnd::Server) deliverToVehicle(byte);
  if (frame.from == WireEnd::Vehicle || (!echoSuppressed_ && CableSharesOneWire(cable_))) {
    deliverToServer(byte);
  }
}

WireByte SimLine::carry(const Frame& frame) {
  WireByte byte;
  byte.from = frame.from;
  byte.sent = byte.onWire = frame.value;
  byte.bitRate = frame.bitRate;
  byte.startUs = frame.slot.startUs;
  byte.endUs = frame.slot.endUs;
  if (!live()) return byte;
  SenderState& s = sender(frame.from);
  if (s.dropCount > 0) {
    --s.dropCount;
    return byte;
  }
  byte.heard = true;
  byte.onWire = static_cast<std::uint8_t>((frame.value ^ s.corruptMask) & collide(frame));
  s.corruptMask = 0;
  if (overlapsLow(frame.slot)) {
    byte.inBreak = true;
    byte.onWire = 0;
  }
  return byte;
}

std::uint8_t SimLine::collide(const Frame& frame) const {
  std::uint8_t mask = 0xFF;
  if (!CableSharesOneWire(cable_)) return mask;
  for (const Frame& f : other(frame.from).frames) {
    if (f.slot.startUs >= frame.slot.endUs) break;
    if (f.slot.endUs > frame.slot.startUs) mask &= f.value;
  }
  return mask;
}

bool SimLine::overlapsLow(const FrameSlot& slot) const {
  if (low_ && lowSinceUs_ < slot.endUs) return true;
  return std::any_of(lowPeriods_.begin(), lowPeriods_.end(), [&slot](const LowPeriod& p) {
    return p.fromUs < slot.endUs && p.toUs > slot.startUs;
  });
}

void SimLine::prune() {
  // Nothing that ended before the earliest frame still to come can touch it any more.
  std::uint64_t horizon = events_.nowUs();
  for (const SenderState& s : senders_) {
    auto firstQueued =
        std::find_if(s.frames.begin(), s.frames.end(), [](const Frame& f) { return !f.ended; });
    if (firstQueued != s.frames.end()) horizon = std::min(horizon, firstQueued->slot.startUs);
  }
  for (SenderState& s : senders_) {
    while (!s.frames.empty() && s.frames.front().ended && s.frames.front().slot.endUs <= horizon) {
      s.frames.pop_front();
    }
  }
  std::erase_if(lowPeriods_, [horizon](const LowPeriod& p) { return p.toUs <= horizon; });
}

RxByte SimLine::receive(const WireByte& byte, std::uint32_t receiverRate) {
  RxByte rx = DecodeFrame(byte.onWire, byte.bitRate, receiverRate, byte.endUs);
  if (byte.inBreak) {
    rx.value = 0;
    rx.framingError = true;
  }
  return rx;
}

void SimLine::deliverToVehicle(const WireByte& byte) {
  if (vehicle_ != nullptr) vehicle_->onWireByte(receive(byte, vehicle_->rxBitRate()));
}

void SimLine::deliverToServer(const WireByte& byte) {
  if (server_ == nullptr) return;
  if (overrunLoss_ > 0) {
    --overrunLoss_;
    if (overrunEventDue_) {
      overrunEventDue_ = false;
      server_->onLineEvent(comm::comEventOverrun);
    }
    return;
  }
  server_->onWireByte(receive(byte, server_->rxBitRate()));
}

void SimLine::cancelVehicleFrames() {
  SenderState& s = sender(WireEnd::Vehicle);
  while (!s.frames.empty() && !s.frames.back().ended) {
    events_.cancel(s.frames.back().event);
    s.frames.pop_back();
  }
  s.tx.reset(events_.nowUs());
}

void SimLine::updateLevel() {
  const bool low = live() && (senders_[0].breakHeld || senders_[1].breakHeld);
  if (low == low_) return;
  const std::uint64_t now = events_.nowUs();
  low_ = low;
  levelLog_.push_back({low, now});
  if (low) {
    lowSinceUs_ = now;
    watchForBreak(++lowGeneration_);
  } else {
    lowPeriods_.push_back({lowSinceUs_, now});
  }
  if (vehicle_ != nullptr && powered_) vehicle_->onLineLevel(low, now);
}

void SimLine::watchForBreak(std::uint64_t generation) {
  // The server's UART reports a break once the line has stayed low for a whole frame.
  if (server_ == nullptr) return;
  const std::uint64_t frameUs = FramesDurationUs(1, server_->rxBitRate());
  events_.after(frameUs, [this, generation] {
    if (low_ && lowGeneration_ == generation && server_ != nullptr) {
      server_->onLineEvent(comm::comEventBreak);
    }
  });
}

void SimLine::raiseModemChanges(const ModemInputs& before) {
  const ModemInputs after = serverModemInputs();
  if (after.cts != before.cts) postServerEvent(comm::comEvCTS);
  if (after.dsr != before.dsr) postServerEvent(comm::comEvDSR);
  if (after.cd != before.cd) postServerEvent(comm::comEvCD);
}

void SimLine::postServerEvent(int commEvent) {
  events_.after(0, [this, commEvent] {
    if (server_ != nullptr) server_->onLineEvent(commEvent);
  });
}

}  // namespace quorvan::sim
