#pragma once
// A serial device under the serial control: the POSIX backend drives a real tty or a
// pseudo-terminal, the simulated backend the simulated K-line. Everything here runs on
// the server's one thread.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace quorvan {

// Event codes of the serial control (the values its clients compare against).
namespace comm {
inline constexpr int comEvSend = 1;
inline constexpr int comEvReceive = 2;
inline constexpr int comEvCTS = 3;
inline constexpr int comEvDSR = 4;
inline constexpr int comEvCD = 5;
inline constexpr int comEvRing = 6;
inline constexpr int comEvEOF = 7;
inline constexpr int comEventBreak = 1001;
inline constexpr int comEventFrame = 1004;
inline constexpr int comEventOverrun = 1006;
inline constexpr int comEventRxOver = 1008;
inline constexpr int comEventRxParity = 1009;
inline constexpr int comEventTxFull = 1010;
inline constexpr int comEventDCB = 1011;

// Error numbers of the serial control.
inline constexpr int comPortOpen = 8000;         // operation not valid while open
inline constexpr int comPortInvalid = 8002;      // invalid port number
inline constexpr int comPortAlreadyOpen = 8005;  // port already open / in use
inline constexpr int comNoOpen = 8012;           // device is not open
inline constexpr int comSetCommStateFailed = 8015;
}  // namespace comm

// A failure of the serial layer, with the number and text a failure report shows.
class SerialError : public std::runtime_error {
 public:
  SerialError(int number, const std::string& what) : std::runtime_error(what), number_(number) {}
  int number() const { return number_; }

 private:
  int number_;
};

// Told by a device when something arrived. Called from the message loop's thread, never
// from inside a write; the serial control turns these into OnComm events.
class SerialListener {
 public:
  virtual ~SerialListener() = default;
  virtual void onBytesArrived() = 0;
  virtual void onLineEvent(int commEvent) = 0;
};

class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  virtual void setListener(SerialListener* listener) = 0;

  // Bit rate in bit/s, 8 data bits, no parity, one stop bit. False when refused.
  virtual bool setBitRate(std::uint32_t bitsPerSecond) = 0;
  virtual std::uint32_t bitRate() const = 0;

  virtual void write(const std::string& bytes) = 0;
  virtual std::size_t available() const = 0;
  virtual std::string readAll() = 0;
  virtual void flushInput() = 0;

  // Break: holds the line low while on.
  virtual void setBreak(bool on) = 0;

  // Modem lines. A device without them (a pseudo-terminal) reads them as False.
  virtual void setDtr(bool on) = 0;
  virtual void setRts(bool on) = 0;
  virtual bool cts() = 0;
  virtual bool dsr() = 0;
  virtual bool cd() = 0;

  // Reads what the driver holds now and tells the listener at once, without waiting for
  // the message loop to find it (a device whose events come by themselves does nothing).
  virtual void takeInPending() {}
  // What this device cannot do, in one line for the trace ("no break or modem lines:
  // pseudo-terminal"); empty when it has everything.
  virtual std::string notice() const { return {}; }
};

// Opens port numbers. Port n is the device named by the link "comN" in the ports
// directory, else /dev/ttyUSB<n-1> (POSIX); the simulated backend has its own ports.
class SerialBackend {
 public:
  virtual ~SerialBackend() = default;
  // Throws SerialError when the port does not exist, is in use or refuses a setting.
  virtual std::unique_ptr<SerialDevice> open(int portNumber) = 0;
  // True when the system describes the port as a modem.
  virtual bool isModemPort(int portNumber) = 0;
};

}  // namespace quorvan
