#include "host/EcuSession.h"

#include <fmt/format.h>
#include <unistd.h>

#include <array>

#include "client/Enums.h"

namespace quorvan::host {

namespace {
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
  const bool reached = client_.waitUntil([&] { return reached_; }, options_.timeout);
  awaited_ = -1;
  reached_ = false;
  return reached;
}

void EcuSession::start() {
  auto& server = client_.proxy();
  if (!server.Ready()) {  // this call also starts the server
    if (!callAndAwait([&] { server.RunTask(true); }, ecuReady) && !server.Ready()) {
      throw SessionError("the server's comm thread did not start");
    }
  }
  client_.setClientName(options_.clientName);
  if (options_.device) server.Device(*options_.device);
  if (options_.debugMode) server.DebugMode(true);
  started_ = true;
}

void EcuSession::open() {
  seen_ = false;
  if (callAndAwait([&] { client_.proxy().InitComm(options_.port); }, ecuCommOK)) return;
  if (Interruption::raised()) throw SessionError("interrupted");
  throw SessionError(fmt::format(
      "the link on port {} did not come up within {} s (last status: {})", options_.port,
      std::chrono::duration_cast<std::chrono::seconds>(options_.timeout).count(),
      seen_ ? StatusName(lastStatus_) : "none"));
}

void EcuSession::close() {
  if (!started_) return;
  started_ = false;
  client_.proxy().InitComm(-1);
}

}  // namespace quorvan::host
