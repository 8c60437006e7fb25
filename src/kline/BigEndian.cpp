#include "kline/BigEndian.h"

#include "kline/Format.h"

namespace quorvan {

std::int32_t ExtractLong(std::string_view bytes, std::size_t start, std::size_t length) {
  if (start < 1 || bytes.size() < start + length - 1) return 0;
  double sum = 0;
  for (std::size_t i = start; i < start + length; ++i) {
    sum = sum * 256 + static_cast<unsigned char>(bytes[i - 1]);
  }
  return UnsignedToLong(sum);
}

}  // namespace quorvan
