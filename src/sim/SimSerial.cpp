#include "sim/SimSerial.h"

#include <stdexcept>

#include "sim/SimLine.h"
#include "sim/SimModem.h"

namespace quorvan::sim {

SimPort SimPort::kLine(SimLine& line) {
  SimPort port;
  port.kind = Kind::KLine;
  port.line = &line;
  return port;
}

SimPort SimPort::modem(std::string reply, std::uint32_t delayMs) {
  SimPort port;
  port.kind = Kind::Modem;
  port.modemReply = std::move(reply);
  port.modemDelayMs = delayMs;
  return port;
}

SimPort SimPort::silent() {
  SimPort port;
  port.kind = Kind::Silent;
  return port;
}

SimPort SimPort::inUse() {
  SimPort port;
  port.kind = Kind::InUse;
  return port;
}

SimSerialDevice::SimSerialDevice(PortPeer& peer, std::unique_ptr<PortPeer> ownedPeer,
                                 std::shared_ptr<bool> portOpen)
    : ownedPeer_(std::move(ownedPeer)), peer_(peer), portOpen_(std::move(portOpen)) {
  peer_.attachServer(this);
  *portOpen_ = true;
}

SimSerialDevice::~SimSerialDevice() {
  *alive_ = false;
  peer_.attachServer(nullptr);
  *portOpen_ = false;
}

bool SimSerialDevice::setBitRate(std::uint32_t bitsPerSecond) {
  if (bitsPerSecond == 0) return false;
  bitRate_ = bitsPerSecond;
  return true;
}

void SimSerialDevice::write(const std::string& bytes) {
  if (!bytes.empty()) peer_.transmitFromServer(bytes, bitRate_);
}

std::string SimSerialDevice::readAll() {
  std::string bytes;
  bytes.swap(input_);
  return bytes;
}

void SimSerialDevice::setDtr(bool on) {
  dtr_ = on;
  peer_.setServerModemOutputs(dtr_, rts_);
}

void SimSerialDevice::setRts(bool on) {
  rts_ = on;
  peer_.setServerModemOutputs(dtr_, rts_);
}

void SimSerialDevice::onWireByte(const RxByte& byte) {
  input_.push_back(static_cast<char>(byte.value));
  if (listener_ == nullptr) return;
  const std::shared_ptr<bool> alive = alive_;
  listener_->onBytesArrived();
  if (*alive && byte.framingError && listener_ != nullptr) {
    listener_->onLineEvent(comm::comEventFrame);
  }
}

void SimSerialDevice::onLineEvent(int commEvent) {
  if (listener_ != nullptr) listener_->onLineEvent(commEvent);
}

void SimSerialBackend::setPort(int portNumber, SimPort port) {
  if (port.kind == SimPort::Kind::KLine && port.line == nullptr) {
    throw std::invalid_argument("a K-line port needs its line");
  }
  ports_[portNumber].config = std::move(port);
}

std::unique_ptr<SerialDevice> SimSerialBackend::open(int portNumber) {
  auto it = ports_.find(portNumber);
  if (it == ports_.end() || it->second.config.kind == SimPort::Kind::Absent) {
    throw SerialError(comm::comPortInvalid, kPortInvalidText);
  }
  PortState& state = it->second;
  if (state.config.kind == SimPort::Kind::InUse || *state.open) {
    throw SerialError(comm::comPortAlreadyOpen, kPortAlreadyOpenText);
  }
  clock_.sleepMs(state.config.openTimeMs);
  return makeDevice(state);
}

bool SimSerialBackend::isModemPort(int portNumber) {
  auto it = ports_.find(portNumber);
  return it != ports_.end() && it->second.config.kind != SimPort::Kind::Absent &&
         it->second.config.systemSaysModem;
}

std::unique_ptr<SimSerialDevice> SimSerialBackend::makeDevice(PortState& state) {
  const SimPort& config = state.config;
  switch (config.kind) {
    case SimPort::Kind::KLine:
      try {
        return std::make_unique<SimSerialDevice>(*config.line, nullptr, state.open);
      } catch (const std::logic_error&) {
        throw SerialError(comm::comPortAlreadyOpen, kPortAlreadyOpenText);
      }
    case SimPort::Kind::Modem: {
      auto modem = std::make_unique<SimModem>(scheduler_, config.modemReply,
                                              std::uint64_t{config.modemDelayMs} * 1000);
      PortPeer& peer = *modem;
      return std::make_unique<SimSerialDevice>(peer, std::move(modem), state.open);
    }
    case SimPort::Kind::Silent: {
      auto silent = std::make_unique<SilentPort>();
      PortPeer& peer = *silent;
      return std::make_unique<SimSerialDevice>(peer, std::move(silent), state.open);
    }
    case SimPort::Kind::Absent:
    case SimPort::Kind::InUse:
      break;
  }
  throw SerialError(comm::comPortInvalid, kPortInvalidText);
}

}  // namespace quorvan::sim
