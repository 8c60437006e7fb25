// termios2 for the POSIX serial backend. Only the kernel's own terminal headers are
// included here: <asm/termbits.h> redefines struct termios and cannot live beside
// glibc's <termios.h>.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

#include "platform/PosixTermios2.h"

namespace quorvan::posix_tty {

namespace {

int ioctlErr(int fd, unsigned long request, void* arg) {
  for (;;) {
    if (::ioctl(fd, request, arg) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

void putRate(struct termios2& t, std::uint32_t rate) {
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ispeed = rate;
  t.c_ospeed = rate;
}

constexpr tcflag_t kInputOff = IGNBRK | BRKINT | IGNPAR | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC |
                               IXON | IXANY | IXOFF | IMAXBEL | IUTF8;
constexpr tcflag_t kInputOn = PARMRK | INPCK;
// EXTPROC is left as it is: a simulator on the master side of a pseudo-terminal sets it
// (with TIOCPKT) to be told when we change the bit rate, and it changes nothing in raw
// mode.
constexpr tcflag_t kLocalOff = ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | IEXTEN | ECHOCTL |
                               ECHOKE | ECHOPRT | XCASE | TOSTOP;

}  // namespace

int makeRaw(int fd, std::uint32_t bitsPerSecond) {
  if (bitsPerSecond == 0) return EINVAL;
  struct termios2 t {};
  if (int e = ioctlErr(fd, TCGETS2, &t)) return e;
  t.c_iflag = (t.c_iflag & ~kInputOff) | kInputOn;
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~kLocalOff;
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  putRate(t, bitsPerSecond);
  return ioctlErr(fd, TCSETS2, &t);
}

int setBitRate(int fd, std::uint32_t bitsPerSecond) {
  if (bitsPerSecond == 0) return EINVAL;
  struct termios2 t {};
  if (int e = ioctlErr(fd, TCGETS2, &t)) return e;
  putRate(t, bitsPerSecond);
  return ioctlErr(fd, TCSETS2, &t);
}

int getBitRates(int fd, std::uint32_t& inBitsPerSecond, std::uint32_t& outBitsPerSecond) {
  struct termios2 t {};
  if (int e = ioctlErr(fd, TCGETS2, &t)) return e;
  inBitsPerSecond = t.c_ispeed;
  outBitsPerSecond = t.c_ospeed;
  return 0;
}

int getLineMarking(int fd, bool& on) {
  struct termios2 t {};
  if (int e = ioctlErr(fd, TCGETS2, &t)) return e;
  on = (t.c_iflag & kInputOn) == kInputOn &&
       (t.c_iflag & (IGNBRK | BRKINT | IGNPAR | ISTRIP | IXON)) == 0 &&
       (t.c_lflag & (ICANON | ECHO | ISIG)) == 0 && (t.c_oflag & OPOST) == 0 &&
       (t.c_cflag & (CSIZE | PARENB | CSTOPB)) == CS8;
  return 0;
}

int flushInput(int fd) {
  for (;;) {
    if (::ioctl(fd, TCFLSH, TCIFLUSH) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

int setLowLatency(int fd) {
  struct serial_struct s {};
  if (int e = ioctlErr(fd, TIOCGSERIAL, &s)) return e;
  if (s.flags & ASYNC_LOW_LATENCY) return 0;
  s.flags |= ASYNC_LOW_LATENCY;
  return ioctlErr(fd, TIOCSSERIAL, &s);
}

int getLineCounts(int fd, LineCounts& counts) {
  struct serial_icounter_struct ic {};
  if (int e = ioctlErr(fd, TIOCGICOUNT, &ic)) return e;
  counts.frame = static_cast<std::uint32_t>(ic.frame);
  counts.parity = static_cast<std::uint32_t>(ic.parity);
  counts.brk = static_cast<std::uint32_t>(ic.brk);
  counts.overrun = static_cast<std::uint32_t>(ic.overrun);
  counts.bufOverrun = static_cast<std::uint32_t>(ic.buf_overrun);
  return 0;
}

}  // namespace quorvan::posix_tty
