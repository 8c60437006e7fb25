#include "serial/commSerial.h"

#include <charconv>

namespace quorvan {

commSerial::commSerial(MessageLoop& loop, SerialBackend& backend)
    : loop_(loop), backend_(backend) {}

commSerial::~commSerial() {
  setPortOpen(false);
}

void commSerial::requireOpen() const {
  if (!device_) throw SerialError(comm::comNoOpen, "Port not open");
}

void commSerial::setSettings(const std::string& s) {
  const auto comma = s.find(',');
  const std::string rateText = s.substr(0, comma);
  std::uint32_t rate = 0;
  const auto [ptr, ec] = std::from_chars(rateText.data(), rateText.data() + rateText.size(), rate);
  if (ec != std::errc() || ptr != rateText.data() + rateText.size() || rate == 0 ||
      (comma != std::string::npos && s.substr(comma) != ",N,8,1")) {
    throw SerialError(380, "Invalid property value");
  }
  settings_ = s;
  settingsRate_ = rate;
  dcb_.BaudRate = rate;
  if (device_ && !device_->setBitRate(rate)) {
    throw SerialError(comm::comSetCommStateFailed, "Could not set comm state");
  }
}

void commSerial::setPortOpen(bool open) {
  if (!open) {
    if (device_) {
      device_->setListener(nullptr);
      device_.reset();
      held_.clear();
      queued_.clear();
      ++openGeneration_;
    }
    break_ = false;
    receivePosted_ = false;
    return;
  }
  if (device_) throw SerialError(comm::comPortOpen, "Port already open");
  auto dev = backend_.open(CommPort);
  if (!dev->setBitRate(settingsRate_)) {
    throw SerialError(comm::comSetCommStateFailed, "Could not set comm state");
  }
  dcb_ = DCB{};
  dcb_.BaudRate = settingsRate_;
  eventMask_ = evmask::kAll;
  dev->setDtr(dtr_);
  dev->setRts(rts_);
  dev->setListener(this);
  device_ = std::move(dev);
  ++openGeneration_;
}

void commSerial::setDTREnable(bool on) {
  dtr_ = on;
  if (device_) device_->setDtr(on);
}

void commSerial::setRTSEnable(bool on) {
  rts_ = on;
  if (device_) device_->setRts(on);
}

void commSerial::setBreak(bool on) {
  requireOpen();
  break_ = on;
  device_->setBreak(on);
}

bool commSerial::CTSHolding() {
  requireOpen();
  return device_->cts();
}

bool commSerial::DSRHolding() {
  requireOpen();
  return device_->dsr();
}

bool commSerial::CDHolding() {
  requireOpen();
  return device_->cd();
}

int commSerial::InBufferCount() const {
  return device_ ? static_cast<int>(held_.size() + device_->available()) : 0;
}

void commSerial::setInBufferCount(int n) {
  requireOpen();
  if (n != 0) return;
  held_.clear();
  device_->flushInput();
}

void commSerial::setOutput(const std::string& bytes) {
  requireOpen();
  device_->write(bytes);
}

std::string commSerial::Input() {
  requireOpen();
  std::string all = std::move(held_);
  held_.clear();
  all += device_->readAll();
  if (InputLen > 0 && all.size() > static_cast<std::size_t>(InputLen)) {
    // InputLen bytes now; the rest waits, in order, for the next read.
    held_ = all.substr(static_cast<std::size_t>(InputLen));
    all.resize(static_cast<std::size_t>(InputLen));
  }
  return all;
}

bool commSerial::GetCommState(DCB& dcb) const {
  if (!device_) return false;
  dcb = dcb_;
  return true;
}

bool commSerial::SetCommState(const DCB& dcb) {
  if (!device_) return false;
  if (dcb.BaudRate != dcb_.BaudRate && !device_->setBitRate(dcb.BaudRate)) return false;
  dcb_ = dcb;
  return true;
}

bool commSerial::GetCommMask(std::uint32_t& mask) const {
  if (!device_) return false;
  mask = eventMask_;
  return true;
}

bool commSerial::SetCommMask(std::uint32_t mask) {
  if (!device_) return false;
  eventMask_ = mask;
  return true;
}

std::string commSerial::deviceNotice() const {
  return device_ ? device_->notice() : std::string();
}

std::uint32_t commSerial::maskBitFor(int commEvent) {
  switch (commEvent) {
    case comm::comEvReceive:
      return evmask::EV_RXCHAR;
    case comm::comEvSend:
      return evmask::EV_TXEMPTY;
    case comm::comEvCTS:
      return evmask::EV_CTS;
    case comm::comEvDSR:
      return evmask::EV_DSR;
    case comm::comEvCD:
      return evmask::EV_RLSD;
    case comm::comEvRing:
      return evmask::EV_RING;
    case comm::comEventBreak:
      return evmask::EV_BREAK;
    default:
      return evmask::EV_ERR;
  }
}

void commSerial::raise(int commEvent) {
  commEvent_ = commEvent;
  if (OnComm) OnComm();
}

void commSerial::onBytesArrived() {
  // One receive event covers every byte waiting when it is dispatched.
  if (RThreshold < 1 || receivePosted_ || !(eventMask_ & evmask::EV_RXCHAR)) return;
  receivePosted_ = true;
  queue(comm::comEvReceive);
}

void commSerial::onLineEvent(int commEvent) {
  if (!(eventMask_ & maskBitFor(commEvent))) return;
  queue(commEvent);
}

void commSerial::queue(int commEvent) {
  const std::uint64_t seq = nextSeq_++;
  queued_.push_back({seq, commEvent});
  loop_.post([this, seq, gen = openGeneration_] {
    // Raised already by DoSerialEvents, or queued for an earlier open of the port.
    if (gen != openGeneration_ || queued_.empty() || queued_.front().seq != seq) return;
    dispatchNext();
  });
}

void commSerial::dispatchNext() {
  const int event = queued_.front().event;
  queued_.pop_front();  // before raising: a handler may wait and take in what follows
  if (event == comm::comEvReceive) {
    receivePosted_ = false;
    if (device_ && InBufferCount() >= RThreshold) raise(event);
    return;
  }
  if (device_) raise(event);
}

void commSerial::DoSerialEvents() {
  if (!device_) return;
  device_->takeInPending();
  const std::uint64_t gen = openGeneration_;
  while (gen == openGeneration_ && !queued_.empty()) dispatchNext();
}

}  // namespace quorvan
