#pragma once
// A session bus of a test's own: a dbus-daemon on a temporary directory, whose only
// service directory is that of a temporary XDG_DATA_HOME, and programs run against it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace quorvan::testing {

inline std::string ReadFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A child process; killed when dropped while still running.
class Child {
 public:
  // Runs argv[0] (looked up in PATH) with this process's environment changed by `env`; standard
  // output and error go to the files given (else they are inherited). `extraFd` becomes
  // descriptor 3 of the child when set.
  Child(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
        const std::optional<std::filesystem::path>& out = std::nullopt,
        const std::optional<std::filesystem::path>& err = std::nullopt, int extraFd = -1) {
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e; ++e) {
      const std::string entry = *e;
      const auto eq = entry.find('=');
      if (eq != std::string::npos) merged[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& [k, v] : env) merged[k] = v;
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : merged) envStrings.push_back(k + "=" + v);
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out) {
      posix_spawn_file_actions_addopen(&actions, 1, out->c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
    }
    if (err) {
      posix_spawn_file_actions_addopen(&actions, 2, err->c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
    }
    if (extraFd >= 0) posix_spawn_file_actions_adddup2(&actions, extraFd, 3);
    const int rc = posix_spawnp(&pid_, argp[0], &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  }
  ~Child() {
    if (!exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }

  // The exit code (or 128 + signal) once the child has ended; nothing if it is still
  // running after `limit`.
  std::optional<int> waitExit(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!exited_) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exited_ = true;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() >= end) return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return code_;
  }

  void terminate() {
    if (!exited_) ::kill(pid_, SIGTERM);
  }

 private:
  pid_t pid_ = -1;
  bool exited_ = false;
  int code_ = -1;
};

// What a finished program said.
struct RunResult {
  int code = -1;
  std::string out;
  std::string err;
};

class PrivateBus {
 public:
  explicit PrivateBus(const std::filesystem::path& dir)
      : dir_(dir),
        xdgDataHome_(dir / "xdg"),
        serviceDir_(xdgDataHome_ / "dbus-1" / "services"),
        env_{{"XDG_DATA_HOME", xdgDataHome_.string()},
             {"QUORVAN_DRIVE_C", (dir / "drive-c").string()},
             {"QUORVAN_PORTS", (dir / "ports").string()}} {
    // Servers the bus starts are orphaned when it stops: they come to us to be reaped.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::filesystem::create_directories(serviceDir_);
    std::filesystem::create_directories(dir / "ports");
    const auto config = dir / "session.conf";
    std::ofstream(config)
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:dir="
        << dir.string()
        << "</listen>\n"
           "  <servicedir>"
        << serviceDir_.string()
        << "</servicedir>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    // The activated server inherits the daemon's environment: keep its files in here.
    daemon_.emplace(
        std::vector<std::string>{"dbus-daemon", "--nofork", "--config-file=" + config.string(),
                                 "--print-address=3"},
        env_, dir / "bus.log", dir / "bus.log", pipeFds[1]);
    ::close(pipeFds[1]);
    address_ = readLine(pipeFds[0], std::chrono::seconds(20));
    ::close(pipeFds[0]);
    if (address_.empty()) throw std::runtime_error("the bus daemon did not start");
    env_["DBUS_SESSION_BUS_ADDRESS"] = address_;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
  }
  ~PrivateBus() {
    daemon_->terminate();
    daemon_->waitExit(std::chrono::seconds(10));
    reapOrphans(std::chrono::seconds(10));
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  const std::string& address() const { return address_; }
  const std::filesystem::path& serviceDir() const { return serviceDir_; }
  // The environment programs get: the bus, and XDG_DATA_HOME, drive C and the ports
  // directory inside the test's directory.
  const std::map<std::string, std::string>& env() const { return env_; }
  std::string log() const { return ReadFile(dir_ / "bus.log"); }

  // Runs a program to its end (at most `limit`).
  RunResult run(const std::vector<std::string>& argv,
                std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    const auto out = dir_ / "run.out";
    const auto err = dir_ / "run.err";
    Child child(argv, env_, out, err);
    RunResult result;
    if (auto code = child.waitExit(limit)) result.code = *code;
    result.out = ReadFile(out);
    result.err = ReadFile(err);
    return result;
  }

 private:
  // A server the bus started ends when it loses the bus.
  static void reapOrphans(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      const pid_t r = ::waitpid(-1, nullptr, WNOHANG);
      if (r < 0) return;  // no children left
      if (r == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  static std::string readLine(int fd, std::chrono::milliseconds limit) {
    std::string line;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      char c = 0;
      if (::read(fd, &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    return {};
  }

  std::filesystem::path dir_;
  std::filesystem::path xdgDataHome_;
  std::filesystem::path serviceDir_;
  std::map<std::string, std::string> env_;
  std::string address_;
  std::optional<Child> daemon_;
};

}  // namespace quorvan::testing
