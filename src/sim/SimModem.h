#pragma once
// The other things a serial port can lead to: a modem that answers the "AT" probe,
// and a port with nothing attached.
#include <cstdint>
#include <string>

#include "sim/EventGroup.h"
#include "sim/Frames.h"
#include "sim/SimEnds.h"

namespace quorvan::sim {

// A modem with command echo off: a line "AT" (either case) ended by CR is answered
// with the reply text after the delay (from the end of the CR to the start of the
// reply), at the bit rate the command came in at. Bytes take their frame times in
// both directions. It drives no modem lines.
class SimModem final : public PortPeer {
 public:
  SimModem(Scheduler& scheduler, std::string reply, std::uint64_t replyDelayUs)
      : events_(scheduler), reply_(std::move(reply)), replyDelayUs_(replyDelayUs) {}

  void attachServer(ServerEnd* end) override { server_ = end; }
  void transmitFromServer(const std::string& bytes, std::uint32_t bitRate) override;
  void setServerBreak(bool /*on*/) override {}
  void setServerModemOutputs(bool /*dtr*/, bool /*rts*/) override {}
  ModemInputs serverModemInputs() const override { return {}; }

 private:
  void hear(char c, std::uint32_t bitRate);
  void sendReply(std::uint32_t bitRate);

  EventGroup events_;
  ServerEnd* server_ = nullptr;
  std::string reply_;
  std::uint64_t replyDelayUs_;
  FrameTransmitter toModem_;
  FrameTransmitter toServer_;
  std::string command_;
};

// A port with nothing plugged in: writes vanish, nothing arrives, all inputs False.
class SilentPort final : public PortPeer {
 public:
  void attachServer(ServerEnd* /*end*/) override {}
  void transmitFromServer(const std::string& /*bytes*/, std::uint32_t /*bitRate*/) override {}
  void setServerBreak(bool /*on*/) override {}
  void setServerModemOutputs(bool /*dtr*/, bool /*rts*/) override {}
  ModemInputs serverModemInputs() const override { return {}; }
};

}  // namespace quorvan::sim
