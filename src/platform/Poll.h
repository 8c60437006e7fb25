#pragma once
// Waiting on what the loop watches. On POSIX these are file descriptors and poll().
// On Windows a watched "descriptor" is a waitable handle (an event of overlapped I/O):
// handles fit in 32 bits, and poll() reports the signalled ones, waking also when a
// window message arrives for the thread (COM calls come as messages), which it leaves
// in the queue for the loop to dispatch.
#ifdef _WIN32
struct pollfd {
  int fd;
  short events;
  short revents;
};
inline constexpr short POLLIN = 0x0001;
int poll(pollfd* fds, unsigned long count, int timeoutMs);
#else
#include <poll.h>
#endif
