#pragma once
// One client session with the server, in the order the server expects: start the comm
// thread (RunTask, then CommStatus(ecuReady)), name the client, choose the device, open
// the port (InitComm, then CommStatus(ecuCommOK)), and at the end close the port
// (InitComm(-1)), after which the server ends once this client's connection has gone.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

#include "host/cli/EcuClient.h"
#include "host/cli/ExitCodes.h"

namespace quorvan::host {

struct SessionOptions {
  // The controller family; left as the server has it when not given.
  std::optional<std::int32_t> device;
  std::int16_t port = 1;
  bool debugMode = false;
  // The caption the server watches for this client; empty: "quorvan <pid>".
  std::string clientName;
  // Longest wait for the comm thread and for the link.
  std::chrono::milliseconds timeout{20000};
};

// A session that cannot go on; exitCode() is what `quorvan` ends with (ExitCodes.h).
class SessionError : public std::runtime_error {
 public:
  explicit SessionError(const std::string& what, int exitCode = exitcode::kFailed)
      : std::runtime_error(what), exitCode_(exitCode) {}
  int exitCode() const { return exitCode_; }

 private:
  int exitCode_;
};

class EcuSession {
 public:
  // onStatus sees every CommStatus of the session but an ecuNoSerialCable that ends open():
  // open()'s error says it.
  EcuSession(EcuClient& client, SessionOptions options,
             std::function<void(std::int32_t)> onStatus = {});
  ~EcuSession();
  EcuSession(const EcuSession&) = delete;
  EcuSession& operator=(const EcuSession&) = delete;

  // Starts the comm thread unless the server already runs one, then names the client and
  // sets the device and debug mode. One server serves one client: a server that carries
  // another client's name (one that has just left, so that it is ending, or one still
  // there) is waited for to end, and a new one started. Throws SessionError when the
  // server does not start or stays busy with another client.
  void start();
  // Opens the port and waits for the link to come up (LinkUpStatus). Throws SessionError at once
  // when the server cannot open the port (naming the device it leads to and why), and with the last
  // status seen when the link does not come up in time.
  void open();
  // Closes the port (also when open() was not called: it arms the server's watchdog, whose
  // presence check ends the server once this client has gone), not waiting for the
  // answer. Further calls do nothing.
  void close();

  std::int32_t lastStatus() const { return lastStatus_; }
  const SessionOptions& options() const { return options_; }

 private:
  // Makes the call, then hands on signals until `status` has come (false: it has not in
  // time).
  bool callAndAwait(const std::function<void()>& call, std::int32_t status);
  // Hands on signals until signalled() holds or, looked at now and then, lookedAt() does
  // (false: neither in time, or interrupted).
  bool lookUntil(const std::function<bool()>& signalled, const std::function<bool()>& lookedAt);
  std::string serversClientName();
  void awaitOwnServer();

  EcuClient& client_;
  SessionOptions options_;
  std::function<void(std::int32_t)> onStatus_;
  std::int32_t lastStatus_ = -1;
  bool seen_ = false;
  std::int32_t awaited_ = -1;
  bool reached_ = false;
  bool portRefused_ = false;  // open(): the server reported ecuNoSerialCable
  bool started_ = false;
};

// The status that says the link is up: ecuCommOK, except on MSE 1.1, whose session starts
// with the client's first flash request: there ecuInitializing (the line echoes and the
// controller's path has taken it over).
std::int32_t LinkUpStatus(std::optional<std::int32_t> device);

// "ecuCommOK" for 7; "status N" for values the enumeration does not name.
std::string StatusName(std::int32_t status);
// "flashReady" for 2; "flash state N" for others.
std::string FlashModeName(std::int32_t mode);

}  // namespace quorvan::host
