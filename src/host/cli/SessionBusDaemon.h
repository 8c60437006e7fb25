#pragma once
// A session bus of our own: a dbus-daemon listening in a directory of ours, whose only
// service directory is one we name (where an activation file written with an XDG_DATA_HOME
// of ours lands). The demo runs on one when no session bus is there; the end-to-end tests
// run on one each.
#include <sdbus-c++/IConnection.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>

#include "host/cli/ChildProcess.h"

namespace quorvan::host {

class SessionBusDaemon {
 public:
  // Starts the daemon in `dir` (its configuration, socket and log go there). `env`
  // changes the environment it runs in, which every server it activates inherits. Throws
  // std::runtime_error when it does not come up.
  SessionBusDaemon(const std::filesystem::path& dir, const std::filesystem::path& serviceDir,
                   const std::map<std::string, std::string>& env);
  // Stops the daemon and waits (a while) for the servers it started, which end when they
  // lose the bus.
  ~SessionBusDaemon();
  SessionBusDaemon(const SessionBusDaemon&) = delete;
  SessionBusDaemon& operator=(const SessionBusDaemon&) = delete;

  const std::string& address() const { return address_; }
  // What the daemon logged (activations, and the output of the servers it started).
  std::string log() const;

 private:
  std::filesystem::path logFile_;
  std::string address_;
  std::optional<ChildProcess> daemon_;
};

// The bus daemon's answers about a well-known name.
bool NameHasOwner(sdbus::IConnection& connection, const std::string& name);
bool IsActivatable(sdbus::IConnection& connection, const std::string& name);

}  // namespace quorvan::host
