#include "platform/PosixSerial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>

#include <fmt/format.h>

#include "platform/PosixTermios2.h"
#include "platform/UniqueFd.h"

namespace quorvan {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kOpenBitRate = 9600;  // the control's "9600,N,8,1"

std::string errText(int err) {
  return std::strerror(err);
}

// Errors that mean the device is gone (pseudo-terminal master closed, adapter pulled).
bool isGone(int err) {
  return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE;
}

// Unix98 pseudo-terminals: masters have majors 128..135, slaves 136..143; the old BSD
// ones 2 (masters) and 3 (slaves).
bool isPtyDevice(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const unsigned m = major(st.st_rdev);
  return (m >= 128 && m <= 143) || m == 2 || m == 3;
}

// Failures of open(2) on a port's device; `where` is PortsDirectory::describe's text.
bool isMissingDevice(int err) {
  return err == ENOENT || err == ENOTDIR || err == ENODEV || err == ENXIO || err == ELOOP;
}

int openErrorNumber(int err) {
  if (isMissingDevice(err)) return comm::comPortInvalid;
  return err == EBUSY ? comm::comPortAlreadyOpen : comm::comNoOpen;
}

std::string openErrorText(int err, const std::string& where) {
  const char* what = isMissingDevice(err) ? "no such device"
                     : err == EBUSY       ? "device in use"
                                          : "cannot open";
  return fmt::format("{} {}: {}", what, where, errText(err));
}

std::string notSerialText(const std::string& where) {
  return "not a serial device " + where;
}

// Best effort: an FTDI adapter holds received bytes up to its latency timer (16 ms by
// default); 1 ms lets an echo or an answer through at once. Silent where there is no
// such file or we may not write it.
void setUsbLatencyTimer(const fs::path& sysClassTty, const std::string& ttyName) {
  const fs::path file = sysClassTty / ttyName / "device" / "latency_timer";
  std::string current;
  {
    std::ifstream in(file);
    if (!(in >> current) || current == "1") return;
  }
  std::ofstream out(file);
  out << "1\n";
}

}  // namespace

// ---------------------------------------------------------------------------------
// PosixSerialDevice

PosixSerialDevice::PosixSerialDevice(MessageLoop& loop, int fd, std::string path,
                                     std::uint32_t bitRate)
    : loop_(loop), fd_(fd), path_(std::move(path)), bitRate_(bitRate) {
  pty_ = isPtyDevice(fd_);
  if (pty_) {
    // A pseudo-terminal accepts TIOCSBRK but sends nothing, and has no modem lines.
    noBreak_ = true;
    noModemLines_ = true;
  } else {
    int bits = 0;
    if (::ioctl(fd_, TIOCMGET, &bits) != 0 && unsupported(errno)) noModemLines_ = true;
  }
  posix_tty::LineCounts c;
  if (posix_tty::getLineCounts(fd_, c) == 0) {
    counters_ = true;
    overruns_ = c.overrun;
    bufOverruns_ = c.bufOverrun;
  }
  watch_ = loop_.watchFd(fd_, POLLIN, [this](short revents) { onReadable(revents); });
  watching_ = true;
}

PosixSerialDevice::~PosixSerialDevice() {
  *alive_ = false;
  if (watching_) loop_.unwatchFd(watch_);
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
}

bool PosixSerialDevice::unsupported(int err) {
  return err == ENOTTY || err == EINVAL || err == EOPNOTSUPP || err == ENOSYS;
}

void PosixSerialDevice::fail(int err, const std::string& what) const {
  if (isGone(err)) {
    throw SerialError(comm::comNoOpen,
                      fmt::format("{} on {}: {} (device gone)", what, path_, errText(err)));
  }
  throw SerialError(comm::comNoOpen, fmt::format("{} on {}: {}", what, path_, errText(err)));
}

void PosixSerialDevice::hangUp(int err) {
  hungUp_ = true;
  hangUpText_ = err == 0 ? "the far end closed" : errText(err);
  // A hung-up descriptor stays "ready" for ever: stop watching it, or the loop would
  // spin on it.
  if (watching_) {
    loop_.unwatchFd(watch_);
    watching_ = false;
  }
}

void PosixSerialDevice::onReadable(short revents) {
  if (revents & POLLNVAL) {
    hangUp(EBADF);
    return;
  }
  pull();
  deliver();
}

void PosixSerialDevice::takeInPending() {
  pull();
  deliver();
}

void PosixSerialDevice::pull() {
  if (hungUp_) return;
  std::vector<PosixLineMarkParser::Piece> pieces;
  char buf[4096];
  // The driver holds at most a few KiB; the bound only keeps a flood from holding the
  // loop.
  for (int i = 0; i < 64; ++i) {
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n > 0) {
      marks_.feed(std::string_view(buf, static_cast<std::size_t>(n)), pieces);
      continue;
    }
    if (n == 0) {
      hangUp(0);
      break;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) hangUp(errno);
    break;
  }
  if (counters_) {
    posix_tty::LineCounts c;
    if (posix_tty::getLineCounts(fd_, c) != 0) {
      counters_ = false;  // best effort: stop asking
    } else {
      if (c.overrun != overruns_) pieces.push_back({{}, comm::comEventOverrun});
      if (c.bufOverrun != bufOverruns_) pieces.push_back({{}, comm::comEventRxOver});
      overruns_ = c.overrun;
      bufOverruns_ = c.bufOverrun;
    }
  }
  for (auto& p : pieces) {
    if (p.event == 0 && !pending_.empty() && pending_.back().event == 0) {
      pending_.back().data += p.data;
    } else {
      pending_.push_back(std::move(p));
    }
  }
}

void PosixSerialDevice::deliver() {
  // The listener may wait and let the loop run inside its callback, so this may nest:
  // a nested call takes the pieces that follow, in order, and the outer one then finds
  // the queue empty.
  const auto alive = alive_;
  while (!pending_.empty()) {
    PosixLineMarkParser::Piece p = std::move(pending_.front());
    pending_.pop_front();
    if (p.event == 0) {
      rx_ += p.data;
      while (!pending_.empty() && pending_.front().event == 0) {
        rx_ += pending_.front().data;
        pending_.pop_front();
      }
      if (listener_) listener_->onBytesArrived();
    } else if (listener_) {
      listener_->onLineEvent(p.event);
    }
    if (!*alive) return;
  }
}

bool PosixSerialDevice::setBitRate(std::uint32_t bitsPerSecond) {
  if (bitsPerSecond == 0) return false;
  if (posix_tty::setBitRate(fd_, bitsPerSecond) != 0) return false;
  // A UART reports the rate it achieved; more than 3% off would garble every byte.
  std::uint32_t in = 0, out = 0;
  if (posix_tty::getBitRates(fd_, in, out) == 0 && out != 0) {
    const std::uint64_t diff = out > bitsPerSecond ? out - bitsPerSecond : bitsPerSecond - out;
    if (diff * 100 > std::uint64_t{bitsPerSecond} * 3) {
      posix_tty::setBitRate(fd_, bitRate_);
      return false;
    }
  }
  bitRate_ = bitsPerSecond;
  return true;
}

void PosixSerialDevice::write(const std::string& bytes) {
  if (bytes.empty()) return;
  if (hungUp_) {
    throw SerialError(comm::comNoOpen, fmt::format("cannot write to {}: {}", path_, hangUpText_));
  }
  // Room in the driver appears as it sends (in steps of 256 bytes at the most); if none
  // appears for this long, the device has stopped taking bytes.
  const std::uint64_t stallUs =
      std::max<std::uint64_t>(2'000'000, 2ULL * 256 * 10 * 1'000'000 / std::max(bitRate_, 1u));
  Clock& clock = loop_.clock();
  std::size_t done = 0;
  std::uint64_t lastProgressUs = clock.monoUs();
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      lastProgressUs = clock.monoUs();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const std::uint64_t now = clock.monoUs();
      if (now - lastProgressUs >= stallUs) {
        throw SerialError(comm::comEventTxFull,
                          fmt::format("write to {} stalled: {} of {} bytes sent, then the "
                                      "device took nothing for {} ms",
                                      path_, done, bytes.size(), stallUs / 1000));
      }
      pollfd p{fd_, POLLOUT, 0};
      clock.idleUntil(lastProgressUs + stallUs, std::span<pollfd>(&p, 1));
      continue;
    }
    const int err = n < 0 ? errno : EIO;
    if (isGone(err)) hangUp(err);
    fail(err, fmt::format("write ({} of {} bytes sent)", done, bytes.size()));
  }
}

std::string PosixSerialDevice::readAll() {
  std::string out;
  out.swap(rx_);
  return out;
}

void PosixSerialDevice::flushInput() {
  // Line events already received are kept (a BREAK that came back must still be seen
  // after the flush); only data goes.
  pull();
  rx_.clear();
  pending_.erase(
      std::remove_if(pending_.begin(), pending_.end(), [](const auto& p) { return p.event == 0; }),
      pending_.end());
  marks_.reset();
  posix_tty::flushInput(fd_);  // best effort; nothing to do where it is refused
  if (!pending_.empty()) {
    loop_.post([this, alive = alive_] {
      if (*alive) deliver();
    });
  }
}

void PosixSerialDevice::setBreak(bool on) {
  if (noBreak_) return;
  if (::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) == 0) return;
  const int err = errno;
  if (unsupported(err)) {
    noBreak_ = true;
    return;
  }
  fail(err, on ? "setting break" : "clearing break");
}

void PosixSerialDevice::setModemBits(int bits, bool on, const char* what) {
  if (noModemLines_) return;
  if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return;
  const int err = errno;
  if (unsupported(err)) {
    noModemLines_ = true;
    return;
  }
  fail(err, fmt::format("{} {}", on ? "raising" : "lowering", what));
}

void PosixSerialDevice::setDtr(bool on) {
  setModemBits(TIOCM_DTR, on, "DTR");
}
void PosixSerialDevice::setRts(bool on) {
  setModemBits(TIOCM_RTS, on, "RTS");
}

bool PosixSerialDevice::modemLine(ModemLine line) {
  if (noModemLines_) return false;
  int bits = 0;
  if (::ioctl(fd_, TIOCMGET, &bits) != 0) {
    const int err = errno;
    if (unsupported(err)) {
      noModemLines_ = true;
      return false;
    }
    fail(err, "reading the modem lines");
  }
  switch (line) {
    case kCts:
      return (bits & TIOCM_CTS) != 0;
    case kDsr:
      return (bits & TIOCM_DSR) != 0;
    case kCd:
      return (bits & TIOCM_CD) != 0;
  }
  return false;
}

std::string PosixSerialDevice::notice() const {
  std::string text;
  if (pty_) {
    text = fmt::format("no break or modem lines on {} (pseudo-terminal)", path_);
  } else if (noBreak_ && noModemLines_) {
    text = fmt::format("no break or modem lines on {} (the driver has none)", path_);
  } else if (noModemLines_) {
    text = fmt::format("no modem lines on {} (the driver has none)", path_);
  } else if (noBreak_) {
    text = fmt::format("no break on {} (the driver has none)", path_);
  }
  if (hungUp_) {
    text += fmt::format("{}{} hung up: {}", text.empty() ? "" : "; ", path_, hangUpText_);
  }
  return text;
}

// ---------------------------------------------------------------------------------
// PosixSerialBackend

PosixSerialBackend::PosixSerialBackend(MessageLoop& loop)
    : PosixSerialBackend(loop, PortsDirectory::fromEnvironment()) {}

PosixSerialBackend::PosixSerialBackend(MessageLoop& loop, PortsDirectory ports,
                                       fs::path sysClassTty)
    : loop_(loop), ports_(std::move(ports)), sysClassTty_(std::move(sysClassTty)) {}

std::unique_ptr<SerialDevice> PosixSerialBackend::open(int portNumber) {
  const auto resolved = ports_.resolve(portNumber);
  // Every refusal names the device tried and why that one (link or /dev/ttyUSB<n-1>).
  const std::string where = ports_.describe(portNumber);
  if (!resolved) throw SerialError(comm::comPortInvalid, where);
  const std::string path = resolved->string();

  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    const int err = errno;
    throw SerialError(openErrorNumber(err), openErrorText(err, where));
  }
  if (!::isatty(fd.get())) throw SerialError(comm::comPortInvalid, notSerialText(where));
  // flock conflicts between two opens even inside one process: a second open of the
  // same port by this server (or by another program that locks alike) is refused.
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    throw SerialError(comm::comPortAlreadyOpen,
                      fmt::format("device in use {}: locked by another open", where));
  }
  if (const int err = posix_tty::makeRaw(fd.get(), kOpenBitRate)) {
    throw SerialError(comm::comSetCommStateFailed, fmt::format("{} refuses raw 8N1 at {} bit/s: {}",
                                                               where, kOpenBitRate, errText(err)));
  }
  // Low latency, best effort and silent: ENOTTY on a pseudo-terminal, and many
  // drivers ignore the flag.
  posix_tty::setLowLatency(fd.get());
  std::error_code ec;
  if (const fs::path real = fs::canonical(*resolved, ec); !ec) {
    const std::string name = real.filename().string();
    if (name.rfind("ttyUSB", 0) == 0) setUsbLatencyTimer(sysClassTty_, name);
  }
  return std::make_unique<PosixSerialDevice>(loop_, fd.release(), path, kOpenBitRate);
}

bool PosixSerialBackend::isModemPort(int portNumber) {
  const auto resolved = ports_.resolve(portNumber);
  if (!resolved) return false;
  std::error_code ec;
  const fs::path real = fs::canonical(*resolved, ec);
  if (ec) return false;  // no such port
  const std::string name = real.filename().string();
  if (name.rfind("ttyACM", 0) != 0) return false;
  std::ifstream in(sysClassTty_ / name / "device" / "bInterfaceProtocol");
  std::string protocol;
  return static_cast<bool>(in >> protocol) && protocol == "01";
}

std::string DescribeUnopenedPort(const PortsDirectory& ports, int portNumber) {
  const std::string where = ports.describe(portNumber);
  const auto device = ports.resolve(portNumber);
  if (!device) return where;
  struct stat st {};
  if (::stat(device->c_str(), &st) != 0) return openErrorText(errno, where);
  if (!S_ISCHR(st.st_mode)) return notSerialText(where);
  return where + " is there but did not open (in use?)";
}

}  // namespace quorvan
