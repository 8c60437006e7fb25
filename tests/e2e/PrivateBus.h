#pragma once
// A session bus of a test's own: a dbus-daemon on a temporary directory, whose only
// service directory is that of a temporary XDG_DATA_HOME, and programs run against it.
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/cli/ChildProcess.h"
#include "host/cli/SessionBusDaemon.h"

namespace quorvan::testing {

using Child = host::ChildProcess;

inline std::string ReadFile(const std::filesystem::path& file) {
  return host::ReadOutput(file);
}

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
        serviceDir_(dir / "xdg" / "dbus-1" / "services"),
        env_{{"XDG_DATA_HOME", (dir / "xdg").string()},
             {"QUORVAN_DRIVE_C", (dir / "drive-c").string()},
             {"QUORVAN_PORTS", (dir / "ports").string()}} {
    std::filesystem::create_directories(dir / "ports");
    // The activated server inherits the daemon's environment: keep its files in here.
    daemon_.emplace(dir, serviceDir_, env_);
    env_["DBUS_SESSION_BUS_ADDRESS"] = daemon_->address();
    ::setenv("DBUS_SESSION_BUS_ADDRESS", daemon_->address().c_str(), 1);
  }

  const std::string& address() const { return daemon_->address(); }
  const std::filesystem::path& serviceDir() const { return serviceDir_; }
  // The environment programs get: the bus, and XDG_DATA_HOME, drive C and the ports
  // directory inside the test's directory.
  const std::map<std::string, std::string>& env() const { return env_; }
  std::string log() const { return daemon_->log(); }

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
  std::filesystem::path dir_;
  std::filesystem::path serviceDir_;
  std::map<std::string, std::string> env_;
  std::optional<host::SessionBusDaemon> daemon_;
};

}  // namespace quorvan::testing
