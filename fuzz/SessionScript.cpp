#include "SessionScript.h"

#include <algorithm>

namespace quorvan::fuzz {
namespace {

constexpr std::uint8_t kFineCodes = 64;    // 250 us steps
constexpr std::uint8_t kMediumCodes = 48;  // 2 ms steps from 16 ms
constexpr std::uint64_t kFineUs = 250;
constexpr std::uint64_t kMediumUs = 2000;
constexpr std::uint64_t kCoarseUs = 256'000;
constexpr std::uint64_t kMediumFromUs = kFineCodes * kFineUs;
constexpr std::uint64_t kCoarseFromUs = 128'000;

}  // namespace

std::uint64_t GapUs(std::uint8_t code) {
  code &= 0x7F;
  if (code < kFineCodes) return code * kFineUs;
  code -= kFineCodes;
  if (code < kMediumCodes) return kMediumFromUs + code * kMediumUs;
  code -= kMediumCodes;
  return kCoarseFromUs + code * kCoarseUs;
}

std::uint8_t GapCode(std::uint64_t gapUs) {
  std::uint8_t code = 0;
  while (code < 0x7F && GapUs(static_cast<std::uint8_t>(code + 1)) <= gapUs) ++code;
  return code;
}

std::vector<ScriptByte> ReadScript(std::string_view pairs) {
  std::vector<ScriptByte> script;
  for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
    const auto gap = static_cast<std::uint8_t>(pairs[i]);
    script.push_back(
        {(gap & kAfterServer) != 0, GapUs(gap), static_cast<std::uint8_t>(pairs[i + 1])});
  }
  return script;
}

std::string WriteScript(const sim::SimLine& line) {
  // The server's bytes and the line's releases, as the controller heard them.
  std::vector<std::uint64_t> serverUs;
  for (const auto& b : line.wireLog()) {
    if (b.from == sim::WireEnd::Server && b.heard) serverUs.push_back(b.endUs);
  }
  for (const auto& l : line.levelLog()) {
    if (!l.low) serverUs.push_back(l.atUs);
  }
  std::sort(serverUs.begin(), serverUs.end());
  std::string pairs;
  std::uint64_t previousUs = 0;
  for (const auto& b : line.wireLog()) {
    if (b.from != sim::WireEnd::Vehicle) continue;
    // A reply when the server spoke since the previous byte, not too long before this one.
    const auto spoke = std::upper_bound(serverUs.begin(), serverUs.end(), previousUs);
    const bool reply =
        spoke != serverUs.end() && *spoke <= b.startUs && b.startUs - *spoke <= GapUs(0x7F);
    const std::uint64_t fromUs = reply ? *spoke : previousUs;
    const std::uint8_t code = GapCode(b.startUs - std::min(fromUs, b.startUs));
    pairs.push_back(static_cast<char>(reply ? (code | kAfterServer) : code));
    pairs.push_back(static_cast<char>(b.sent));
    previousUs = b.startUs;
  }
  return pairs;
}

ScriptedController::ScriptedController(sim::SimLine& line, std::vector<ScriptByte> script,
                                       std::function<std::uint32_t()> serverRate)
    : SimEcu(line, sim::SimLine::kDefaultVehicleRate),
      script_(std::move(script)),
      serverRate_(std::move(serverRate)) {}

void ScriptedController::start() {
  lastSendUs_ = nowUs();
  scheduleNext();
}

void ScriptedController::onWireByte(const sim::RxByte& /*byte*/) {
  heardServer();
}

void ScriptedController::onLineLevel(bool low, std::uint64_t /*atUs*/) {
  if (!low) heardServer();
}

// The server spoke: a byte waiting for it counts its gap from now.
void ScriptedController::heardServer() {
  if (!waitingForServer_) return;
  waitingForServer_ = false;
  pending_ = after(script_[next_].gapUs, [this] { sendNext(); });
}

void ScriptedController::scheduleNext() {
  if (finished()) return;
  const ScriptByte& b = script_[next_];
  if (b.afterServer) {
    waitingForServer_ = true;
    return;
  }
  const std::uint64_t atUs = lastSendUs_ + b.gapUs;
  pending_ = after(atUs - std::min(atUs, nowUs()), [this] { sendNext(); });
}

void ScriptedController::sendNext() {
  setBitRate(serverRate_());
  send(std::string(1, static_cast<char>(script_[next_].value)));
  lastSendUs_ = nowUs();
  ++next_;
  scheduleNext();
}

}  // namespace quorvan::fuzz
