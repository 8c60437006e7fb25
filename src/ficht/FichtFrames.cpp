#include "ficht/FichtFrames.h"

#include <cmath>

#include "kline/Format.h"
#include "kline/FaultCodes.h"
#include "trace/Text.h"

namespace quorvan {

namespace {

constexpr std::uint8_t kWriteBit = 0x80;
constexpr std::size_t kHistoryRecords = 8;
constexpr std::size_t kBitmapBytes = 32;

char byteChar(std::int32_t value) {
  return static_cast<char>(value & 0xFF);
}

std::uint8_t byteOf(std::string_view s, std::size_t i) {
  return static_cast<std::uint8_t>(s[i]);
}

std::string threeDigits(std::int32_t n) {
  return FormatNumber(n, "000");
}

}  // namespace

std::string FichtFrame(std::string_view payload) {
  std::string frame(1, kFichtLead);
  frame += payload;
  frame.push_back(static_cast<char>(Checksum8(frame)));
  return frame;
}

std::string FichtReadPayload(std::int32_t address, std::int32_t count) {
  return {byteChar(count), byteChar(address >> 8), byteChar(address)};
}

std::string FichtCommandPayload(std::int32_t code) {
  if (code == 0) return FichtWritePayload(kFichtCommandZeroAddress, std::string(1, '\0'));
  return FichtWritePayload(kFichtCommandAddress, std::string{byteChar(code), '\x01'});
}

std::string FichtWritePayload(std::uint8_t address, std::string_view data) {
  std::string payload{byteChar(kWriteBit + static_cast<std::int32_t>(data.size())), '\0',
                      static_cast<char>(address)};
  payload += data;
  return payload;
}

bool FichtReplyValid(std::string_view received, std::string_view reply) {
  if (received.empty() || received[0] != kFichtLead || reply.empty()) return false;
  const std::size_t expected = reply.size() == 1 ? 1 : byteOf(reply, 0) + std::size_t{1};
  if (expected != reply.size()) return false;
  if (received.size() < reply.size() + 2) return false;
  return Checksum8(received.substr(0, reply.size() + 1)) == byteOf(received, reply.size() + 1);
}

std::vector<std::int32_t> DecodeFichtRead(std::string_view reply, int size) {
  if (FichtSizeIsNumber(size)) {
    return {ExtractLong(reply, 2, static_cast<std::size_t>(std::max(size, 0)))};
  }
  if (size == 6) return {ExtractLong(reply, 2, 3), ExtractLong(reply, 5, 3)};
  // Halves to even, as the module's clients have always counted them (10 gives 2).
  const auto m = static_cast<std::size_t>(std::nearbyint(size / 4.0));
  std::vector<std::int32_t> numbers;
  for (std::size_t j = 0; j < m; ++j) numbers.push_back(ExtractLong(reply, 4 * j + 2, 4));
  return numbers;
}

std::string ExtractFichtHistoric(const std::vector<std::int32_t>& records) {
  if (records.size() < kHistoryRecords) return {};
  std::string faults;
  for (std::size_t j = 0; j < kHistoryRecords; ++j) {
    const auto r = static_cast<std::uint32_t>(records[j]);
    const auto number = static_cast<std::int32_t>(r >> 24);
    if (number == 0) continue;
    faults += "H" + threeDigits(number) + " @" + std::to_string(r & 0xFFFF) + " #" +
              std::to_string((r >> 16) & 0xFF) + "/";
  }
  return faults;
}

std::string ExtractFichtCurrent(std::string_view reply) {
  std::string faults;
  for (std::size_t k = 0; k < kBitmapBytes && k + 1 < reply.size(); ++k) {
    const std::uint8_t bits = byteOf(reply, k + 1);
    for (int b = 0; b < 8; ++b) {
      if ((bits >> b) & 1) {
        faults += "C" + threeDigits(static_cast<std::int32_t>(k) * 8 + b + 1) + "/";
      }
    }
  }
  return faults;
}

}  // namespace quorvan
