#pragma once
// The waits of the server. Three kinds that must not be confused on one thread:
// yielding waits (WaitFor, WaitForOK, SpinMsYield) run the message loop while they wait;
// SleepMs gives up the processor and processes nothing; SpinMs neither yields nor
// sleeps (the MSE 1.0 receive pump must not be re-entered while it answers a byte).
#include <cstdint>
#include <string>

#include "platform/MessageLoop.h"

namespace quorvan {

class Waits {
 public:
  explicit Waits(MessageLoop& loop) : loop_(loop), clock_(loop.clock()) {}

  void WaitFor(std::int32_t ms);
  // Also ends as soon as blockBuf holds "OK" (checked before the first yield too).
  void WaitForOK(std::int32_t ms, const std::string& blockBuf);
  void SpinMsYield(std::int32_t ms);
  void SleepMs(std::int32_t ms);
  void SpinMs(std::int32_t ms);
  // Runs the message loop and throws away what arrives in `buffer` until nothing has
  // arrived for quietMs and at least atLeastMs have passed; never longer than atMostMs,
  // so that a stream of noise cannot hold the loop. Returns what was thrown away. After a
  // failed exchange, an answer still on its way is not taken for the next request's.
  std::string DrainUntilQuiet(std::string& buffer, std::uint32_t quietMs, std::uint32_t atLeastMs,
                              std::uint32_t atMostMs);

  // Milliseconds (four decimals) since the last mark; moves the mark to now.
  double GetDeltaTime();
  // Reads the counter frequency (form load).
  void readFrequency() { gQpcFrequency = clock_.performanceFrequency(); }
  // Sets the mark to now without measuring (a byte has just been sent).
  void markNow() { gQpcMark = clock_.performanceCounter(); }

  std::int64_t gQpcFrequency = 0;
  std::int64_t gQpcMark = 0;

 private:
  template <typename Done>
  void yieldingWait(std::int32_t ms, Done done);

  MessageLoop& loop_;
  Clock& clock_;
};

}  // namespace quorvan
