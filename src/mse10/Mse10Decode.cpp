#include "mse10/Mse10Decode.h"

#include <cmath>

#include "kline/Format.h"
#include "trace/Text.h"

namespace quorvan::mse10 {

namespace {

constexpr std::size_t kHeaderBytes = 3;
constexpr std::size_t kFaultCodeBytes = 3;
constexpr std::size_t kLongestNumber = 4;  // more data bytes go to the client as bytes
constexpr std::uint8_t kHistoricFlag = 0x80;

std::uint8_t byteOf(std::string_view bytes, std::size_t i) {
  return static_cast<std::uint8_t>(bytes[i]);
}

std::string trimBlanks(std::string text) {
  text.erase(0, text.find_first_not_of(' '));
  const std::size_t last = text.find_last_not_of(' ');
  text.erase(last == std::string::npos ? 0 : last + 1);
  return text;
}

double numberOf(std::string_view data, std::int16_t size) {
  double value = 0;
  const std::size_t k = data.size();
  for (std::size_t i = 0; i < k; ++i) {
    const std::size_t weight = size > 0 ? i : k - 1 - i;
    value += std::ldexp(static_cast<double>(byteOf(data, i)), static_cast<int>(8 * weight));
  }
  return value;
}

}  // namespace

std::optional<BlockParts> SplitBlock(std::string_view block) {
  if (block.size() < kHeaderBytes) return std::nullopt;
  BlockParts parts{byteOf(block, 2), {}};
  if (block.size() > kHeaderBytes + 1) parts.data = block.substr(3, block.size() - 4);
  return parts;
}

std::string IdentificationText(std::string_view data) {
  // NULs first, so that blanks hidden in front of them go too.
  return trimBlanks(CleanStr(data));
}

std::optional<std::string> FaultCodeText(std::string_view data) {
  if (data.size() < kFaultCodeBytes) return std::nullopt;
  std::string code(data.substr(0, kFaultCodeBytes));
  std::string prefix = "C";
  if (byteOf(code, 2) >= kHistoricFlag) {
    prefix = "H";
    code[2] = static_cast<char>(byteOf(code, 2) - kHistoricFlag);
  }
  return prefix + PktToHex(code, true) + "/";
}

Variant MemoryValue(std::string_view data, std::int16_t itemSize) {
  if (data.size() > kLongestNumber) return Variant(std::string(data));
  return Variant(UnsignedToLong(numberOf(data, itemSize)));
}

}  // namespace quorvan::mse10
