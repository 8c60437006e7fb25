#pragma once
// A program started by this one (the simulator, the bus daemon, the server's
// registration); killed when dropped while still running, and sent SIGTERM when this
// process ends without dropping it (killed outright), so that nothing it started outlives
// it.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvan::host {

class ChildProcess {
 public:
  // Runs argv[0] (looked up in PATH) with this process's environment changed by `env`;
  // standard output and error go to the files given (else they are inherited). `extraFd`
  // becomes descriptor 3 of the child when set. In a process group of its own the child
  // is spared the terminal's Ctrl-C, so that its starter can end it in order. Throws
  // std::runtime_error when it cannot be started.
  explicit ChildProcess(const std::vector<std::string>& argv,
                        const std::map<std::string, std::string>& env = {},
                        const std::optional<std::filesystem::path>& out = std::nullopt,
                        const std::optional<std::filesystem::path>& err = std::nullopt,
                        int extraFd = -1, bool ownProcessGroup = false);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }

  // The exit code (or 128 + signal) once the child has ended; nothing if it is still
  // running after `limit`.
  std::optional<int> waitExit(std::chrono::milliseconds limit);
  // Asks it to end (SIGTERM).
  void terminate();
  // SIGTERM, then SIGKILL when it has not ended within `grace`; its exit code.
  int stop(std::chrono::milliseconds grace);

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int code_ = -1;
};

// A pipe whose ends children do not inherit (unless one is handed over as `extraFd`).
class Pipe {
 public:
  // Throws std::runtime_error.
  Pipe();
  ~Pipe();
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  int readEnd() const { return fds_[0]; }
  int writeEnd() const { return fds_[1]; }
  // This process's copy: a reader sees the end once the children's copies are closed.
  void closeWriteEnd();

 private:
  int fds_[2];
};

// Everything in a file a child wrote to (its output, its log); empty when there is none.
std::string ReadOutput(const std::filesystem::path& file);

}  // namespace quorvan::host
