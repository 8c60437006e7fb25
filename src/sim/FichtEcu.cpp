#include "sim/FichtEcu.h"

#include <algorithm>
#include <utility>

#include "kline/FaultCodes.h"
#include "sim/SimLine.h"
#include "trace/Text.h"

namespace quorvan::sim {

namespace {

constexpr char kLead = '\x01';
constexpr std::uint8_t kWriteBit = 0x80;
constexpr std::uint8_t kNak = 0x80;
constexpr std::size_t kHeaderSize = 4;  // lead, count, address high, address low
constexpr std::size_t kMapVersionSize = 8;
constexpr std::size_t kModelSize = 15;
constexpr std::size_t kBitmapSize = 32;
constexpr std::uint16_t kSoftwareVersionAddress = 1;
constexpr std::uint16_t kVersionLetterAddress = 2;
constexpr std::uint16_t kStatusAddress = 92;
constexpr std::uint16_t kModelAddress = 110;
constexpr std::uint16_t kMapVersionAddress = 115;
constexpr std::uint16_t kCurrentFaultsAddress = 118;
constexpr std::uint16_t kHistoryAddresses[] = {93, 107, 108, 109};
constexpr std::uint16_t kCommandAddress = 0x66;
constexpr std::uint16_t kCommandZeroAddress = 0x67;
constexpr std::uint8_t kClearFaults = 2;

std::uint8_t byteOf(std::string_view s, std::size_t i) {
  return static_cast<std::uint8_t>(s[i]);
}

std::string fitted(std::string_view text, std::size_t size, char pad) {
  std::string s(text.substr(0, std::min(text.size(), size)));
  s.resize(size, pad);
  return s;
}

std::string bigEndian(std::uint32_t value, int size) {
  std::string s;
  for (int i = size - 1; i >= 0; --i) s.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return s;
}

std::string framed(std::string bytes) {
  bytes.insert(bytes.begin(), kLead);
  bytes.push_back(static_cast<char>(Checksum8(bytes)));
  return bytes;
}

}  // namespace

void UseFichtCable(SimLine& line) {
  line.setCable(CableKind::Ficht);
  line.setEchoSuppressed(true);
}

FichtEcu::FichtEcu(SimLine& line, FichtConfig config) : SimEcu(line, kBitRate), config_(config) {
  setMapVersion("M2271A04");
  setModel("FICHT 150 V6 RS");
  current_ = {9, 23};
  history_ = {{9, 3, 1234}, {23, 1, 88}};
}

void FichtEcu::setSoftwareVersion(std::uint32_t version, char letter) {
  softwareVersion_ = version & 0xFFFFFF;
  versionLetter_ = letter;
}

void FichtEcu::setMapVersion(std::string_view text) {
  mapVersion_ = fitted(text, kMapVersionSize, ' ');
}

void FichtEcu::setModel(std::string_view text) {
  model_ = fitted(text, kModelSize, ' ');
}

void FichtEcu::storeValue(std::uint16_t address, std::uint32_t value, int size) {
  const std::string bytes = bigEndian(value, std::clamp(size, 1, 4));
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    memory_[static_cast<std::uint16_t>(address + i)] = byteOf(bytes, i);
  }
}

void FichtEcu::setHistory(std::vector<HistoryRecord> records) {
  records.resize(std::min(records.size(), kHistoryPages * kRecordsPerPage));
  history_ = std::move(records);
}

void FichtEcu::injectSilence(int address, int times) {
  injections_.add(address, {ficht::Misbehaviour::Kind::Silent}, times);
}

void FichtEcu::injectTruncatedReply(int address, std::size_t keepBytes, int times) {
  injections_.add(address, {ficht::Misbehaviour::Kind::Truncated, keepBytes}, times);
}

void FichtEcu::injectCorruptedChecksum(int address, int times) {
  injections_.add(address, {ficht::Misbehaviour::Kind::Corrupted}, times);
}

void FichtEcu::injectNak(int address, int times) {
  injections_.add(address, {ficht::Misbehaviour::Kind::Nak}, times);
}

void FichtEcu::injectReset(int address, int times) {
  injections_.add(address, {ficht::Misbehaviour::Kind::Reset}, times);
}

void FichtEcu::injectLateReply(int address, std::uint64_t lateUs, int times) {
  injections_.add(address, {ficht::Misbehaviour::Kind::Late, 0, lateUs}, times);
}

void FichtEcu::injectStrayByte(int address, std::uint8_t stray, int times) {
  injections_.add(address, {ficht::Misbehaviour::Kind::Stray, 0, 0, stray}, times);
}

void FichtEcu::reset() {
  onPowerLost();
  onPowerRestored();
}

void FichtEcu::onPowerLost() {
  heard_.clear();
  ++restarts_;
}

void FichtEcu::onPowerRestored() {
  awakeAtUs_ = nowUs() + config_.bootTimeUs;
}

void FichtEcu::onWireByte(const RxByte& byte) {
  if (booting()) return;
  if (!heard_.empty() && byte.atUs - lastByteUs_ > config_.frameGapUs) {
    ++badFrames_;  // the rest of that frame never came
    heard_.clear();
  }
  lastByteUs_ = byte.atUs;
  if (!byte.decoded()) {
    heard_.clear();
    return;
  }
  const char c = static_cast<char>(byte.value);
  if (heard_.empty() && c != kLead) return;  // not a frame: the wake-up '/' or noise
  heard_.push_back(c);
  if (!frameComplete()) return;
  const std::string frame = std::exchange(heard_, {});
  takeFrame(frame, byte.atUs);
}

bool FichtEcu::frameComplete() const {
  if (heard_.size() < kHeaderSize + 1) return false;
  const std::uint8_t first = byteOf(heard_, 1);
  const std::size_t data = (first & kWriteBit) ? (first & ~kWriteBit) : 0;
  return heard_.size() >= kHeaderSize + data + 1;
}

void FichtEcu::takeFrame(const std::string& frame, std::uint64_t lastByteUs) {
  const std::string_view body = std::string_view(frame).substr(0, frame.size() - 1);
  if (Checksum8(body) != byteOf(frame, frame.size() - 1)) {
    ++badFrames_;
    return;
  }
  const auto address = static_cast<std::uint16_t>(byteOf(frame, 2) << 8 | byteOf(frame, 3));
  const std::optional<ficht::Misbehaviour> misbehaviour = injections_.take(address);
  using Kind = ficht::Misbehaviour::Kind;
  if (misbehaviour && misbehaviour->kind == Kind::Silent) return;
  if (misbehaviour && misbehaviour->kind == Kind::Reset) {
    reset();
    return;
  }
  std::string answer = misbehaviour && misbehaviour->kind == Kind::Nak
                           ? std::string(1, static_cast<char>(kNak))
                           : answerFor(byteOf(frame, 1), address, body.substr(kHeaderSize));
  sendAnswer(frame, std::move(answer), lastByteUs + config_.replyDelayUs, misbehaviour);
}

std::string FichtEcu::answerFor(std::uint8_t first, std::uint16_t address, std::string_view data) {
  if (first & kWriteBit) return write(address, data);
  return std::string(1, static_cast<char>(first)) + readAt(address, first);
}

std::string FichtEcu::readAt(std::uint16_t address, std::size_t count) const {
  std::string block;
  if (address == kSoftwareVersionAddress) {
    block = bigEndian(softwareVersion_, 3);
  } else if (address == kVersionLetterAddress) {
    block = std::string("EMM-") + versionLetter_;
  } else if (address == kStatusAddress) {
    block = std::string(1, static_cast<char>(statusByte_));
  } else if (address == kModelAddress) {
    block = model_;
  } else if (address == kMapVersionAddress) {
    block = mapVersion_;
  } else if (address == kCurrentFaultsAddress) {
    block = currentBitmap();
  } else if (const auto* page =
                 std::find(std::begin(kHistoryAddresses), std::end(kHistoryAddresses), address);
             page != std::end(kHistoryAddresses)) {
    block = historyPage(static_cast<std::size_t>(page - std::begin(kHistoryAddresses)));
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      block.push_back(static_cast<char>(memory_[static_cast<std::uint16_t>(address + i)]));
    }
  }
  return fitted(block, count, '\0');
}

std::string FichtEcu::write(std::uint16_t address, std::string_view data) {
  const std::string accepted(1, static_cast<char>(data.size()));
  if (address == kCommandAddress && data.size() == 2 && byteOf(data, 1) == 0x01) {
    const std::uint8_t command = byteOf(data, 0);
    if (command == kClearFaults) current_.clear();
    takeCommand(command);
    return accepted;
  }
  if (address == kCommandZeroAddress && data == std::string_view("\0", 1)) {
    takeCommand(0);
    return accepted;
  }
  if (address == kCommandAddress || address == kCommandZeroAddress) {
    return std::string(1, static_cast<char>(kNak));  // not a command the register takes
  }
  for (std::size_t i = 0; i < data.size(); ++i) {
    memory_[static_cast<std::uint16_t>(address + i)] = byteOf(data, i);
  }
  return accepted;
}

void FichtEcu::takeCommand(std::uint8_t command) {
  commands_.push_back(command);
  if (taken_) taken_(command);
}

std::string FichtEcu::historyPage(std::size_t page) const {
  std::string bytes;
  for (std::size_t r = 0; r < kRecordsPerPage; ++r) {
    const std::size_t i = page * kRecordsPerPage + r;
    const HistoryRecord rec = i < history_.size() ? history_[i] : HistoryRecord{};
    bytes += bigEndian(static_cast<std::uint32_t>(rec.fault) << 24 |
                           static_cast<std::uint32_t>(rec.count) << 16 | rec.time,
                       4);
  }
  return bytes;
}

std::string FichtEcu::currentBitmap() const {
  std::string bitmap(kBitmapSize, '\0');
  for (const int fault : current_) {
    if (fault < 1 || fault > kMaxFault) continue;
    const auto bit = static_cast<std::size_t>(fault - 1);
    bitmap[bit / 8] = static_cast<char>(byteOf(bitmap, bit / 8) | (1u << (bit % 8)));
  }
  return bitmap;
}

void FichtEcu::sendAnswer(const std::string& request, std::string answer, std::uint64_t atUs,
                          std::optional<ficht::Misbehaviour> onWire) {
  using Kind = ficht::Misbehaviour::Kind;
  std::string wire = framed(std::move(answer));
  if (onWire && onWire->kind == Kind::Corrupted)
    wire.back() = static_cast<char>(wire.back() ^ 0x5A);
  if (onWire && onWire->kind == Kind::Truncated) wire.resize(std::min(wire.size(), onWire->keep));
  if (onWire && onWire->kind == Kind::Late) atUs += onWire->lateUs;
  if (onWire && onWire->kind == Kind::Stray)
    wire.insert(wire.begin(), static_cast<char>(onWire->stray));
  after(atUs > nowUs() ? atUs - nowUs() : 0, [this, request, wire] {
    send(wire);
    if (log_) log_(PktToHex(request) + "-> " + PktToHex(wire));
  });
}

}  // namespace quorvan::sim
