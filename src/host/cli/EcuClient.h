#pragma once
// The client side of the bus: calls the server's class and hands its signals on. It has
// no thread of its own: signals are dispatched while the caller waits in waitUntil(), or
// by dispatchPending(). The first call starts the server through D-Bus activation.
// Texts are byte strings here (the bus carries them through the text mapping).
#include <sdbus-c++/sdbus-c++.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/Variant.h"
#include "dbus/EcuQuorvanBT1Proxy.h"

namespace quorvan::host {

// Handlers for the server's events; unset ones are ignored.
struct EcuEvents {
  std::function<void(std::int32_t signal)> commStatus;
  std::function<void(std::int16_t itemNum, std::int32_t timeStamp, const Variant& rawData)> newData;
  std::function<void(std::int16_t itemNum, std::int32_t timeStamp, const std::string& faults)>
      newFaults;
  std::function<void(std::int16_t itemNum, std::int32_t timeStamp, std::int32_t rawFlags)> newFlags;
  std::function<void(bool success)> faultsCleared;
  std::function<void(bool success)> commandComplete;
  std::function<void(const std::string& note)> damnIt;
};

// Set from a signal handler (Ctrl-C): waits end early and report it.
class Interruption {
 public:
  // Catches SIGINT, SIGTERM and SIGHUP so that a wait ends instead of the process.
  static void catchSignals();
  static bool raised();
};

// Whether a call failed because its answer did not come in time.
bool IsUnanswered(const sdbus::Error& error);

class EcuClient {
 public:
  using Proxy = org::quorvan::EcuQuorvanBT1::clsBoschECU_proxy;
  // Calls that run the line (an initialisation, a port scan, an erase) may take a while.
  static constexpr std::chrono::milliseconds kLongestCall{120'000};
  // The bus takes a timeout of 0 for "its default".
  static constexpr std::chrono::milliseconds kShortestCall{1};

  // On the session bus. A call waits `callTimeout` at most for its answer, then throws
  // an sdbus::Error that IsUnanswered() recognises.
  explicit EcuClient(std::chrono::milliseconds callTimeout = kLongestCall);
  explicit EcuClient(std::unique_ptr<sdbus::IConnection> connection,
                     std::chrono::milliseconds callTimeout = kLongestCall);
  ~EcuClient();
  EcuClient(const EcuClient&) = delete;
  EcuClient& operator=(const EcuClient&) = delete;

  EcuEvents& events() { return events_; }
  sdbus::IConnection& connection() { return *connection_; }
  // The generated proxy, for members this class does not wrap.
  Proxy& proxy();

  // Server members with texts as byte strings.
  void setClientName(const std::string& name);
  std::string ClientName();
  std::string idHardware();
  std::string idSoftware();
  std::string idCustomer();
  std::string ecuResults();
  Variant Results();
  std::string GetInfo(std::int16_t index);
  void TellClient(const std::string& note);
  void FlashWrite(const std::string& block);
  Variant FlashIdent();
  // InitComm(-1) without waiting for the answer: a client that leaves has no use for it,
  // and must not hang on a server that has stopped answering.
  void closePortWithoutWaiting();

  // Runs `calls` with their answers awaited until `deadline` at most (and never longer
  // than the call timeout), for calls made within a wait of their own.
  template <typename Calls>
  decltype(auto) answeredBy(std::chrono::steady_clock::time_point deadline, Calls calls) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    connection_->setMethodCallTimeout(std::max(std::min(left, callTimeout_), kShortestCall));
    const RestoredCallTimeout restored(*this);
    return calls();
  }

  // Hands on the signals that have arrived.
  void dispatchPending();
  // Hands on signals as they come until done() holds, the time is up or the process is
  // interrupted. Returns done()'s last value.
  bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

 private:
  class BusProxy;
  struct RestoredCallTimeout {
    explicit RestoredCallTimeout(EcuClient& c) : client(c) {}
    ~RestoredCallTimeout() { client.connection_->setMethodCallTimeout(client.callTimeout_); }
    RestoredCallTimeout(const RestoredCallTimeout&) = delete;
    RestoredCallTimeout& operator=(const RestoredCallTimeout&) = delete;
    EcuClient& client;
  };

  std::chrono::milliseconds callTimeout_;
  std::unique_ptr<sdbus::IConnection> connection_;
  EcuEvents events_;
  std::unique_ptr<BusProxy> proxy_;
};

}  // namespace quorvan::host
