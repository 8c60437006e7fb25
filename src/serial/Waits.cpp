#include "serial/Waits.h"

#include <cmath>

namespace quorvan {

template <typename Done>
void Waits::yieldingWait(std::int32_t ms, Done done) {
  if (ms <= 0) return;
  if (ms == 1) ms = 2;  // a one-millisecond wait is lengthened to two
  const std::uint32_t start = clock_.timeGetTime();
  const auto span = static_cast<std::uint32_t>(ms);
  // Elapsed-time comparison: safe across the 32-bit wrap of the millisecond clock.
  while (ElapsedMs(clock_.timeGetTime(), start) < span) {
    if (done()) return;
    loop_.DoEvents();
    if (done()) return;
    clock_.sleepMs(5);
  }
}

void Waits::WaitFor(std::int32_t ms) {
  yieldingWait(ms, [] { return false; });
}

void Waits::WaitForOK(std::int32_t ms, const std::string& blockBuf) {
  if (ms > 0 && blockBuf.find("OK") != std::string::npos) return;
  yieldingWait(ms, [&] { return blockBuf.find("OK") != std::string::npos; });
}

void Waits::SpinMsYield(std::int32_t ms) {
  if (ms < 1) return;
  const std::uint32_t start = clock_.timeGetTime();
  do {
    loop_.DoEvents();
    clock_.spinPause();
  } while (ElapsedMs(clock_.timeGetTime(), start) < static_cast<std::uint32_t>(ms));
}

void Waits::SleepMs(std::int32_t ms) {
  if (ms < 1) return;
  clock_.sleepMs(static_cast<std::uint32_t>(ms == 1 ? 2 : ms));
}

void Waits::SpinMs(std::int32_t ms) {
  if (ms < 1) return;
  const std::uint32_t start = clock_.timeGetTime();
  while (ElapsedMs(clock_.timeGetTime(), start) < static_cast<std::uint32_t>(ms)) {
    clock_.spinPause();
  }
}

std::string Waits::DrainUntilQuiet(std::string& buffer, std::uint32_t quietMs,
                                   std::uint32_t atLeastMs, std::uint32_t atMostMs) {
  constexpr std::uint32_t kPollMs = 10;
  const std::uint32_t start = clock_.timeGetTime();
  std::uint32_t quietSince = start;
  std::string dropped;
  const auto since = [this](std::uint32_t t) { return ElapsedMs(clock_.timeGetTime(), t); };
  while ((since(quietSince) < quietMs || since(start) < atLeastMs) && since(start) < atMostMs) {
    if (!buffer.empty()) {
      dropped += buffer;
      buffer.clear();
      quietSince = clock_.timeGetTime();
    }
    clock_.sleepMs(kPollMs);
    loop_.DoEvents();
  }
  dropped += buffer;
  buffer.clear();
  return dropped;
}

double Waits::GetDeltaTime() {
  const std::int64_t now = clock_.performanceCounter();
  const std::int64_t freq = gQpcFrequency > 0 ? gQpcFrequency : clock_.performanceFrequency();
  const double interval = static_cast<double>(now - gQpcMark) * 1000.0 / static_cast<double>(freq);
  gQpcMark = now;
  return std::round(interval * 10000.0) / 10000.0;
}

}  // namespace quorvan
