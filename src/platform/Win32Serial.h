#pragma once
// The Windows serial backend: port n is \\.\COMn, opened for overlapped I/O. The loop
// watches the event of a pending WaitCommEvent; when it completes, the line errors the
// driver reports become line events and the bytes it holds are read and announced. A
// wait that completes with an empty mask (Wine does that on a pseudo-terminal every few
// milliseconds) is simply armed again.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/MessageLoop.h"
#include "platform/SerialDevice.h"

namespace quorvan {

// An OVERLAPPED with its own manual-reset event, closed with it.
class Overlapped {
 public:
  Overlapped();
  ~Overlapped();
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;
  OVERLAPPED* get() { return &ov_; }
  HANDLE event() const { return ov_.hEvent; }
  void reset();

 private:
  OVERLAPPED ov_{};
};

class Win32SerialDevice final : public SerialDevice {
 public:
  // Takes over `handle`, opened overlapped and set to 8N1 at `bitRate`.
  Win32SerialDevice(MessageLoop& loop, HANDLE handle, std::string name, std::uint32_t bitRate);
  ~Win32SerialDevice() override;
  Win32SerialDevice(const Win32SerialDevice&) = delete;
  Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

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
  bool cts() override { return modemStatus(MS_CTS_ON); }
  bool dsr() override { return modemStatus(MS_DSR_ON); }
  bool cd() override { return modemStatus(MS_RLSD_ON); }

  void takeInPending() override;
  std::string notice() const override;

 private:
  // Starts the next WaitCommEvent; one that completes at once leaves its event set, so
  // the loop finds it.
  void arm();
  void onSignalled();
  // Reads the line errors and the bytes the driver holds; true when anything came.
  bool pull();
  std::string readQueued(DWORD count);
  void escape(DWORD function, bool& unsupported);
  bool modemStatus(DWORD bit);
  [[noreturn]] void fail(const std::string& what) const;

  MessageLoop& loop_;
  HANDLE handle_;
  std::string name_;
  std::uint32_t bitRate_;
  SerialListener* listener_ = nullptr;
  Overlapped wait_;
  DWORD mask_ = 0;
  bool armed_ = false;
  MessageLoop::WatchId watch_ = 0;
  std::string rx_;
  bool noModemLines_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class Win32SerialBackend final : public SerialBackend {
 public:
  explicit Win32SerialBackend(MessageLoop& loop) : loop_(loop) {}
  // Opens \\.\COMn exclusively and sets raw 8N1 at 9600 bit/s. Throws SerialError:
  // comPortInvalid for a port number below 1 or one that does not exist;
  // comPortAlreadyOpen when another program holds it; comSetCommStateFailed when the
  // driver refuses the settings; comNoOpen with the system's text for anything else.
  std::unique_ptr<SerialDevice> open(int portNumber) override;
  // The system's own word: the port's provider subtype says modem.
  bool isModemPort(int portNumber) override;

 private:
  MessageLoop& loop_;
};

}  // namespace quorvan
