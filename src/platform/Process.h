#pragma once
// Process-level services: priorities, the thread id, and the process end.
#include <cstdint>
#include <vector>

namespace quorvan {

// Thrown by the process end. It is not a std::exception, so the catch-all failure
// handlers of the procedures never swallow it: it unwinds to the top of the loop,
// where only the host catches it and exits.
struct ProcessEnd {
  int exitCode = 0;
};

namespace priority {
inline constexpr int NORMAL_PRIORITY_CLASS = 32;
inline constexpr int REALTIME_PRIORITY_CLASS = 256;
inline constexpr int THREAD_PRIORITY_HIGHEST = 2;
}  // namespace priority

class ProcessControl {
 public:
  virtual ~ProcessControl() = default;
  virtual void setPriorityClass(int priorityClass) = 0;
  virtual void setThreadPriority(int threadPriority) = 0;
  virtual std::int32_t threadId() = 0;
};

// Real process: the priority requests are best effort (an unprivileged user cannot
// raise them); the thread id is the kernel's.
class PosixProcessControl final : public ProcessControl {
 public:
  void setPriorityClass(int priorityClass) override;
  void setThreadPriority(int threadPriority) override;
  std::int32_t threadId() override;
};

// Records the requests, for tests.
class RecordingProcessControl final : public ProcessControl {
 public:
  void setPriorityClass(int c) override { classes.push_back(c); }
  void setThreadPriority(int p) override { threadPriorities.push_back(p); }
  std::int32_t threadId() override { return 4242; }
  std::vector<int> classes;
  std::vector<int> threadPriorities;
};

}  // namespace quorvan
