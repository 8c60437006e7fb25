#include "sim/Mse11Ecu.h"

#include <algorithm>
#include <utility>

#include "kline/Mse11Image.h"
#include "sim/Mse11Frames.h"
#include "sim/VisteonPackets.h"

namespace quorvan::sim {

using visteon::ByteAt;
using visteon::Bytes;
using visteon::Positive;
namespace sid = mse11::sid;
namespace nrc = visteon::nrc;

namespace {

// A fast-init low period: 25 ms, give or take.
constexpr std::uint64_t kWakeUpLowMinUs = 20'000;
constexpr std::uint64_t kWakeUpLowMaxUs = 30'000;
constexpr std::uint8_t kIdentPage = 0x03;
constexpr std::uint8_t kCustomerAt = 0xE7;
constexpr std::size_t kCustomerSize = 10;
constexpr std::uint8_t kHardwareAt = 0xF1;
constexpr std::uint8_t kSessionMode = 0x85;
constexpr std::uint8_t kSessionByte = 0x03;
constexpr std::uint8_t kTimingSet = 0x03;
constexpr std::size_t kTimingRequestSize = 7;

}  // namespace

Mse11Ecu::Mse11Ecu(SimLine& line, Mse11Config config)
    : SimEcu(line, kBaseBitRate),
      config_(config),
      timers_(line.scheduler()),
      random_(config.randomSeed),
      flash_(kMse11ImageSize, '\xFF'),
      customer_("QUORVAN 11"),
      hardware_(0x0261'20) {}

void Mse11Ecu::setIdentification(std::string_view customer, std::uint32_t hardware) {
  customer_ = std::string(customer.substr(0, kCustomerSize));
  customer_.resize(kCustomerSize, ' ');
  hardware_ = hardware & 0xFFFFFF;
}

void Mse11Ecu::loadFlash(std::string_view image) {
  flash_.replace(0, std::min(image.size(), flash_.size()), image.substr(0, flash_.size()));
}

void Mse11Ecu::clearInjections() {
  injections_.clear();
  wrongKey_ = false;
  resetAfterTransfers_.reset();
}

void Mse11Ecu::reset() {
  endCommunication();
  ++restarts_;
  awakeAtUs_ = nowUs() + config_.bootTimeUs;
}

void Mse11Ecu::onPowerLost() {
  endCommunication();
  ++restarts_;
}

void Mse11Ecu::onPowerRestored() {
  awakeAtUs_ = nowUs() + config_.bootTimeUs;
}

void Mse11Ecu::endCommunication() {
  timers_.cancelAll();
  session_ = Session{};
  frame_.clear();
  wakeUpSeen_ = false;
  setBitRate(kBaseBitRate);
}

void Mse11Ecu::onLineLevel(bool low, std::uint64_t atUs) {
  if (low) {
    lowSinceUs_ = atUs;
    return;
  }
  const std::uint64_t lowUs = atUs - lowSinceUs_;
  const bool wakeUp = !booting() && lowUs >= kWakeUpLowMinUs && lowUs <= kWakeUpLowMaxUs;
  if (wakeUp) endCommunication();  // a new wake-up starts the communication afresh
  wakeUpSeen_ = wakeUp;
}

void Mse11Ecu::onWireByte(const RxByte& byte) {
  if (booting()) return;
  if (!byte.decoded()) {
    // The tester went back to the wake-up rate (or something else spoke): whatever
    // communication there was has ended.
    if (session_.communicating) endCommunication();
    frame_.clear();
    // Behind a pseudo-terminal the tester's cable-detect packet, sent at another rate,
    // stands for the wake-up pattern the terminal cannot carry.
    if (config_.wakeOnRequest) wakeUpSeen_ = true;
    return;
  }
  if (!session_.communicating && !wakeUpSeen_) return;
  frame_.push_back(static_cast<char>(byte.value));
  timers_.cancel(frameTimeout_);
  frameTimeout_ = timers_.after(config_.byteTimeoutUs, [this] { frame_.clear(); });
  const std::optional<std::size_t> length = mse11::StatedFrameLength(frame_);
  if (!length || frame_.size() < *length) return;
  timers_.cancel(frameTimeout_);
  const std::string frame = std::exchange(frame_, {});
  takeFrame(frame, byte.atUs);
}

void Mse11Ecu::takeFrame(const std::string& frame, std::uint64_t lastByteUs) {
  const std::optional<std::string> data = mse11::FrameData(frame);
  if (!data || data->empty()) {
    ++badFrames_;
    return;
  }
  if (!session_.communicating && ByteAt(*data, 0) != sid::kStartCommunication) return;
  serve(*data, lastByteUs + config_.replyDelayUs);
}

void Mse11Ecu::serve(const std::string& data, std::uint64_t replyAtUs) {
  using Kind = visteon::Misbehaviour::Kind;
  const std::uint8_t service = ByteAt(data, 0);
  const std::optional<visteon::Misbehaviour> misbehaviour = injections_.take(service);
  if (misbehaviour && misbehaviour->kind == Kind::Silent) return;
  if (misbehaviour && misbehaviour->kind == Kind::Negative) {
    sendAnswer(data, negative(service, misbehaviour->code), replyAtUs);
    return;
  }
  if (misbehaviour) replyAtUs += misbehaviour->lateUs;
  if (service == sid::kStartRoutine && data == Bytes({0x31, 0x02, 0, 0, 0, 0, 0xFF, 0xFF})) {
    // The erase: "pending" at once, its start a while later.
    if (MaybeAnswer answer = startRoutine(data, replyAtUs)) sendAnswer(data, *answer, replyAtUs);
    return;
  }
  if (MaybeAnswer answer = answerFor(data)) {
    sendAnswer(data, std::move(*answer), replyAtUs, misbehaviour);
  }
}

Mse11Ecu::MaybeAnswer Mse11Ecu::answerFor(const std::string& data) {
  const std::uint8_t service = ByteAt(data, 0);
  const bool needsSession = service == sid::kReadMemory || service == sid::kSecurityAccess;
  if (needsSession && !session_.diagnostic) return negative(service, nrc::kConditionsNotCorrect);
  const bool needsUnlock = service == sid::kStartRoutine || service == sid::kRoutineResult ||
                           (service >= sid::kRequestDownload && service <= sid::kTransferExit);
  if (needsUnlock && !session_.unlocked) return negative(service, nrc::kSecurityAccessDenied);
  switch (service) {
    case sid::kStartCommunication:
      return startCommunication();
    case sid::kStopCommunication:
      return Answer{Positive(service), false, [this] { endCommunication(); }};
    case sid::kTimingParameters:
      return timing(data);
    case sid::kStartSession:
      return startSession(data);
    case sid::kReadMemory:
      return readMemory(data);
    case sid::kSecurityAccess:
      return securityAccess(data);
    case sid::kStartRoutine:
      return startRoutine(data, 0);
    case sid::kRoutineResult:
      return routineResult(data);
    case sid::kRequestDownload:
      return requestDownload(data);
    case sid::kTransferData:
      return transferData(data);
    case sid::kTransferExit:
      return transferExit();
    default:
      return negative(service, nrc::kServiceNotSupported);
  }
}

Mse11Ecu::Answer Mse11Ecu::negative(std::uint8_t service, std::uint8_t code) {
  return Answer{Bytes({nrc::kNegativeResponse, service, code})};
}

namespace {

// The answer's frame as it goes on the wire, spoilt as the misbehaviour says: cut
// short, or one data byte changed (`packet` counts from the last data byte back) so that
// the checksum no longer fits.
std::string frameOnWire(std::string frame, std::size_t dataSize,
                        const std::optional<visteon::Misbehaviour>& onWire) {
  using Kind = visteon::Misbehaviour::Kind;
  if (onWire && onWire->kind == Kind::Corrupted && dataSize > 0) {
    const std::size_t at = frame.size() - 2 - std::min(onWire->packet, dataSize - 1);
    frame[at] = static_cast<char>(frame[at] ^ 0x40);
  }
  if (onWire && onWire->kind == Kind::Truncated) {
    frame.resize(std::min(frame.size(), onWire->keep));
  }
  return frame;
}

}  // namespace

void Mse11Ecu::sendAnswer(const std::string& request, Answer answer, std::uint64_t atUs,
                          std::optional<visteon::Misbehaviour> onWire) {
  timers_.at(std::max(nowUs(), atUs), [this, request, answer = std::move(answer), onWire] {
    send(frameOnWire(mse11::FrameResponse(answer.data, answer.addressed), answer.data.size(),
                     onWire));
    if (log_) log_(visteon::Hex(request) + " -> " + visteon::Hex(answer.data));
    if (answer.afterSent) answer.afterSent();
  });
}

Mse11Ecu::Answer Mse11Ecu::startCommunication() {
  session_ = Session{};
  session_.communicating = true;
  wakeUpSeen_ = false;
  ++wakeUps_;
  return Answer{Bytes({0xC1, 0x8F, 0xEA}), true};
}

Mse11Ecu::Answer Mse11Ecu::timing(const std::string& data) {
  if (data.size() != kTimingRequestSize || ByteAt(data, 1) != kTimingSet) {
    return negative(sid::kTimingParameters, nrc::kSubFunctionNotSupported);
  }
  return Answer{Positive(sid::kTimingParameters, Bytes({kTimingSet}))};
}

Mse11Ecu::Answer Mse11Ecu::startSession(const std::string& data) {
  if (data != Bytes({sid::kStartSession, kSessionMode, kSessionByte})) {
    return negative(sid::kStartSession, nrc::kSubFunctionNotSupported);
  }
  // The tester follows to the session rate once it has this answer.
  return Answer{Positive(sid::kStartSession, Bytes({kSessionMode})), false, [this] {
                  session_.diagnostic = true;
                  setBitRate(kSessionBitRate);
                }};
}

Mse11Ecu::Answer Mse11Ecu::readMemory(const std::string& data) const {
  if (data.size() != 5 || ByteAt(data, 1) != kIdentPage || ByteAt(data, 2) != 0 ||
      ByteAt(data, 4) == 0) {
    return negative(sid::kReadMemory, nrc::kOutOfRange);
  }
  // The identification page: the customer text, then the hardware number.
  std::string page(256, '\0');
  page.replace(kCustomerAt, customer_.size(), customer_);
  page.replace(kHardwareAt, 3,
               Bytes({static_cast<int>(hardware_ & 0xFF), static_cast<int>((hardware_ >> 8) & 0xFF),
                      static_cast<int>(hardware_ >> 16)}));
  std::string bytes;
  for (std::size_t i = 0; i < ByteAt(data, 4); ++i)
    bytes.push_back(page[(ByteAt(data, 3) + i) & 0xFF]);
  return Answer{Positive(sid::kReadMemory, bytes)};
}

}  // namespace quorvan::sim
