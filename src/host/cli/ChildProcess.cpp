#include "host/cli/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <utility>

extern char** environ;

namespace quorvan::host {

namespace {

constexpr std::chrono::milliseconds kLookInterval{10};

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& changes) {
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const auto eq = entry.find('=');
    if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [k, v] : changes) merged[k] = v;
  std::vector<std::string> strings;
  for (const auto& [k, v] : merged) strings.push_back(k + "=" + v);
  return strings;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (auto& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// argv[0] as execve needs it: looked up in PATH unless it names a file itself; empty when
// there is no such program.
std::string programPath(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  for (std::size_t start = 0; start <= dirs.size();) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
    const std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

// In the child between fork and exec: only async-signal-safe calls.
[[noreturn]] void failInChild(int reportFd) {
  const int err = errno;
  (void)!::write(reportFd, &err, sizeof err);
  ::_exit(127);
}

// Makes `from` the child's descriptor `to`, one that its program keeps.
void placeInChild(int from, int to, int reportFd) {
  const int done = from == to ? ::fcntl(to, F_SETFD, 0) : ::dup2(from, to);
  if (done < 0) failInChild(reportFd);
}

void redirectInChild(int fd, const std::optional<std::filesystem::path>& file, int reportFd) {
  if (!file) return;
  const int opened = ::open(file->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (opened < 0) failInChild(reportFd);
  placeInChild(opened, fd, reportFd);
}

// The errno a child that failed before its exec wrote to `report`, else 0 (its exec
// closed the pipe).
int childError(Pipe& report) {
  report.closeWriteEnd();
  int err = 0;
  ssize_t n = 0;
  do {
    n = ::read(report.readEnd(), &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof err) ? err : 0;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& env,
                           const std::optional<std::filesystem::path>& out,
                           const std::optional<std::filesystem::path>& err, int extraFd,
                           bool ownProcessGroup) {
  if (argv.empty()) throw std::invalid_argument("no program to start");
  const std::string program = programPath(argv[0]);
  if (program.empty()) throw std::runtime_error("cannot start " + argv[0] + ": not found");
  std::vector<std::string> envStrings = mergedEnvironment(env);
  std::vector<char*> envp = pointersTo(envStrings);
  std::vector<std::string> args = argv;
  std::vector<char*> argp = pointersTo(args);
  Pipe report;
  const pid_t starter = ::getpid();

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("cannot start " + argv[0]);
  if (pid_ == 0) {
    if (ownProcessGroup) ::setpgid(0, 0);
    // Ends with its starter, also when that is killed outright. A starter that died
    // before this line was missed: the child then has another parent already.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != starter) ::_exit(128 + SIGTERM);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    redirectInChild(1, out, report.writeEnd());
    redirectInChild(2, err, report.writeEnd());
    if (extraFd >= 0) placeInChild(extraFd, 3, report.writeEnd());
    ::execve(program.c_str(), argp.data(), envp.data());
    failInChild(report.writeEnd());
  }
  if (const int e = childError(report)) {
    ::waitpid(pid_, nullptr, 0);
    exited_ = true;
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(e));
  }
}

ChildProcess::~ChildProcess() {
  if (!exited_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

std::optional<int> ChildProcess::waitExit(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!exited_) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (r < 0 && errno == ECHILD) {  // taken by a wait for any child: its code is lost
      exited_ = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= end) return std::nullopt;
    std::this_thread::sleep_for(kLookInterval);
  }
  return code_;
}

void ChildProcess::terminate() {
  if (!exited_) ::kill(pid_, SIGTERM);
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
  terminate();
  if (const auto code = waitExit(grace)) return *code;
  ::kill(pid_, SIGKILL);
  return waitExit(std::chrono::hours(1)).value_or(-1);
}

Pipe::Pipe() {
  if (::pipe2(fds_, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a pipe");
}

Pipe::~Pipe() {
  closeWriteEnd();
  ::close(fds_[0]);
}

void Pipe::closeWriteEnd() {
  if (fds_[1] >= 0) ::close(std::exchange(fds_[1], -1));
}

std::string ReadOutput(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace quorvan::host
