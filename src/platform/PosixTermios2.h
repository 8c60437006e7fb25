#pragma once
// Internal to the POSIX serial backend: the terminal settings done through termios2.
// The implementation includes <asm/termbits.h>, which cannot live beside <termios.h>,
// so this header exposes plain functions and plain types only. Each function returns 0
// on success or the errno value of the failing call.
#include <cstdint>

namespace quorvan::posix_tty {

// Raw 8N1 at the given bit rate, no flow control, receiver on, modem lines ignored for
// opening (CLOCAL), reads return as soon as one byte is there (VMIN 1, VTIME 0). Line
// errors are marked in the input (PARMRK with INPCK; IGNBRK, BRKINT, IGNPAR and ISTRIP
// off): a BREAK reads as FF 00 00, a framing or parity error as FF 00 <byte>, a data
// byte FF as FF FF.
int makeRaw(int fd, std::uint32_t bitsPerSecond);

// Any bit rate through BOTHER (input and output alike). 0 is refused with EINVAL.
int setBitRate(int fd, std::uint32_t bitsPerSecond);

// The rates the driver reports back (a real UART reports the rate it achieved).
int getBitRates(int fd, std::uint32_t& inBitsPerSecond, std::uint32_t& outBitsPerSecond);

// True in `on` when the line-error marking above is in force (PARMRK and INPCK on,
// IGNBRK, BRKINT, IGNPAR and ISTRIP off) and the line is raw 8N1 without echo.
int getLineMarking(int fd, bool& on);

// Discards what the driver has received and not yet been read.
int flushInput(int fd);

// ASYNC_LOW_LATENCY through TIOCGSERIAL/TIOCSSERIAL (ENOTTY on a pseudo-terminal).
int setLowLatency(int fd);

// The driver's line error counters (TIOCGICOUNT; ENOTTY or EINVAL where the driver has
// none, as on a pseudo-terminal).
struct LineCounts {
  std::uint32_t frame = 0;
  std::uint32_t parity = 0;
  std::uint32_t brk = 0;
  std::uint32_t overrun = 0;     // the UART's receiver overran
  std::uint32_t bufOverrun = 0;  // the driver's receive buffer overflowed
};
int getLineCounts(int fd, LineCounts& counts);

}  // namespace quorvan::posix_tty
