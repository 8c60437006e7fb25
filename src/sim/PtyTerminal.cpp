#include "sim/PtyTerminal.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

#include "platform/PosixTermios2.h"

namespace quorvan::sim {

namespace {

[[noreturn]] void fail(int err, const char* what) {
  throw std::system_error(err, std::generic_category(), what);
}

// Raw 8N1 and EXTPROC. Set through the master, since termios requests there act on the
// slave: EXTPROC is what makes the kernel announce the server's later changes.
void makeRawWithExtproc(int master) {
  termios t{};
  if (::tcgetattr(master, &t) != 0) fail(errno, "reading the pseudo-terminal's settings");
  ::cfmakeraw(&t);
  t.c_lflag |= EXTPROC;
  t.c_cflag |= CLOCAL;
  if (::tcsetattr(master, TCSANOW, &t) != 0) fail(errno, "setting up the pseudo-terminal");
}

void setPacketMode(int master) {
  int on = 1;
  if (::ioctl(master, TIOCPKT, &on) != 0) fail(errno, "packet mode on the pseudo-terminal");
}

void setNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    fail(errno, "non-blocking pseudo-terminal");
  }
}

}  // namespace

PtyTerminal::PtyTerminal() {
  std::array<char, 128> name{};
  if (::openpty(&master_, &slave_, name.data(), nullptr, nullptr) != 0) {
    fail(errno, "opening a pseudo-terminal");
  }
  slavePath_ = name.data();
  try {
    ::fcntl(master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
    makeRawWithExtproc(master_);
    setPacketMode(master_);
    setNonBlocking(master_);
  } catch (...) {
    ::close(master_);
    ::close(slave_);
    throw;
  }
}

PtyTerminal::~PtyTerminal() {
  ::close(master_);
  ::close(slave_);
}

std::uint32_t PtyTerminal::slaveBitRate() const {
  std::uint32_t in = 0;
  std::uint32_t out = 0;
  if (const int err = posix_tty::getBitRates(master_, in, out)) fail(err, "reading the bit rate");
  return out;
}

bool PtyTerminal::slaveMarksLineErrors() const {
  bool on = false;
  if (const int err = posix_tty::getLineMarking(master_, on)) fail(err, "reading the settings");
  return on;
}

std::optional<PtyTerminal::Packet> PtyTerminal::read() {
  std::array<char, 4096> buffer{};
  ssize_t n = 0;
  do {
    n = ::read(master_, buffer.data(), buffer.size());
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
    fail(errno, "reading the pseudo-terminal");
  }
  if (n == 0) return std::nullopt;
  // Packet mode: a zero byte leads data; anything else is a status byte on its own.
  Packet packet;
  const auto head = static_cast<unsigned char>(buffer[0]);
  if (head == TIOCPKT_DATA) {
    packet.data.assign(buffer.data() + 1, static_cast<std::size_t>(n - 1));
  } else {
    packet.settingsChanged = (head & TIOCPKT_IOCTL) != 0;
  }
  return packet;
}

std::size_t PtyTerminal::write(std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      fail(n < 0 ? errno : EIO, "writing the pseudo-terminal");
    }
  }
  return done;
}

}  // namespace quorvan::sim
