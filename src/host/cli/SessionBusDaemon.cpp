#include "host/cli/SessionBusDaemon.h"

#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sdbus-c++/IProxy.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace quorvan::host {

namespace {

using std::chrono::milliseconds;

constexpr std::chrono::seconds kStartLimit{20};
constexpr std::chrono::seconds kStopLimit{10};
constexpr const char* kDaemonName = "org.freedesktop.DBus";
constexpr const char* kDaemonPath = "/org/freedesktop/DBus";

void writeConfig(const std::filesystem::path& file, const std::filesystem::path& dir,
                 const std::filesystem::path& serviceDir) {
  std::ofstream(file)
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig>\n"
         "  <type>session</type>\n"
         "  <listen>unix:dir="
      << dir.string()
      << "</listen>\n"
         "  <servicedir>"
      << serviceDir.string()
      << "</servicedir>\n"
         "  <policy context=\"default\">\n"
         "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
         "    <allow eavesdrop=\"true\"/>\n"
         "    <allow own=\"*\"/>\n"
         "  </policy>\n"
         "</busconfig>\n";
}

// One line from `fd`; empty when none comes in time.
std::string readLine(int fd, milliseconds limit) {
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

// Servers the bus started are orphaned when it stops and come to us (the subreaper).
void reapOrphans(milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    const pid_t r = ::waitpid(-1, nullptr, WNOHANG);
    if (r < 0) return;  // no children left
    if (r == 0) std::this_thread::sleep_for(milliseconds(10));
  }
}

std::unique_ptr<sdbus::IProxy> daemonProxy(sdbus::IConnection& connection) {
  return sdbus::createProxy(connection, kDaemonName, kDaemonPath);
}

}  // namespace

SessionBusDaemon::SessionBusDaemon(const std::filesystem::path& dir,
                                   const std::filesystem::path& serviceDir,
                                   const std::map<std::string, std::string>& env)
    : logFile_(dir / "bus.log") {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  std::filesystem::create_directories(serviceDir);
  const auto config = dir / "session.conf";
  writeConfig(config, dir, serviceDir);
  Pipe address;
  daemon_.emplace(std::vector<std::string>{"dbus-daemon", "--nofork",
                                           "--config-file=" + config.string(), "--print-address=3"},
                  env, logFile_, logFile_, address.writeEnd(), true);
  address.closeWriteEnd();
  address_ = readLine(address.readEnd(), kStartLimit);
  if (address_.empty()) throw std::runtime_error("the bus daemon did not start: " + log());
}

SessionBusDaemon::~SessionBusDaemon() {
  daemon_->stop(kStopLimit);
  daemon_.reset();
  reapOrphans(kStopLimit);
}

std::string SessionBusDaemon::log() const {
  return ReadOutput(logFile_);
}

bool NameHasOwner(sdbus::IConnection& connection, const std::string& name) {
  bool owned = false;
  daemonProxy(connection)
      ->callMethod("NameHasOwner")
      .onInterface(kDaemonName)
      .withArguments(name)
      .storeResultsTo(owned);
  return owned;
}

bool IsActivatable(sdbus::IConnection& connection, const std::string& name) {
  std::vector<std::string> names;
  daemonProxy(connection)
      ->callMethod("ListActivatableNames")
      .onInterface(kDaemonName)
      .storeResultsTo(names);
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace quorvan::host
