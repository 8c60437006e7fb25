// The MSE 1.1 controller's security access and reflash services: seed and key, erase,
// download of the image, verify by its 32-bit sum.
#include <utility>

#include "kline/Mse11Image.h"
#include "kline/Mse11Key.h"
#include "sim/Mse11Ecu.h"
#include "sim/Mse11Frames.h"
#include "sim/VisteonPackets.h"

namespace quorvan::sim {

using visteon::ByteAt;
using visteon::Bytes;
using visteon::Positive;
namespace sid = mse11::sid;
namespace nrc = visteon::nrc;

namespace {

constexpr std::uint8_t kSeedRequest = 0x81;
constexpr std::uint8_t kKeyOffer = 0x82;
constexpr std::uint8_t kKeyAccepted = 0x34;
constexpr std::uint8_t kVerifyRoutine = 0x01;
constexpr std::uint8_t kEraseRoutine = 0x02;
constexpr std::uint8_t kMaxBlock = 0xFB;  // service byte and 250 data bytes

std::string seedRequest() {
  return Bytes({sid::kSecurityAccess, kSeedRequest, 0x10}) + "QUILTBOX";
}

std::uint32_t bigEndian(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < 4; ++i) value = (value << 8) | ByteAt(bytes, at + i);
  return value;
}

bool startsWith(const std::string& data, const std::string& prefix) {
  return data.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

Mse11Ecu::Answer Mse11Ecu::securityAccess(const std::string& data) {
  if (data == seedRequest()) {
    const std::uint32_t seed = static_cast<std::uint32_t>(random_());
    session_.seed = seed;
    return Answer{Positive(
        sid::kSecurityAccess,
        Bytes({kSeedRequest, static_cast<int>(seed >> 24), static_cast<int>((seed >> 16) & 0xFF),
               static_cast<int>((seed >> 8) & 0xFF), static_cast<int>(seed & 0xFF)}))};
  }
  if (data.size() != 6 || ByteAt(data, 1) != kKeyOffer) {
    return negative(sid::kSecurityAccess, nrc::kSubFunctionNotSupported);
  }
  if (!session_.seed) return negative(sid::kSecurityAccess, nrc::kSequenceError);
  // One key per seed, right or wrong.
  const std::uint32_t seed = *std::exchange(session_.seed, std::nullopt);
  const bool right = !std::exchange(wrongKey_, false) && bigEndian(data, 2) == KeyFromSeed(seed);
  if (!right) return negative(sid::kSecurityAccess, nrc::kInvalidKey);
  session_.unlocked = true;
  return Answer{Positive(sid::kSecurityAccess, Bytes({kKeyOffer, kKeyAccepted}))};
}

Mse11Ecu::MaybeAnswer Mse11Ecu::startRoutine(const std::string& data, std::uint64_t replyAtUs) {
  const std::uint8_t routine = data.size() < 2 ? 0 : ByteAt(data, 1);
  if (routine == kVerifyRoutine) return startVerify(data);
  if (routine != kEraseRoutine) return negative(sid::kStartRoutine, nrc::kOutOfRange);
  // The whole image goes blank at once; the erase counts as running until its time is up.
  flash_.assign(flash_.size(), '\xFF');
  session_.downloading = false;
  session_.erase = Progress::Running;
  timers_.at(replyAtUs + config_.erasePendingUs, [this, data] {
    sendAnswer(data, Answer{Positive(sid::kStartRoutine, Bytes({kEraseRoutine}))}, nowUs());
    timers_.after(config_.eraseTimeUs, [this] { session_.erase = Progress::Done; });
  });
  return negative(sid::kStartRoutine, mse11::kResponsePending);
}

Mse11Ecu::Answer Mse11Ecu::routineResult(const std::string& data) const {
  const std::uint8_t routine = data.size() == 2 ? ByteAt(data, 1) : 0;
  if (routine != kEraseRoutine && routine != kVerifyRoutine) {
    return negative(sid::kRoutineResult, nrc::kOutOfRange);
  }
  const Progress progress = routine == kEraseRoutine ? session_.erase : session_.verify;
  if (progress == Progress::Idle) return negative(sid::kRoutineResult, nrc::kSequenceError);
  if (progress == Progress::Running) return negative(sid::kRoutineResult, nrc::kRoutineNotComplete);
  if (routine == kVerifyRoutine && Mse11ImageChecksum(flash_) != session_.verifySum) {
    return negative(sid::kRoutineResult, nrc::kConditionsNotCorrect);
  }
  return Answer{Positive(sid::kRoutineResult, Bytes({routine}))};
}

Mse11Ecu::Answer Mse11Ecu::requestDownload(const std::string& data) {
  if (data != Bytes({sid::kRequestDownload, 0x00, 0x00, 0x00, 0xAA, 0x00, 0xF7, 0x00})) {
    return negative(sid::kRequestDownload, nrc::kOutOfRange);
  }
  if (session_.erase != Progress::Done) {
    return negative(sid::kRequestDownload, nrc::kConditionsNotCorrect);
  }
  session_.downloading = true;
  session_.written = 0;
  session_.transfers = 0;
  return Answer{Positive(sid::kRequestDownload, Bytes({kMaxBlock}))};
}

Mse11Ecu::MaybeAnswer Mse11Ecu::transferData(const std::string& data) {
  if (!session_.downloading) return negative(sid::kTransferData, nrc::kSequenceError);
  const std::size_t count = data.size() - 1;
  if (session_.written + count > flash_.size())
    return negative(sid::kTransferData, nrc::kOutOfRange);
  // Programming can only clear bits.
  for (std::size_t i = 0; i < count; ++i) {
    flash_[session_.written + i] = static_cast<char>(flash_[session_.written + i] & data[i + 1]);
  }
  session_.written += count;
  ++session_.transfers;
  if (resetAfterTransfers_ && session_.transfers >= *resetAfterTransfers_) {
    resetAfterTransfers_.reset();
    reset();
    return std::nullopt;  // the controller is booting: no answer
  }
  return Answer{Positive(sid::kTransferData)};
}

Mse11Ecu::Answer Mse11Ecu::transferExit() {
  if (!session_.downloading) return negative(sid::kTransferExit, nrc::kSequenceError);
  session_.downloading = false;
  return Answer{Positive(sid::kTransferExit)};
}

Mse11Ecu::Answer Mse11Ecu::startVerify(const std::string& data) {
  const std::string head = Bytes({sid::kStartRoutine, kVerifyRoutine, 0, 0, 0, 0, 0xF6, 0xFF});
  if (data.size() != head.size() + 4 || !startsWith(data, head)) {
    return negative(sid::kStartRoutine, nrc::kOutOfRange);
  }
  session_.verifySum = bigEndian(data, head.size());
  session_.verify = Progress::Running;
  timers_.after(config_.verifyTimeUs, [this] { session_.verify = Progress::Done; });
  return Answer{Positive(sid::kStartRoutine, Bytes({kVerifyRoutine}))};
}

}  // namespace quorvan::sim
