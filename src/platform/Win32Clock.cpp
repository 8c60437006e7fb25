#include "platform/Win32Clock.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace quorvan {

namespace {

HANDLE HandleOfWatch(int fd) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}

}  // namespace

Win32Clock::Win32Clock() {
  LARGE_INTEGER f;
  ::QueryPerformanceFrequency(&f);
  frequency_ = f.QuadPart;
  ::timeBeginPeriod(1);
  // timeGetTime() reads as the system's multimedia clock.
  setTimeGetTimeOffset(::timeGetTime() - static_cast<std::uint32_t>(monoUs() / 1000));
}

Win32Clock::~Win32Clock() {
  ::timeEndPeriod(1);
}

std::uint64_t Win32Clock::monoUs() {
  const auto c = static_cast<std::uint64_t>(performanceCounter());
  const auto f = static_cast<std::uint64_t>(frequency_);
  return c / f * 1'000'000 + c % f * 1'000'000 / f;  // no overflow for years of uptime
}

std::int64_t Win32Clock::performanceCounter() {
  LARGE_INTEGER c;
  ::QueryPerformanceCounter(&c);
  return c.QuadPart;
}

void Win32Clock::sleepUs(std::uint64_t us) {
  ::Sleep(static_cast<DWORD>(std::min<std::uint64_t>((us + 999) / 1000, INFINITE - 1)));
}

void Win32Clock::spinPause() {
  YieldProcessor();
}

int Win32Clock::idleUntil(std::uint64_t deadlineUs, std::span<pollfd> fds) {
  const std::uint64_t now = monoUs();
  int timeoutMs = 0;
  if (deadlineUs > now) {
    timeoutMs = static_cast<int>(std::min<std::uint64_t>((deadlineUs - now + 999) / 1000, 60'000));
  }
  const int n = ::poll(fds.data(), fds.size(), timeoutMs);
  return n < 0 ? 0 : n;
}

}  // namespace quorvan

// The loop's poll() on Windows: watched handles are manual-reset events; a window message
// for this thread ends the wait too (and stays queued).
int poll(pollfd* fds, unsigned long count, int timeoutMs) {
  std::vector<HANDLE> handles;
  for (unsigned long i = 0; i < count; ++i) {
    fds[i].revents = 0;
    handles.push_back(quorvan::HandleOfWatch(fds[i].fd));
  }
  const DWORD r = ::MsgWaitForMultipleObjectsEx(
      static_cast<DWORD>(handles.size()), handles.data(),
      timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  if (r == WAIT_FAILED) return -1;
  int ready = 0;
  for (unsigned long i = 0; i < count; ++i) {
    if (::WaitForSingleObject(handles[i], 0) == WAIT_OBJECT_0) {
      fds[i].revents = POLLIN;
      ++ready;
    }
  }
  return ready;
}
