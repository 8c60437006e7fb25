#include "kline/FaultCodes.h"

namespace quorvan {

std::string GetOneFaultCode(std::string_view twoBytes) {
  std::string text;
  for (char c : twoBytes.substr(0, 2)) {
    const auto b = static_cast<unsigned char>(c);
    text.push_back(static_cast<char>(48 + (b >> 4)));
    text.push_back(static_cast<char>(48 + (b & 15)));
  }
  return text;
}

std::uint8_t Checksum8(std::string_view bytes) {
  unsigned sum = 0;
  for (char c : bytes) sum += static_cast<unsigned char>(c);
  return static_cast<std::uint8_t>(sum & 0xFF);
}

}  // namespace quorvan
