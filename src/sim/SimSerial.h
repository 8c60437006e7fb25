#pragma once
// The simulated serial backend: numbered ports, each leading to a SimLine (the K-line
// cable), a modem, nothing at all, or absent / in use. The devices it opens deliver
// received bytes and line events to their listener from the scheduler's dispatch,
// i.e. while time moves (on the virtual clock that includes the server's sleeps),
// never from inside write().
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/SerialDevice.h"
#include "sim/SimEnds.h"

namespace quorvan::sim {

class SimLine;

// How one port number is set up. Ports never set up are absent.
struct SimPort {
  enum class Kind { Absent, InUse, KLine, Modem, Silent };

  Kind kind = Kind::Absent;
  SimLine* line = nullptr;       // KLine: the wire its cable leads to
  std::uint32_t openTimeMs = 0;  // how long an open takes (the interface waking)
  bool systemSaysModem = false;  // what isModemPort answers
  std::string modemReply = "OK\r\n";
  std::uint32_t modemDelayMs = 20;  // from the end of the probe to the reply

  static SimPort kLine(SimLine& line);
  static SimPort modem(std::string reply = "OK\r\n", std::uint32_t delayMs = 20);
  static SimPort silent();
  static SimPort inUse();

  SimPort& withOpenTimeMs(std::uint32_t ms) {
    openTimeMs = ms;
    return *this;
  }
  SimPort& describedAsModem(bool yes = true) {
    systemSaysModem = yes;
    return *this;
  }
};

// The server's end of a simulated port. Opened by SimSerialBackend; starts at
// 9600 bit/s with DTR, RTS and break off. Closing (destroying) it drops DTR, RTS and
// break. Bytes flagged with a framing error are kept in the input buffer and followed
// by a comm::comEventFrame line event.
class SimSerialDevice final : public SerialDevice, public ServerEnd {
 public:
  static constexpr std::uint32_t kOpenBitRate = 9600;

  // peer is what the port leads to; owned when it exists only for this open (a modem).
  SimSerialDevice(PortPeer& peer, std::unique_ptr<PortPeer> ownedPeer,
                  std::shared_ptr<bool> portOpen);
  ~SimSerialDevice() override;
  SimSerialDevice(const SimSerialDevice&) = delete;
  SimSerialDevice& operator=(const SimSerialDevice&) = delete;

  // SerialDevice
  void setListener(SerialListener* listener) override { listener_ = listener; }
  bool setBitRate(std::uint32_t bitsPerSecond) override;
  std::uint32_t bitRate() const override { return bitRate_; }
  void write(const std::string& bytes) override;
  std::size_t available() const override { return input_.size(); }
  std::string readAll() override;
  void flushInput() override { input_.clear(); }
  void setBreak(bool on) override { peer_.setServerBreak(on); }
  void setDtr(bool on) override;
  void setRts(bool on) override;
  bool cts() override { return peer_.serverModemInputs().cts; }
  bool dsr() override { return peer_.serverModemInputs().dsr; }
  bool cd() override { return peer_.serverModemInputs().cd; }

  // ServerEnd
  std::uint32_t rxBitRate() const override { return bitRate_; }
  void onWireByte(const RxByte& byte) override;
  void onLineEvent(int commEvent) override;

 private:
  std::unique_ptr<PortPeer> ownedPeer_;
  PortPeer& peer_;
  std::shared_ptr<bool> portOpen_;
  // Cleared on destruction: a listener may close the port from inside a callback.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  SerialListener* listener_ = nullptr;
  std::uint32_t bitRate_ = kOpenBitRate;
  bool dtr_ = false;
  bool rts_ = false;
  std::string input_;
};

// Error texts of the serial control for the failures the backend raises.
inline constexpr const char* kPortInvalidText = "Invalid port number";
inline constexpr const char* kPortAlreadyOpenText = "Port already open";

class SimSerialBackend final : public SerialBackend {
 public:
  // The clock times the opens; the scheduler drives modems.
  SimSerialBackend(Clock& clock, Scheduler& scheduler) : clock_(clock), scheduler_(scheduler) {}

  void setPort(int portNumber, SimPort port);
  void removePort(int portNumber) { ports_.erase(portNumber); }

  // Absent: SerialError comm::comPortInvalid. In use (set up so, already open here,
  // or its line already has a port): comm::comPortAlreadyOpen. Otherwise sleeps the
  // port's open time on the clock and returns the device.
  std::unique_ptr<SerialDevice> open(int portNumber) override;
  bool isModemPort(int portNumber) override;

 private:
  struct PortState {
    SimPort config;
    std::shared_ptr<bool> open = std::make_shared<bool>(false);
  };
  std::unique_ptr<SimSerialDevice> makeDevice(PortState& state);

  Clock& clock_;
  Scheduler& scheduler_;
  std::map<int, PortState> ports_;
};

}  // namespace quorvan::sim
