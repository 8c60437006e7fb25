#pragma once
// Pieces the commands of `quorvan` share.
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/cli/EcuClient.h"
#include "host/cli/EcuSession.h"
#include "host/cli/QuorvanCli.h"

namespace quorvan::host {

// Event handlers set for one command, taken back when it ends: they refer to its locals.
class ScopedEvents {
 public:
  explicit ScopedEvents(EcuClient& client) : events_(client.events()), saved_(events_) {}
  ~ScopedEvents() { events_ = saved_; }
  ScopedEvents(const ScopedEvents&) = delete;
  ScopedEvents& operator=(const ScopedEvents&) = delete;
  EcuEvents& operator*() { return events_; }

 private:
  EcuEvents& events_;
  EcuEvents saved_;
};

std::chrono::milliseconds SecondsToMs(double seconds);

// The session the command line asks for.
SessionOptions SessionOptionsFor(const CliOptions& o);

// idHardware, idSoftware and idCustomer, one line each, on standard output.
void PrintIdentification(EcuClient& client);
// The same as JSON members (bytes that are no printable ASCII as \xNN).
nlohmann::json IdentificationJson(EcuClient& client);
// One JSON document on one line of standard output, written out at once.
void PrintJson(const nlohmann::json& document);

// Keeps `drawing` on standard output, redrawn in place whenever it changes while the
// server's signals are handed on, until the time is up or (also without a time) the
// process is interrupted. Off a terminal only the last drawing is printed.
void ShowLive(EcuClient& client, std::optional<double> seconds,
              const std::function<std::vector<std::string>()>& drawing);

}  // namespace quorvan::host
