#pragma once
// The real server, as a client meets it: a session bus of our own in a fresh directory,
// the server registered there and started by D-Bus activation at the client's first
// call, and a client of the bus in this process.
#include <sdbus-c++/sdbus-c++.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "e2e/PrivateBus.h"
#include "host/cli/EcuClient.h"
#include "host/common/BusNames.h"
#include "support/ServerWorld.h"

namespace quorvan::bench {

inline constexpr const char* kServerProgram = QUORVAN_SERVER_EXE;

// The processor time a process has used so far, in seconds.
inline double ProcessCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Fields after the command name (which may hold blanks) start with the state, field 3;
  // user and system time are fields 14 and 15, in clock ticks.
  const auto close = stat.rfind(')');
  if (close == std::string::npos)
    throw std::runtime_error("no such process: " + std::to_string(pid));
  std::istringstream fields(stat.substr(close + 2));
  std::string skip;
  for (int field = 3; field < 14; ++field) fields >> skip;
  double user = 0;
  double system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

class ServerRig {
 public:
  ServerRig() : dir_(testing::FreshTempDir()), bus_(dir_) {
    const testing::RunResult r = bus_.run({kServerProgram, "--regserver"});
    if (r.code != 0) throw std::runtime_error("EcuQuorvanBT --regserver failed: " + r.err);
    client_.emplace();
  }
  ~ServerRig() {
    client_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  ServerRig(const ServerRig&) = delete;
  ServerRig& operator=(const ServerRig&) = delete;

  // Where a simulator publishes the ports the server finds.
  std::filesystem::path portsDir() const { return dir_ / "ports"; }
  host::EcuClient& client() { return *client_; }

  // The server's process, once it has been started.
  pid_t serverPid() {
    std::uint32_t pid = 0;
    sdbus::createProxy(client_->connection(), "org.freedesktop.DBus", "/org/freedesktop/DBus")
        ->callMethod("GetConnectionUnixProcessID")
        .onInterface("org.freedesktop.DBus")
        .withArguments(std::string(host::kBusName))
        .storeResultsTo(pid);
    return static_cast<pid_t>(pid);
  }

 private:
  std::filesystem::path dir_;
  testing::PrivateBus bus_;
  std::optional<host::EcuClient> client_;
};

}  // namespace quorvan::bench
