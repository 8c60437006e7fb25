#pragma once
// Time on Windows: the multimedia clock (timeGetTime, at 1 ms resolution while this
// clock lives) and the performance counter. Idling waits on the watched handles and
// wakes for window messages (see Poll.h), so COM calls are served while the loop rests.
#include "platform/Clock.h"

namespace quorvan {

class Win32Clock final : public Clock {
 public:
  Win32Clock();
  ~Win32Clock() override;
  Win32Clock(const Win32Clock&) = delete;
  Win32Clock& operator=(const Win32Clock&) = delete;

  std::uint64_t monoUs() override;
  std::int64_t performanceCounter() override;
  std::int64_t performanceFrequency() override { return frequency_; }
  void sleepUs(std::uint64_t us) override;
  void spinPause() override;
  int idleUntil(std::uint64_t deadlineUs, std::span<pollfd> fds) override;
  bool isVirtual() const override { return false; }

 private:
  std::int64_t frequency_;
};

}  // namespace quorvan
