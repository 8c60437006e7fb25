#include "host/cli/EcuSession.h"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "client/Enums.h"
#include "host/cli/ClientOutput.h"
#include "host/cli/SessionBusDaemon.h"
#include "host/common/BusNames.h"
#include "platform/PortsDirectory.h"
#include "platform/PosixSerial.h"

namespace quorvan::host {

namespace {
constexpr const char* kNoReplyError = "org.freedesktop.DBus.Error.NoReply";
// How often a wait looks at what it cannot be told by a signal.
constexpr std::chrono::milliseconds kLookAgain{250};

constexpr std::array<const char*, 14> kStatusNames = {
    "ecuReady",         "ecuNoCable",       "ecuNoPower",      "ecuNoCableOrPower",
    "ecuNoComm",        "ecuCableDetected", "ecuInitializing", "ecuCommOK",
    "ecuCommLost",      "ecuRunSwitchOff",  "ecuFinished",     "ecuWrongCable",
    "ecuNoSerialCable", "ecuNoVehicleCable"};
constexpr std::array<const char*, 10> kFlashModeNames = {
    "flashIdle",          "flashBusy",        "flashReady",       "flashFailedPrep",
    "flashFailedUnlock",  "flashFailedErase", "flashFailedWrite", "flashFailedVerify",
    "flashFailedLowBatt", "flashFailedNoPE"};

template <std::size_t N>
std::string nameIn(const std::array<const char*, N>& names, std::int32_t value,
                   const char* otherwise) {
  if (value >= 0 && static_cast<std::size_t>(value) < N)
    return names[static_cast<std::size_t>(value)];
  return fmt::format("{} {}", otherwise, value);
}
}  // namespace

std::int32_t LinkUpStatus(std::optional<std::int32_t> device) {
  return device == ecuMSE11 ? ecuInitializing : ecuCommOK;
}

std::string StatusName(std::int32_t status) {
  return nameIn(kStatusNames, status, "status");
}

std::string FlashModeName(std::int32_t mode) {
  return nameIn(kFlashModeNames, mode, "flash state");
}

EcuSession::EcuSession(EcuClient& client, SessionOptions options,
                       std::function<void(std::int32_t)> onStatus)
    : client_(client), options_(std::move(options)), onStatus_(std::move(onStatus)) {
  if (options_.clientName.empty()) options_.clientName = fmt::format("quorvan {}", ::getpid());
  client_.events().commStatus = [this](std::int32_t status) {
    lastStatus_ = status;
    seen_ = true;
    if (status == awaited_) reached_ = true;  // even if another status follows at once
    if (status == ecuNoSerialCable && awaited_ == LinkUpStatus(options_.device)) {
      portRefused_ = true;  // open() fails with a line that says why
      return;
    }
    if (onStatus_) onStatus_(status);
  };
}

EcuSession::~EcuSession() {
  try {
    close();
  } catch (const std::exception&) {
    // The server may have gone already; it ends by itself either way.
  }
  client_.events().commStatus = nullptr;
}

bool EcuSession::callAndAwait(const std::function<void()>& call, std::int32_t status) {
  awaited_ = status;
  reached_ = false;
  call();
  const bool done = lookUntil([&] { return reached_ || portRefused_; }, [] { return false; });
  awaited_ = -1;
  reached_ = false;
  return done;
}

bool EcuSession::lookUntil(const std::function<bool()>& signalled,
                           const std::function<bool()>& lookedAt) {
  const auto deadline = std::chrono::steady_clock::now() + options_.timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (client_.waitUntil(signalled, std::min(left, kLookAgain)) || lookedAt()) return true;
    if (left <= kLookAgain || Interruption::raised()) return false;
  }
}

std::string EcuSession::serversClientName() {
  try {
    return client_.ClientName();  // this call starts a server when none runs
  } catch (const sdbus::Error& e) {
    // A server that ended just as it was asked does not answer; the next call starts another.
    if (e.getName() != kNoReplyError) throw;
    return client_.ClientName();
  }
}

void EcuSession::awaitOwnServer() {
  const std::string name = serversClientName();
  if (name.empty() || name == options_.clientName) return;
  if (!lookUntil([] { return false; },
                 [&] { return !NameHasOwner(client_.connection(), kBusName); })) {
    throw SessionError(
        fmt::format("the server is still busy with another client ('{}'): try again once it "
                    "has finished",
                    Printable(name)),
        exitcode::kNoServer);
  }
}

void EcuSession::start() {
  awaitOwnServer();
  auto& server = client_.proxy();
  if (!server.Ready()) {  // this call also starts the server
    if (!callAndAwait([&] { server.RunTask(true); }, ecuReady) && !server.Ready()) {
      throw SessionError(
          "the server's comm thread did not start (run with --debug and see its "
          "messages in the journal)",
          exitcode::kNoServer);
    }
  }
  client_.setClientName(options_.clientName);
  if (options_.device) server.Device(*options_.device);
  if (options_.debugMode) server.DebugMode(true);
  started_ = true;
}

void EcuSession::open() {
  seen_ = false;
  portRefused_ = false;
  const bool up =
      callAndAwait([&] { client_.proxy().InitComm(options_.port); }, LinkUpStatus(options_.device));
  if (portRefused_) {
    // The server traces the system's reason; the port mapping is the same here, so the
    // device it tried can be looked at from this side.
    throw SessionError(
        fmt::format("the server cannot open port {}: {} (quorvan ports lists the free ones)",
                    options_.port,
                    DescribeUnopenedPort(PortsDirectory::fromEnvironment(), options_.port)),
        exitcode::kNoLink);
  }
  if (up) return;
  if (Interruption::raised()) throw SessionError("interrupted", exitcode::kInterrupted);
  throw SessionError(
      fmt::format("the link on port {} did not come up within {} s (last status: {}): check the "
                  "cable, the ignition and --device",
                  options_.port,
                  std::chrono::duration_cast<std::chrono::seconds>(options_.timeout).count(),
                  seen_ ? StatusName(lastStatus_) : "none"),
      exitcode::kNoLink);
}

void EcuSession::close() {
  if (!started_) return;
  started_ = false;
  client_.closePortWithoutWaiting();
}

}  // namespace quorvan::host
