#include "host/cli/ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

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

// posix_spawn's attribute and file-action objects, released on every path.
struct SpawnSetup {
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  void writeTo(int fd, const std::filesystem::path& file) {
    posix_spawn_file_actions_addopen(&actions, fd, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
};

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& env,
                           const std::optional<std::filesystem::path>& out,
                           const std::optional<std::filesystem::path>& err, int extraFd,
                           bool ownProcessGroup) {
  if (argv.empty()) throw std::invalid_argument("no program to start");
  std::vector<std::string> envStrings = mergedEnvironment(env);
  std::vector<char*> envp = pointersTo(envStrings);
  std::vector<std::string> args = argv;
  std::vector<char*> argp = pointersTo(args);

  SpawnSetup setup;
  if (out) setup.writeTo(1, *out);
  if (err) setup.writeTo(2, *err);
  if (extraFd >= 0) posix_spawn_file_actions_adddup2(&setup.actions, extraFd, 3);
  if (ownProcessGroup) {
    posix_spawnattr_setpgroup(&setup.attributes, 0);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETPGROUP);
  }
  if (posix_spawnp(&pid_, argp[0], &setup.actions, &setup.attributes, argp.data(), envp.data()) !=
      0) {
    throw std::runtime_error("cannot start " + argv[0]);
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

std::string ReadOutput(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace quorvan::host
