#pragma once
// The seams of the simulated world. A simulated serial port (the server end) talks to
// a PortPeer: the K-line wire, a modem or nothing. The wire's far end is a VehicleEnd,
// normally a controller model. The server end is called back only from scheduled
// events, never from inside the call that caused them (a write, a modem-line change).
// The vehicle end hears bytes from scheduled events too, but is told of line levels
// and power at the instant they change.
#include <cstdint>
#include <string>

#include "sim/Cable.h"
#include "sim/Frames.h"

namespace quorvan::sim {

enum class WireEnd { Server, Vehicle };

// The server's UART as seen from whatever its port is plugged into.
class ServerEnd {
 public:
  virtual ~ServerEnd() = default;
  virtual std::uint32_t rxBitRate() const = 0;
  virtual void onWireByte(const RxByte& byte) = 0;
  // A line event of the serial control (comm::comEventBreak, comEvCTS...).
  virtual void onLineEvent(int commEvent) = 0;
};

// What a simulated serial port is connected to.
class PortPeer {
 public:
  virtual ~PortPeer() = default;
  // One server end at a time; nullptr detaches.
  virtual void attachServer(ServerEnd* end) = 0;
  virtual void transmitFromServer(const std::string& bytes, std::uint32_t bitRate) = 0;
  virtual void setServerBreak(bool on) = 0;
  virtual void setServerModemOutputs(bool dtr, bool rts) = 0;
  virtual ModemInputs serverModemInputs() const = 0;
};

// The vehicle's end of the K-line (a controller model).
class VehicleEnd {
 public:
  virtual ~VehicleEnd() = default;
  virtual std::uint32_t rxBitRate() const = 0;
  virtual void onWireByte(const RxByte& byte) = 0;
  // The line went low (held in break) or back high, at that instant.
  virtual void onLineLevel(bool low, std::uint64_t atUs) = 0;
  virtual void onVehiclePower(bool on) = 0;
};

}  // namespace quorvan::sim
