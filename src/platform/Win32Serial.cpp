#include "platform/Win32Serial.h"

#include <array>
#include <utility>

#include "platform/Poll.h"

namespace quorvan {

namespace {

constexpr std::uint32_t kOpenBitRate = 9600;  // the control's "9600,N,8,1"
constexpr DWORD kEventMask = EV_RXCHAR | EV_BREAK | EV_ERR;

std::string SystemText(DWORD err) {
  char* text = nullptr;
  const DWORD n = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, err, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string s = n && text ? std::string(text, n) : "error " + std::to_string(err);
  if (text) ::LocalFree(text);
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

std::string PortName(int portNumber) {
  return "COM" + std::to_string(portNumber);
}

int WatchableHandle(HANDLE h) {
  // Handles fit in 32 bits (and are sign-extended back).
  return static_cast<int>(reinterpret_cast<std::intptr_t>(h));
}

// Raw 8N1 at `bitRate`, no flow control, no character handling.
bool SetLine(HANDLE h, std::uint32_t bitRate) {
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(h, &dcb)) return false;
  dcb.BaudRate = bitRate;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fAbortOnError = FALSE;
  return ::SetCommState(h, &dcb) != 0;
}

struct LineError {
  DWORD flag;
  int event;
};
constexpr std::array<LineError, 5> kLineErrors{{{CE_BREAK, comm::comEventBreak},
                                                {CE_FRAME, comm::comEventFrame},
                                                {CE_OVERRUN, comm::comEventOverrun},
                                                {CE_RXOVER, comm::comEventRxOver},
                                                {CE_RXPARITY, comm::comEventRxParity}}};

}  // namespace

Overlapped::Overlapped() {
  ov_.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

Overlapped::~Overlapped() {
  if (ov_.hEvent) ::CloseHandle(ov_.hEvent);
}

void Overlapped::reset() {
  HANDLE e = ov_.hEvent;
  ov_ = OVERLAPPED{};
  ov_.hEvent = e;
  ::ResetEvent(e);
}

Win32SerialDevice::Win32SerialDevice(MessageLoop& loop, HANDLE handle, std::string name,
                                     std::uint32_t bitRate)
    : loop_(loop), handle_(handle), name_(std::move(name)), bitRate_(bitRate) {
  // Reads return at once with what the driver holds.
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
  (void)::SetCommTimeouts(handle_, &t);
  (void)::SetCommMask(handle_, kEventMask);
  watch_ = loop_.watchFd(WatchableHandle(wait_.event()), POLLIN, [this](short) { onSignalled(); });
  arm();
}

Win32SerialDevice::~Win32SerialDevice() {
  *alive_ = false;
  loop_.unwatchFd(watch_);
  (void)::SetCommMask(handle_, 0);  // ends a pending wait
  ::CancelIo(handle_);
  if (armed_) {
    DWORD n = 0;
    (void)::GetOverlappedResult(handle_, wait_.get(), &n, TRUE);
  }
  ::CloseHandle(handle_);
}

void Win32SerialDevice::arm() {
  wait_.reset();
  mask_ = 0;
  armed_ = true;
  if (::WaitCommEvent(handle_, &mask_, wait_.get())) {
    ::SetEvent(wait_.event());  // done at once: the loop finds it like any other
  } else if (::GetLastError() != ERROR_IO_PENDING) {
    armed_ = false;  // the port failed; nothing more will come from it
  }
}

void Win32SerialDevice::onSignalled() {
  DWORD n = 0;
  if (!::GetOverlappedResult(handle_, wait_.get(), &n, FALSE) &&
      ::GetLastError() == ERROR_IO_INCOMPLETE) {
    return;
  }
  armed_ = false;
  auto alive = alive_;
  pull();
  if (*alive) arm();
}

bool Win32SerialDevice::pull() {
  DWORD errors = 0;
  COMSTAT status{};
  if (!::ClearCommError(handle_, &errors, &status)) return false;
  auto alive = alive_;
  bool any = false;
  for (const auto& e : kLineErrors) {
    if (!(errors & e.flag)) continue;
    any = true;
    if (listener_) listener_->onLineEvent(e.event);
    if (!*alive) return true;
  }
  if (status.cbInQue == 0) return any;
  std::string bytes = readQueued(status.cbInQue);
  if (bytes.empty()) return any;
  rx_ += bytes;
  if (listener_) listener_->onBytesArrived();
  return true;
}

std::string Win32SerialDevice::readQueued(DWORD count) {
  std::string buf(count, '\0');
  Overlapped ov;
  DWORD got = 0;
  if (!::ReadFile(handle_, buf.data(), count, &got, ov.get())) {
    if (::GetLastError() != ERROR_IO_PENDING) return {};
    if (!::GetOverlappedResult(handle_, ov.get(), &got, TRUE)) {
      if (::GetLastError() != ERROR_TIMEOUT) return {};  // a time-out is "no bytes"
      got = 0;
    }
  }
  buf.resize(got);
  return buf;
}

void Win32SerialDevice::takeInPending() {
  pull();
}

std::string Win32SerialDevice::readAll() {
  return std::exchange(rx_, std::string());
}

void Win32SerialDevice::flushInput() {
  (void)::PurgeComm(handle_, PURGE_RXCLEAR);
  rx_.clear();
}

bool Win32SerialDevice::setBitRate(std::uint32_t bitsPerSecond) {
  if (!SetLine(handle_, bitsPerSecond)) return false;
  bitRate_ = bitsPerSecond;
  return true;
}

void Win32SerialDevice::write(const std::string& bytes) {
  if (bytes.empty()) return;
  Overlapped ov;
  DWORD sent = 0;
  const auto size = static_cast<DWORD>(bytes.size());
  if (!::WriteFile(handle_, bytes.data(), size, &sent, ov.get())) {
    if (::GetLastError() != ERROR_IO_PENDING) fail("write");
    if (!::GetOverlappedResult(handle_, ov.get(), &sent, TRUE)) fail("write");
  }
  if (sent != size) fail("write (short)");
}

void Win32SerialDevice::setBreak(bool on) {
  if (!(on ? ::SetCommBreak(handle_) : ::ClearCommBreak(handle_))) fail("break");
}

void Win32SerialDevice::escape(DWORD function, bool& unsupported) {
  if (::EscapeCommFunction(handle_, function)) return;
  // A port without modem lines (a pseudo-terminal under Wine) says "not supported".
  if (::GetLastError() == ERROR_NOT_SUPPORTED) {
    unsupported = true;
    return;
  }
  fail("modem line");
}

void Win32SerialDevice::setDtr(bool on) {
  escape(on ? SETDTR : CLRDTR, noModemLines_);
}

void Win32SerialDevice::setRts(bool on) {
  escape(on ? SETRTS : CLRRTS, noModemLines_);
}

bool Win32SerialDevice::modemStatus(DWORD bit) {
  DWORD status = 0;
  if (!::GetCommModemStatus(handle_, &status)) {
    noModemLines_ = true;
    return false;
  }
  return (status & bit) != 0;
}

std::string Win32SerialDevice::notice() const {
  return noModemLines_ ? "no modem lines: " + name_ : std::string();
}

void Win32SerialDevice::fail(const std::string& what) const {
  const DWORD err = ::GetLastError();
  throw SerialError(comm::comNoOpen, name_ + ": " + what + ": " + SystemText(err));
}

std::unique_ptr<SerialDevice> Win32SerialBackend::open(int portNumber) {
  if (portNumber < 1) {
    throw SerialError(comm::comPortInvalid, "invalid port number " + std::to_string(portNumber) +
                                                " (ports count from 1)");
  }
  const std::string name = PortName(portNumber);
  const std::string path = "\\\\.\\" + name;
  HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD err = ::GetLastError();
    const int number =
        err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND     ? comm::comPortInvalid
        : err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION ? comm::comPortAlreadyOpen
                                                                       : comm::comNoOpen;
    throw SerialError(number, "cannot open " + name + ": " + SystemText(err));
  }
  // Raw mode before any I/O.
  if (!SetLine(h, kOpenBitRate)) {
    const DWORD err = ::GetLastError();
    ::CloseHandle(h);
    throw SerialError(comm::comSetCommStateFailed,
                      name + " refuses 9600,N,8,1: " + SystemText(err));
  }
  return std::make_unique<Win32SerialDevice>(loop_, h, name, kOpenBitRate);
}

bool Win32SerialBackend::isModemPort(int portNumber) {
  if (portNumber < 1) return false;
  COMMCONFIG config{};
  DWORD size = sizeof config;
  config.dwSize = size;
  if (!::GetDefaultCommConfigA(PortName(portNumber).c_str(), &config, &size)) return false;
  return config.dwProviderSubType == PST_MODEM;
}

}  // namespace quorvan
