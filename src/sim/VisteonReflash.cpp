// The Visteon controller's reflash services: prepare, security access, erase, block
// download and check, verify, calibration-text upload.
#include <utility>

#include "kline/VisteonKey.h"
#include "sim/VisteonEcu.h"

namespace quorvan::sim {

using visteon::ByteAt;
using visteon::Bytes;
using visteon::Positive;
namespace sid = visteon::sid;
namespace nrc = visteon::nrc;
namespace routine = visteon::routine;

namespace {

constexpr std::uint8_t kSeedRequest = 0x01;
constexpr std::uint8_t kKeyOffer = 0x02;
constexpr std::uint8_t kKeyAccepted = 0x34;
constexpr std::uint8_t kTransferFormat = 0x82;
constexpr std::uint8_t kCalTextPacket = 0x76;
constexpr std::size_t kSeedSize = 3;

bool startsWith(const std::string& data, const std::string& prefix) {
  return data.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

VisteonEcu::Answer VisteonEcu::prepare(const std::string& data) {
  // 31 A0 01 00 r 01: r goes into the key.
  if (data.size() != 6 || !startsWith(data, Bytes({sid::kStartRoutine, routine::kPrepare, 1, 0})) ||
      ByteAt(data, 5) != 0x01) {
    return negative(sid::kStartRoutine, nrc::kOutOfRange);
  }
  const std::uint8_t result = routineResult(routine::kPrepare);
  session_.seed.reset();
  session_.prepareRandom.reset();
  if (result == 0) session_.prepareRandom = ByteAt(data, 4);
  return Answer{{Positive(sid::kStartRoutine, Bytes({routine::kPrepare, result}))}};
}

VisteonEcu::Answer VisteonEcu::securityAccess(const std::string& data) {
  if (data.size() == 2 && ByteAt(data, 1) == kSeedRequest) return sendSeed();
  if (data.size() == 4 && ByteAt(data, 1) == kKeyOffer) return checkKey(data);
  return negative(sid::kSecurityAccess, nrc::kSubFunctionNotSupported);
}

VisteonEcu::Answer VisteonEcu::sendSeed() {
  if (!session_.prepareRandom) return negative(sid::kSecurityAccess, nrc::kConditionsNotCorrect);
  std::string seed;
  for (std::size_t i = 0; i < kSeedSize; ++i) seed.push_back(static_cast<char>(random_() & 0xFF));
  session_.seed = seed;
  return Answer{{Positive(sid::kSecurityAccess, Bytes({kSeedRequest}) + seed)}};
}

VisteonEcu::Answer VisteonEcu::checkKey(const std::string& data) {
  if (!session_.seed) return negative(sid::kSecurityAccess, nrc::kSequenceError);
  // One key per seed, right or wrong.
  const std::string seed = *std::exchange(session_.seed, std::nullopt);
  const std::uint8_t r = *session_.prepareRandom;
  const std::uint8_t salt = ByteAt(seed, 2);
  const bool right = ByteAt(data, 2) == KeyFromSeed(ByteAt(seed, 0), r, salt) &&
                     ByteAt(data, 3) == KeyFromSeed(ByteAt(seed, 1), r, salt);
  if (!right) return negative(sid::kSecurityAccess, nrc::kInvalidKey);
  session_.unlocked = true;
  // The tester follows to the reflash rate once it has this answer.
  return Answer{{Positive(sid::kSecurityAccess, Bytes({kKeyOffer, kKeyAccepted}))},
                [this] { setBitRate(kReflashBitRate); }};
}

VisteonEcu::Answer VisteonEcu::startErase() {
  if (!erasing()) {
    session_.erase = EraseState::Running;
    session_.eraseStartUs = nowUs();
    session_.eraseTimeUs = config_.eraseTimeUs;
    timers_.after(session_.eraseTimeUs, [this] { finishErase(); });
  }
  return Answer{{Positive(sid::kStartRoutine, Bytes({routine::kErase}))}};
}

VisteonEcu::MaybeAnswer VisteonEcu::eraseResult(const Exchange& exchange) {
  switch (session_.erase) {
    case EraseState::Idle:
      return negative(sid::kStopRoutine, nrc::kSequenceError);
    case EraseState::Running:
      session_.eraseResultAsked = exchange;  // answered when the erase ends
      return std::nullopt;
    case EraseState::Done:
      break;
  }
  return Answer{{Positive(sid::kStopRoutine, Bytes({routine::kErase, session_.eraseResult}))}};
}

void VisteonEcu::finishErase() {
  session_.eraseResult = routineResult(routine::kErase);
  if (session_.eraseResult == 0) flash_.eraseAll();
  session_.erase = EraseState::Done;
  if (const std::optional<Exchange> asked =
          std::exchange(session_.eraseResultAsked, std::nullopt)) {
    sendReply(*asked, *eraseResult(*asked));
  }
}

void VisteonEcu::interruptErase() {
  // The erase runs through the region block by block: what it reached is blank.
  const std::uint64_t elapsedUs = nowUs() - session_.eraseStartUs;
  const std::size_t blocks = flash_.blocks();
  flash_.eraseBlocks(session_.eraseTimeUs == 0
                         ? blocks
                         : static_cast<std::size_t>(blocks * elapsedUs / session_.eraseTimeUs));
}

VisteonEcu::Answer VisteonEcu::requestDownload(const std::string& data) {
  // 34 82 04 00 AH AL 00: one 1 kB block at byte address AH AL 00.
  const std::string head = Bytes({sid::kRequestDownload, kTransferFormat, 0x04, 0x00});
  const bool wellFormed = data.size() == 7 && startsWith(data, head) && ByteAt(data, 6) == 0;
  const std::uint32_t address =
      wellFormed ? (std::uint32_t{ByteAt(data, 4)} << 16) | (std::uint32_t{ByteAt(data, 5)} << 8)
                 : 0;
  if (!wellFormed || !flash_.isBlockStart(address)) {
    return negative(sid::kRequestDownload, nrc::kOutOfRange);
  }
  session_.block.open(address);
  session_.blockVerdict.reset();
  return Answer{{Positive(sid::kRequestDownload, Bytes({kTransferFormat}))}};
}

void VisteonEcu::transferData(const std::string& data) {
  session_.block.add(std::string_view(data).substr(1));
  if (resetAfterTransfers_ && session_.block.accepting() &&
      session_.block.packets() >= *resetAfterTransfers_) {
    resetAfterTransfers_.reset();
    reset();
  }
}

VisteonEcu::Answer VisteonEcu::transferExit() {
  if (!session_.block.accepting()) return negative(sid::kTransferExit, nrc::kSequenceError);
  session_.block.close();
  return Answer{{Positive(sid::kTransferExit, Bytes({kTransferFormat}))}};
}

VisteonEcu::Answer VisteonEcu::startBlockCheck() {
  // Only a block that arrived whole with its sum is written.
  const bool whole = session_.block.whole();
  if (whole) flash_.program(session_.block.address(), session_.block.data());
  session_.blockVerdict = whole;
  session_.block.clear();
  return Answer{{Positive(sid::kStartRoutine, Bytes({routine::kBlockCheck}))}};
}

VisteonEcu::Answer VisteonEcu::blockCheckResult() const {
  if (!session_.blockVerdict) return negative(sid::kStopRoutine, nrc::kSequenceError);
  return Answer{
      {Positive(sid::kStopRoutine, Bytes({routine::kBlockCheck, *session_.blockVerdict ? 0 : 1}))}};
}

VisteonEcu::Answer VisteonEcu::startVerify(const std::string& data) {
  if (data.size() != 4) return negative(sid::kStartRoutine, nrc::kOutOfRange);
  session_.verifySum = static_cast<std::uint16_t>((ByteAt(data, 2) << 8) | ByteAt(data, 3));
  return Answer{
      {Positive(sid::kStartRoutine, data.substr(1) + Bytes({0x00, nrc::kRoutineNotComplete}))}};
}

VisteonEcu::Answer VisteonEcu::verifyResult() const {
  if (!session_.verifySum) return negative(sid::kStopRoutine, nrc::kSequenceError);
  const std::uint16_t target = *session_.verifySum;
  const bool match = flash_.sum() == target;
  return Answer{{Positive(sid::kStopRoutine,
                          Bytes({routine::kVerify, target >> 8, target, 0x00, match ? 0 : 1}))}};
}

VisteonEcu::Answer VisteonEcu::uploadCalText(const std::string& data) const {
  if (data != Bytes({sid::kRequestUpload, kTransferFormat, 0x01, 0x00, 0x1C, 0xFF, 0x00})) {
    return negative(sid::kRequestUpload, nrc::kOutOfRange);
  }
  // A short acceptance, then the text six characters a packet, back to back.
  Answer answer{{Positive(sid::kRequestUpload, Bytes({kTransferFormat, 0x00}))}};
  for (std::size_t at = 0; at < calText_.size(); at += kCalTextPiece) {
    answer.packets.push_back(Bytes({kCalTextPacket}) + calText_.substr(at, kCalTextPiece));
  }
  return answer;
}

}  // namespace quorvan::sim
