#include "sim/VisteonEcu.h"

#include <algorithm>
#include <utility>

namespace quorvan::sim {

using visteon::ByteAt;
using visteon::Bytes;
using visteon::Positive;
namespace sid = visteon::sid;
namespace nrc = visteon::nrc;
namespace routine = visteon::routine;

namespace {

constexpr std::uint64_t kPauseByteTimes = 3;  // the silence that ends a request
constexpr std::size_t kFaultsPerPacket = 3;
constexpr std::size_t kLoggedPackets = 4;
constexpr std::size_t kSoftwareIdSize = 4;
constexpr std::uint8_t kIdentificationPid = 0x00;
constexpr std::uint8_t kFreezeFrameFaultPid = 0x02;
constexpr std::uint8_t kEngineSpeedPid = 0x0C;

bool isDiagnosticRoutine(std::uint8_t r) {
  return r == 0x00 || r == 0x02 || r == 0x03;
}

// Reflash services other than ping, prepare and seed/key need the security unlock.
bool needsUnlock(const std::string& data) {
  const std::uint8_t service = ByteAt(data, 0);
  if (service >= sid::kRequestDownload && service <= sid::kTransferExit) return true;
  if ((service != sid::kStartRoutine && service != sid::kStopRoutine) || data.size() < 2) {
    return false;
  }
  const std::uint8_t r = ByteAt(data, 1);
  return r >= routine::kErase && r <= routine::kVerify;
}

std::string valueBytes(std::uint16_t value, bool wide) {
  return wide ? Bytes({value >> 8, value}) : Bytes({value});
}

std::string fitted(std::string_view text, std::size_t size, char pad) {
  std::string s(text.substr(0, size));
  s.resize(size, pad);
  return s;
}

}  // namespace

VisteonEcu::VisteonEcu(SimLine& line, VisteonConfig config)
    : SimEcu(line, kBaseBitRate),
      config_(config),
      timers_(line.scheduler()),
      random_(config.randomSeed),
      flash_(visteon::kFlashBaseAddress, config.flashBlocks),
      softwareId_(Bytes({0xBE, 0x1F, 0xB8, 0x10})),
      pids_{{0x04, 0x40}, {0x05, 0x7B}, {0x0B, 0x21}, {0x0C, 0x1AF8},
            {0x0D, 0x00}, {0x0F, 0x46}, {0x11, 0x24}},
      freezeFrame_{{0x02, 0x0123}, {0x05, 0x8C}, {0x0C, 0x2EE0}, {0x0D, 0x3C}},
      faults_{0x0123, 0x0133} {
  setCalibrationText("PVM-100 VICTORY V92C 1507cc SFI  CAL 02A7-EU3  BASE MAP REV 4");
}

void VisteonEcu::setSoftwareId(std::string_view fourBytes) {
  softwareId_ = fitted(fourBytes, kSoftwareIdSize, '\0');
}

std::optional<std::uint16_t> VisteonEcu::pid(std::uint8_t pid) const {
  const auto it = pids_.find(pid);
  return it == pids_.end() ? std::nullopt : std::optional(it->second);
}

std::optional<std::uint16_t> VisteonEcu::freezeFrame(std::uint8_t pid) const {
  const auto it = freezeFrame_.find(pid);
  return it == freezeFrame_.end() ? std::nullopt : std::optional(it->second);
}

void VisteonEcu::setRoutineResult(std::uint8_t routine, std::uint8_t result) {
  routineResults_[routine] = result;
}

std::uint8_t VisteonEcu::routineResult(std::uint8_t routine) const {
  const auto it = routineResults_.find(routine);
  return it == routineResults_.end() ? 0 : it->second;
}

void VisteonEcu::setCalibrationText(std::string_view text) {
  calText_ = fitted(text, kCalTextSize, ' ');
}

void VisteonEcu::injectNegative(int service, std::uint8_t code, int times) {
  injections_.add(service, {visteon::Misbehaviour::Kind::Negative, code, 0}, times);
}

void VisteonEcu::injectBusy(int service, int times) {
  injectNegative(service, nrc::kBusyRepeatRequest, times);
}

void VisteonEcu::injectRoutineNotComplete(int service, int times) {
  injectNegative(service, nrc::kRoutineNotComplete, times);
}

void VisteonEcu::injectSilence(int service, int times) {
  injections_.add(service, {visteon::Misbehaviour::Kind::Silent, 0, 0}, times);
}

void VisteonEcu::injectLateReply(int service, std::uint64_t lateUs, int times) {
  injections_.add(service, {visteon::Misbehaviour::Kind::Late, 0, lateUs}, times);
}

void VisteonEcu::injectGarbledReply(int service, std::size_t packet, int times) {
  visteon::Misbehaviour what{visteon::Misbehaviour::Kind::Garbled};
  what.packet = packet;
  injections_.add(service, what, times);
}

void VisteonEcu::injectCorruptedReply(int service, std::size_t packet, int times) {
  visteon::Misbehaviour what{visteon::Misbehaviour::Kind::Corrupted};
  what.packet = packet;
  injections_.add(service, what, times);
}

void VisteonEcu::injectTruncatedReply(int service, std::size_t keepBytes, std::size_t packet,
                                      int times) {
  visteon::Misbehaviour what{visteon::Misbehaviour::Kind::Truncated};
  what.packet = packet;
  what.keep = keepBytes;
  injections_.add(service, what, times);
}

void VisteonEcu::clearInjections() {
  injections_.clear();
  resetAfterTransfers_.reset();
}

void VisteonEcu::reset() {
  endSession();
  ++restarts_;
  awakeAtUs_ = nowUs() + config_.bootTimeUs;
}

void VisteonEcu::onPowerLost() {
  endSession();
  ++restarts_;
}

void VisteonEcu::onPowerRestored() {
  awakeAtUs_ = nowUs() + config_.bootTimeUs;
}

void VisteonEcu::endSession() {
  if (erasing()) interruptErase();
  timers_.cancelAll();
  session_ = Session{};
  receiver_ = Receiver{};
  setBitRate(kBaseBitRate);
}

void VisteonEcu::onWireByte(const RxByte& byte) {
  if (booting()) return;
  if (!byte.decoded()) {
    // At the reflash rate this means the tester went back to the base rate.
    if (rxBitRate() != kBaseBitRate) endSession();
    receiver_.bytes.clear();
    return;
  }
  receiver_.bytes.push_back(static_cast<char>(byte.value));
  receiver_.lastByteUs = byte.atUs;
  // Transfer packets come back to back: take each as soon as it is complete.
  if (visteon::IsWholeGeneralPacket(receiver_.bytes) &&
      ByteAt(receiver_.bytes, visteon::kHeaderSize) == sid::kTransferData) {
    const std::string packet = std::exchange(receiver_.bytes, {});
    takePacket(packet, byte.atUs);
    return;
  }
  watchForRequestEnd();
}

void VisteonEcu::watchForRequestEnd() {
  if (receiver_.endWatched) return;
  receiver_.endWatched = true;
  const std::uint64_t pauseUs = FramesDurationUs(kPauseByteTimes, rxBitRate());
  timers_.at(receiver_.lastByteUs + pauseUs, [this] { onPause(); });
}

void VisteonEcu::onPause() {
  receiver_.endWatched = false;
  if (receiver_.bytes.empty()) return;
  const std::uint64_t pauseUs = FramesDurationUs(kPauseByteTimes, rxBitRate());
  if (nowUs() < receiver_.lastByteUs + pauseUs) {  // more bytes came meanwhile
    watchForRequestEnd();
    return;
  }
  const std::string heard = std::exchange(receiver_.bytes, {});
  const std::uint64_t lastByteUs = receiver_.lastByteUs;
  const std::vector<std::string> packets = visteon::SplitPackets(heard);
  if (packets.empty()) ++badPackets_;
  for (const std::string& packet : packets) {
    if (booting()) return;  // a request before this one reset the controller
    takePacket(packet, lastByteUs);
  }
}

void VisteonEcu::takePacket(std::string_view packet, std::uint64_t lastByteUs) {
  std::optional<visteon::Request> request = visteon::DecodeRequest(packet);
  if (!request) {
    ++badPackets_;
    return;
  }
  serve({std::move(*request), lastByteUs + config_.replyDelayUs});
}

void VisteonEcu::serve(Exchange exchange) {
  using Kind = visteon::Misbehaviour::Kind;
  const std::string& data = exchange.request.data;
  const std::uint8_t service = ByteAt(data, 0);
  const std::optional<visteon::Misbehaviour> misbehaviour = injections_.take(service);
  if (misbehaviour && misbehaviour->kind == Kind::Silent) return;
  if (misbehaviour && misbehaviour->kind == Kind::Negative) {
    sendReply(exchange, negative(service, misbehaviour->code));
    return;
  }
  if (misbehaviour) exchange.replyAtUs += misbehaviour->lateUs;
  if (needsUnlock(data) && !session_.unlocked) {
    // An answer to a refused transfer packet would only collide with the next one.
    if (service != sid::kTransferData) {
      sendReply(exchange, negative(service, nrc::kSecurityAccessDenied));
    }
    return;
  }
  if (MaybeAnswer answer = answerFor(exchange)) {
    sendReply(exchange, std::move(*answer), misbehaviour);
  }
}

VisteonEcu::MaybeAnswer VisteonEcu::answerFor(const Exchange& exchange) {
  const std::string& data = exchange.request.data;
  const std::uint8_t service = ByteAt(data, 0);
  switch (service) {
    case sid::kCurrentData:
      return currentData(data);
    case sid::kFreezeFrame:
      return freezeFrameData(data);
    case sid::kStoredFaults:
      return storedFaults();
    case sid::kClearFaults:
      return clearFaults();
    case sid::kStartDiagnostic:
      session_.diagnostic = true;
      return Answer{{Positive(service)}};
    case sid::kStopDiagnostic:
      session_.diagnostic = false;
      return Answer{{Positive(service)}};
    case sid::kSecurityAccess:
      return securityAccess(data);
    case sid::kStartRoutine:
      return startRoutine(data);
    case sid::kStopRoutine:
      return stopRoutine(exchange);
    case sid::kRequestDownload:
      return requestDownload(data);
    case sid::kRequestUpload:
      return uploadCalText(data);
    case sid::kTransferData:
      transferData(data);
      return std::nullopt;
    case sid::kTransferExit:
      return transferExit();
    case sid::kPing:
      return Answer{{Positive(service)}};
    default:
      return negative(service, nrc::kServiceNotSupported);
  }
}

VisteonEcu::Answer VisteonEcu::negative(std::uint8_t service, std::uint8_t code) {
  return Answer{{Bytes({nrc::kNegativeResponse, service, code})}};
}

namespace {

// The reply's packets as they go on the wire, spoilt as the misbehaviour says.
std::string replyOnWire(const std::vector<std::string>& framed,
                        const std::optional<visteon::Misbehaviour>& onWire) {
  using Kind = visteon::Misbehaviour::Kind;
  std::string wire;
  for (std::size_t i = 0; i < framed.size(); ++i) {
    std::string packet = framed[i];
    if (onWire && onWire->packet == i && onWire->kind == Kind::Garbled) packet[0] = '\x20';
    if (onWire && onWire->packet == i && onWire->kind == Kind::Corrupted) {
      packet[packet.size() - 2] = static_cast<char>(packet[packet.size() - 2] ^ 0x40);
    }
    if (onWire && onWire->packet == i && onWire->kind == Kind::Truncated) {
      return wire + packet.substr(0, onWire->keep);
    }
    wire += packet;
  }
  return wire;
}

}  // namespace

void VisteonEcu::sendReply(const Exchange& exchange, Answer answer,
                           std::optional<visteon::Misbehaviour> onWire) {
  const std::uint64_t atUs = std::max(nowUs(), exchange.replyAtUs);
  timers_.at(atUs, [this, request = exchange.request, answer = std::move(answer), onWire] {
    std::vector<std::string> framed;
    for (const std::string& data : answer.packets) {
      framed.push_back(request.sae ? visteon::FrameSaeReply(data) : visteon::FrameReply(data));
    }
    send(replyOnWire(framed, onWire));
    logExchange(request, answer.packets);
    if (answer.afterSent) answer.afterSent();
  });
}

void VisteonEcu::logExchange(const visteon::Request& request,
                             const std::vector<std::string>& packets) {
  if (!log_) return;
  std::string line = visteon::Hex(request.data) + " ->";
  for (std::size_t i = 0; i < std::min(packets.size(), kLoggedPackets); ++i) {
    line += (i == 0 ? " " : " | ") + visteon::Hex(packets[i]);
  }
  if (packets.size() > kLoggedPackets) {
    line += " | ... (" + std::to_string(packets.size()) + " packets)";
  }
  log_(line);
}

// SAE J1979 services. Unsupported PIDs and frames get no answer, as J1979 wants.

VisteonEcu::MaybeAnswer VisteonEcu::currentData(const std::string& data) const {
  if (data.size() != 2) return std::nullopt;
  const std::uint8_t pid = ByteAt(data, 1);
  if (pid == kIdentificationPid)
    return Answer{{Positive(sid::kCurrentData, data.substr(1) + softwareId_)}};
  const auto it = pids_.find(pid);
  if (it == pids_.end()) return std::nullopt;
  return Answer{
      {Positive(sid::kCurrentData, Bytes({pid}) + valueBytes(it->second, pid == kEngineSpeedPid))}};
}

VisteonEcu::MaybeAnswer VisteonEcu::freezeFrameData(const std::string& data) const {
  if (data.size() != 3 || ByteAt(data, 2) != 0) return std::nullopt;
  const std::uint8_t pid = ByteAt(data, 1);
  const auto it = freezeFrame_.find(pid);
  if (it == freezeFrame_.end()) return std::nullopt;
  const bool wide = pid == kEngineSpeedPid || pid == kFreezeFrameFaultPid;
  return Answer{{Positive(sid::kFreezeFrame, Bytes({pid, 0}) + valueBytes(it->second, wide))}};
}

VisteonEcu::Answer VisteonEcu::storedFaults() const {
  // The list ends with a 0000 code: pad the last packet, or add one of zeros when full.
  std::vector<std::uint16_t> codes = faults_;
  codes.resize((codes.size() / kFaultsPerPacket + 1) * kFaultsPerPacket, 0);
  Answer answer;
  for (std::size_t i = 0; i < codes.size(); i += kFaultsPerPacket) {
    std::string packet = Positive(sid::kStoredFaults);
    for (std::size_t k = 0; k < kFaultsPerPacket; ++k) packet += valueBytes(codes[i + k], true);
    answer.packets.push_back(std::move(packet));
  }
  return answer;
}

VisteonEcu::Answer VisteonEcu::clearFaults() {
  faults_.clear();
  return Answer{{Positive(sid::kClearFaults)}};
}

VisteonEcu::Answer VisteonEcu::startRoutine(const std::string& data) {
  if (data.size() < 2) return negative(sid::kStartRoutine, nrc::kSubFunctionNotSupported);
  switch (const std::uint8_t r = ByteAt(data, 1)) {
    case routine::kPrepare:
      return prepare(data);
    case routine::kErase:
      return startErase();
    case routine::kBlockCheck:
      return startBlockCheck();
    case routine::kVerify:
      return startVerify(data);
    default:
      return diagnosticRoutine(r);
  }
}

VisteonEcu::MaybeAnswer VisteonEcu::stopRoutine(const Exchange& exchange) {
  const std::string& data = exchange.request.data;
  if (data.size() < 2) return negative(sid::kStopRoutine, nrc::kSubFunctionNotSupported);
  switch (ByteAt(data, 1)) {
    case routine::kErase:
      return eraseResult(exchange);
    case routine::kBlockCheck:
      return blockCheckResult();
    case routine::kVerify:
      return verifyResult();
    default:
      return negative(sid::kStopRoutine, nrc::kSubFunctionNotSupported);
  }
}

VisteonEcu::Answer VisteonEcu::diagnosticRoutine(std::uint8_t r) const {
  if (!isDiagnosticRoutine(r)) return negative(sid::kStartRoutine, nrc::kSubFunctionNotSupported);
  if (!session_.diagnostic) return negative(sid::kStartRoutine, nrc::kConditionsNotCorrect);
  return Answer{{Positive(sid::kStartRoutine, Bytes({r, routineResult(r)}))}};
}

}  // namespace quorvan::sim
