#include "platform/Process.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quorvan {

void PosixProcessControl::setPriorityClass(int priorityClass) {
  // Real time maps to the best nice value we are allowed; normal to 0.
  const int nice = priorityClass == priority::REALTIME_PRIORITY_CLASS ? -10 : 0;
  (void)::setpriority(PRIO_PROCESS, 0, nice);  // refused without privilege: fine
}

void PosixProcessControl::setThreadPriority(int /*threadPriority*/) {}

std::int32_t PosixProcessControl::threadId() {
  return static_cast<std::int32_t>(::syscall(SYS_gettid));
}

}  // namespace quorvan
