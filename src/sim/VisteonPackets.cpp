#include "sim/VisteonPackets.h"

#include <cassert>

namespace quorvan::sim::visteon {

namespace {

bool checksumMatches(std::string_view packet) {
  return packet.size() >= kMinPacket &&
         Checksum(packet.substr(0, packet.size() - 1)) == ByteAt(packet, packet.size() - 1);
}

std::string frame(std::uint8_t format, std::uint8_t target, std::string_view data) {
  std::string packet = Bytes({format, target, kEngineAddress});
  packet.append(data);
  packet.push_back(static_cast<char>(Checksum(packet)));
  return packet;
}

// Splits by stated lengths; empty unless every byte belongs to a sound packet.
std::vector<std::string> splitByStatedLengths(std::string_view heard) {
  std::vector<std::string> packets;
  while (!heard.empty()) {
    const std::size_t length = StatedLength(ByteAt(heard, 0));
    if (length == 0 || length > heard.size() || !checksumMatches(heard.substr(0, length))) {
      return {};
    }
    packets.emplace_back(heard.substr(0, length));
    heard.remove_prefix(length);
  }
  return packets;
}

}  // namespace

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (const int v : values) s.push_back(static_cast<char>(v & 0xFF));
  return s;
}

std::string Positive(std::uint8_t service, std::string_view rest) {
  std::string answer(1, static_cast<char>(service + sid::kPositive));
  answer.append(rest);
  return answer;
}

std::uint8_t Checksum(std::string_view bytes) {
  unsigned sum = 0;
  for (const char c : bytes) sum += static_cast<unsigned char>(c);
  return static_cast<std::uint8_t>(sum & 0xFF);
}

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (!text.empty()) text.push_back(' ');
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 0x0F]);
  }
  return text;
}

std::size_t StatedLength(std::uint8_t format) {
  const std::size_t length = (format >> 4) + 1u;
  return (format & 0x0F) == 4 && length >= kMinPacket ? length : 0;
}

bool IsWholeGeneralPacket(std::string_view bytes) {
  return !bytes.empty() && StatedLength(ByteAt(bytes, 0)) == bytes.size() && checksumMatches(bytes);
}

std::optional<Request> DecodeRequest(std::string_view packet) {
  if (!checksumMatches(packet) || ByteAt(packet, 2) != kTesterAddress) return std::nullopt;
  const bool sae = ByteAt(packet, 0) == kSaeRequestFormat && ByteAt(packet, 1) == kSaeRequestTarget;
  const bool physical = ByteAt(packet, 1) == kEngineAddress && (ByteAt(packet, 0) & 0x0F) == 4;
  const std::uint8_t service = ByteAt(packet, kHeaderSize);
  // SAE J1979 services (below 0x10) are addressed functionally, the others physically.
  if (service < 0x10 ? !sae : !physical) return std::nullopt;
  return Request{std::string(packet.substr(kHeaderSize, packet.size() - kHeaderSize - 1)), sae};
}

std::vector<std::string> SplitPackets(std::string_view heard) {
  std::vector<std::string> packets = splitByStatedLengths(heard);
  if (packets.empty() && checksumMatches(heard)) packets.emplace_back(heard);
  return packets;
}

std::string FrameSaeReply(std::string_view data) {
  return frame(kSaeReplyFormat, kSaeReplyTarget, data);
}

std::string FrameReply(std::string_view data) {
  assert(!data.empty() && data.size() <= kMaxPacket - kHeaderSize - 1);
  const auto format = static_cast<std::uint8_t>(((data.size() + kHeaderSize) << 4) | 4);
  return frame(format, kTesterAddress, data);
}

}  // namespace quorvan::sim::visteon
