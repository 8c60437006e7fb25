#pragma once
// The serial control of the comm form: the properties and the one event (OnComm) the
// protocol code has always used, over a SerialDevice backend (a real tty, a
// pseudo-terminal or the simulated K-line).
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "platform/MessageLoop.h"
#include "platform/SerialDevice.h"

namespace quorvan {

// Event-mask bits of the port (what MaskCommEvents removes).
namespace evmask {
inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_TXEMPTY = 0x0004;
inline constexpr std::uint32_t EV_CTS = 0x0008;
inline constexpr std::uint32_t EV_DSR = 0x0010;
inline constexpr std::uint32_t EV_RLSD = 0x0020;
inline constexpr std::uint32_t EV_BREAK = 0x0040;
inline constexpr std::uint32_t EV_ERR = 0x0080;
inline constexpr std::uint32_t EV_RING = 0x0100;
inline constexpr std::uint32_t kAll = 0x01FD;
}  // namespace evmask

class commSerial final : private SerialListener {
 public:
  // The device control block: the part of the port's settings reached past the control.
  struct DCB {
    std::uint32_t BaudRate = 9600;
    std::uint32_t fFlags = 0x4000;  // fAbortOnError set, as a freshly opened port has it
  };
  static constexpr std::uint32_t fAbortOnErrorBits = 0x0000C000;

  commSerial(MessageLoop& loop, SerialBackend& backend);
  ~commSerial() override;
  commSerial(const commSerial&) = delete;
  commSerial& operator=(const commSerial&) = delete;

  // Properties set before opening (kept for their meaning; the backends need no buffer
  // sizes or handshake settings).
  std::int16_t CommPort = 1;
  int RThreshold = 0;
  int SThreshold = 0;
  int InBufferSize = 1024;
  int OutBufferSize = 512;
  int Handshaking = 0;
  int InputMode = 0;
  bool NullDiscard = false;
  int InputLen = 0;

  const std::string& Settings() const { return settings_; }
  // "9600,N,8,1". Throws SerialError on a malformed string; resets the bit rate when open.
  void setSettings(const std::string& s);

  bool PortOpen() const { return device_ != nullptr; }
  // Opening may throw SerialError (no such port, in use). Closing never throws.
  void setPortOpen(bool open);

  bool DTREnable() const { return dtr_; }
  void setDTREnable(bool on);
  bool RTSEnable() const { return rts_; }
  void setRTSEnable(bool on);
  bool Break() const { return break_; }
  void setBreak(bool on);  // throws when closed
  bool CTSHolding();       // these three throw when closed
  bool DSRHolding();
  bool CDHolding();

  int InBufferCount() const;
  void setInBufferCount(int n);  // 0 flushes the receive buffer

  void setOutput(const std::string& bytes);  // throws when closed
  std::string Input();                       // up to InputLen bytes (0: all)

  int CommEvent() const { return commEvent_; }
  std::function<void()> OnComm;
  // Raises the events that have come in (reading what the device holds now) at once,
  // without the message loop: nothing else that waits there runs meanwhile. Each event
  // is raised once, here or from the loop.
  void DoSerialEvents();

  // Handle-based access to the device control block and the event mask.
  bool GetCommState(DCB& dcb) const;
  bool SetCommState(const DCB& dcb);
  bool GetCommMask(std::uint32_t& mask) const;
  bool SetCommMask(std::uint32_t mask);

  // What the open device cannot do (empty when closed or complete).
  std::string deviceNotice() const;

 private:
  void onBytesArrived() override;
  void onLineEvent(int commEvent) override;
  void raise(int commEvent);
  // Queues an event and posts its dispatch to the loop.
  void queue(int commEvent);
  // Raises the event at the head of the queue.
  void dispatchNext();
  void requireOpen() const;
  static std::uint32_t maskBitFor(int commEvent);

  MessageLoop& loop_;
  SerialBackend& backend_;
  std::unique_ptr<SerialDevice> device_;
  std::string held_;  // bytes read from the device but not yet handed out (InputLen)
  std::string settings_ = "9600,N,8,1";
  std::uint32_t settingsRate_ = 9600;
  DCB dcb_;
  std::uint32_t eventMask_ = evmask::kAll;
  bool dtr_ = false;
  bool rts_ = false;
  bool break_ = false;
  int commEvent_ = 0;
  bool receivePosted_ = false;
  struct Queued {
    std::uint64_t seq;
    int event;
  };
  std::deque<Queued> queued_;  // events not yet raised, in the order they came
  std::uint64_t nextSeq_ = 1;
  // Tasks posted for an earlier open of the port are dropped when they come due.
  std::uint64_t openGeneration_ = 0;
};

}  // namespace quorvan
