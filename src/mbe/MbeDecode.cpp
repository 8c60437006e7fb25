#include "mbe/MbeDecode.h"

#include "kline/Format.h"
#include "trace/Text.h"

namespace quorvan::mbe {

namespace {
constexpr std::size_t kLongestNumber = 2;  // longer replies go to the client as bytes
constexpr int kFaultBits = 8;
}  // namespace

std::optional<std::string> ReadRequest(std::int32_t address) {
  if (address < 0 || address > 0xFFFF) return std::nullopt;
  return Bytes({address / 256, address & 255});
}

Variant ReplyValue(std::string_view reply) {
  if (reply.size() > kLongestNumber) return Variant(std::string(reply));
  std::int32_t v = ExtractLong(reply, 1, reply.size());
  if (reply.size() == 2) v = (v & 255) * 256 | (v / 256);  // sent low byte first
  return Variant(v);
}

std::string ExtractMBEFaults(std::int32_t bits, bool isCurrent) {
  const char* prefix = isCurrent ? "C" : "H";
  std::string codes;
  for (int b = 0; b < kFaultBits; ++b) {
    if ((bits & (1 << b)) != 0) codes += prefix + FormatNumber(b + 1, "00") + "/";
  }
  return codes;
}

}  // namespace quorvan::mbe
