#include "kline/Format.h"

#include <cmath>

namespace quorvan {

std::string Hex2(std::uint8_t intByte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[intByte >> 4], kDigits[intByte & 15]};
}

std::int32_t UnsignedToLong(double value) {
  if (value > 2147483647.0) value -= 4294967296.0;
  // nearbyint rounds ties to even under the default rounding mode.
  const double r = std::nearbyint(value);
  if (r > 2147483647.0) return 2147483647;
  if (r < -2147483648.0) return -2147483647 - 1;
  return static_cast<std::int32_t>(r);
}

std::string CleanStr(std::string_view source) {
  std::string out;
  out.reserve(source.size());
  for (char c : source) {
    if (c != '\0') out.push_back(c);
  }
  return out;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  s.reserve(values.size());
  for (int b : values) s.push_back(static_cast<char>(b & 0xFF));
  return s;
}

std::int16_t ByteAt(std::string_view bytes, std::size_t i) {
  if (i < 1 || bytes.size() < i) return -1;
  return static_cast<std::int16_t>(static_cast<unsigned char>(bytes[i - 1]));
}

std::int32_t ExtractLong(std::string_view reply, std::size_t start, std::size_t length) {
  if (start < 1 || reply.size() < start + length - 1) return 0;
  double value = 0;
  for (std::size_t i = start - 1; i < start - 1 + length; ++i) {
    value = value * 256 + static_cast<unsigned char>(reply[i]);
  }
  return UnsignedToLong(value);
}

}  // namespace quorvan
