#include "sim/PtyBridge.h"

#include <poll.h>

#include <string>

#include "platform/SerialDevice.h"

namespace quorvan::sim {

namespace {
// The marks of PARMRK: a byte with a framing error reads as FF 00 <byte>, a break as
// FF 00 00, a data byte FF as FF FF.
const std::string kMark("\xFF\x00", 2);
}  // namespace

PtyBridge::PtyBridge(MessageLoop& loop, PortPeer& port) : loop_(loop), port_(port) {
  takeSettings();
  port_.attachServer(this);
  watch_ = loop_.watchFd(pty_.masterFd(), POLLIN, [this](short) { onReadable(); });
}

PtyBridge::~PtyBridge() {
  loop_.unwatchFd(watch_);
  port_.attachServer(nullptr);
}

void PtyBridge::onReadable() {
  while (auto packet = pty_.read()) {
    if (packet->settingsChanged) takeSettings();
    // A rate of 0 is the server hanging up: nothing is sent at it.
    if (!packet->data.empty() && bitRate_ != 0) port_.transmitFromServer(packet->data, bitRate_);
  }
}

void PtyBridge::aliasBitRate(std::uint32_t seen, std::uint32_t meant) {
  aliasSeen_ = seen;
  aliasMeant_ = meant;
  takeSettings();
}

void PtyBridge::takeSettings() {
  bitRate_ = pty_.slaveBitRate();
  if (aliasSeen_ != 0 && bitRate_ == aliasSeen_) bitRate_ = aliasMeant_;
  marking_ = pty_.slaveMarksLineErrors();
}

void PtyBridge::onWireByte(const RxByte& byte) {
  const std::string value(1, static_cast<char>(byte.value));
  if (!marking_) {
    deliver(value);
  } else if (byte.framingError) {
    deliver(kMark + value);
  } else {
    deliver(byte.value == 0xFF ? value + value : value);
  }
}

void PtyBridge::onLineEvent(int commEvent) {
  if (commEvent != comm::comEventBreak) return;
  deliver(marking_ ? kMark + '\0' : std::string(1, '\0'));
}

void PtyBridge::deliver(const std::string& bytes) {
  // What the server's full receive buffer cannot take is lost, as in an overrun.
  dropped_ += bytes.size() - pty_.write(bytes);
}

}  // namespace quorvan::sim
