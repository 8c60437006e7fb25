#pragma once
// The POSIX serial backend: real adapters (/dev/ttyUSB*, /dev/ttyACM*, /dev/ttyS*) and
// pseudo-terminals (the simulator's), driven through termios2 and watched by the
// message loop. Linux only (termios2, TIOCGICOUNT, sysfs).
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/MessageLoop.h"
#include "platform/PortsDirectory.h"
#include "platform/PosixLineMarks.h"
#include "platform/SerialDevice.h"

namespace quorvan {

// An open tty. Received bytes are read (non-blocking) whenever the loop reports the
// descriptor readable, kept in an internal buffer, and announced to the listener once
// per batch; line errors marked by the kernel (see PosixLineMarks.h) and overruns
// counted by the driver come as line events, in their place among the bytes. The
// listener is only ever called from the loop, never from inside write().
class PosixSerialDevice final : public SerialDevice {
 public:
  // Takes over `fd`, already opened and set up by PosixSerialBackend::open (any
  // descriptor works; what it cannot do is found out and degraded here). `path` names
  // the device in texts.
  PosixSerialDevice(MessageLoop& loop, int fd, std::string path, std::uint32_t bitRate);
  ~PosixSerialDevice() override;
  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

  void setListener(SerialListener* listener) override { listener_ = listener; }

  bool setBitRate(std::uint32_t bitsPerSecond) override;
  std::uint32_t bitRate() const override { return bitRate_; }

  void write(const std::string& bytes) override;
  std::size_t available() const override { return rx_.size(); }
  std::string readAll() override;
  void flushInput() override;

  void setBreak(bool on) override;
  void setDtr(bool on) override;
  void setRts(bool on) override;
  bool cts() override { return modemLine(kCts); }
  bool dsr() override { return modemLine(kDsr); }
  bool cd() override { return modemLine(kCd); }

  std::string notice() const override;
  void takeInPending() override;

  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  bool isPseudoTerminal() const { return pty_; }
  // The far end went away (pseudo-terminal master closed, adapter unplugged): nothing
  // more is read, writes throw.
  bool hungUp() const { return hungUp_; }

 private:
  enum ModemLine { kCts, kDsr, kCd };
  void onReadable(short revents);
  // Reads everything the driver holds and queues it (decoded) for delivery.
  void pull();
  // Hands queued pieces to the listener in order.
  void deliver();
  void hangUp(int err);
  bool modemLine(ModemLine line);
  void setModemBits(int bits, bool on, const char* what);
  // True when an ioctl failure means "this device has no such thing".
  static bool unsupported(int err);
  [[noreturn]] void fail(int err, const std::string& what) const;

  MessageLoop& loop_;
  int fd_;
  std::string path_;
  std::uint32_t bitRate_;
  SerialListener* listener_ = nullptr;
  MessageLoop::WatchId watch_ = 0;
  bool watching_ = false;

  std::string rx_;                                  // delivered, not yet read
  std::deque<PosixLineMarkParser::Piece> pending_;  // read, not yet delivered
  PosixLineMarkParser marks_;

  bool pty_ = false;
  bool noBreak_ = false;
  bool noModemLines_ = false;
  bool counters_ = false;  // TIOCGICOUNT works
  std::uint32_t overruns_ = 0;
  std::uint32_t bufOverruns_ = 0;
  bool hungUp_ = false;
  std::string hangUpText_;
  // Cleared when the device is destroyed, so a listener that destroys it from inside a
  // callback does not return into freed state.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class PosixSerialBackend final : public SerialBackend {
 public:
  // Ports from the environment ($QUORVAN_PORTS, read now).
  explicit PosixSerialBackend(MessageLoop& loop);
  // sysClassTty is where the kernel describes ttys (tests point it elsewhere).
  PosixSerialBackend(MessageLoop& loop, PortsDirectory ports,
                     std::filesystem::path sysClassTty = "/sys/class/tty");

  // Opens the port's device read-write, non-blocking, without making it the
  // controlling terminal, takes an exclusive flock on it, and sets raw 8N1 at 9600
  // bit/s with line-error marking. Throws SerialError: comPortInvalid for a port number
  // below 1, a missing device or one that is no tty; comPortAlreadyOpen when the device
  // is busy or another open of ours holds it; comSetCommStateFailed when the tty
  // refuses the settings; comNoOpen with the system's text for anything else.
  std::unique_ptr<SerialDevice> open(int portNumber) override;

  // Linux keeps no "provider subtype" for a port as Windows does. The nearest thing:
  // a USB CDC-ACM device (ttyACM*) whose communication interface declares the AT
  // command set (bInterfaceProtocol 01 in sysfs) is a modem. Everything else, and a
  // port that does not exist, is not. (The AT probe of port discovery still catches
  // modems that this misses.)
  bool isModemPort(int portNumber) override;

  const PortsDirectory& ports() const { return ports_; }

 private:
  MessageLoop& loop_;
  PortsDirectory ports_;
  std::filesystem::path sysClassTty_;
};

// Why port n does not open, as far as looking at its device without opening it tells:
// the words open() refuses a missing device or one that is no serial device with (port
// number, device and ports directory named); for a device that is there, only that.
std::string DescribeUnopenedPort(const PortsDirectory& ports, int portNumber);

}  // namespace quorvan
