#include "sim/Mse11Frames.h"

#include "sim/VisteonPackets.h"

namespace quorvan::sim::mse11 {

namespace {

constexpr std::uint8_t kAddressBits = 0xC0;
constexpr std::uint8_t kLengthBits = 0x3F;
constexpr std::uint8_t kAddressed = 0x80;

std::uint8_t byteOf(std::string_view s, std::size_t i) {
  return static_cast<std::uint8_t>(s[i]);
}

// Bytes before the data: format, addresses, length byte.
std::size_t headerLength(std::string_view first) {
  const std::uint8_t format = byteOf(first, 0);
  return 1 + ((format & kAddressBits) != 0 ? 2 : 0) + ((format & kLengthBits) == 0 ? 1 : 0);
}

}  // namespace

std::optional<std::size_t> StatedFrameLength(std::string_view first) {
  if (first.empty()) return std::nullopt;
  const std::size_t header = headerLength(first);
  const std::uint8_t format = byteOf(first, 0);
  if ((format & kLengthBits) != 0) return header + (format & kLengthBits) + 1;
  if (first.size() < header) return std::nullopt;
  return header + byteOf(first, header - 1) + 1;
}

std::optional<std::string> FrameData(std::string_view frame) {
  const std::optional<std::size_t> length = StatedFrameLength(frame);
  if (!length || *length != frame.size()) return std::nullopt;
  if (visteon::Checksum(frame.substr(0, frame.size() - 1)) != byteOf(frame, frame.size() - 1)) {
    return std::nullopt;
  }
  const std::size_t header = headerLength(frame);
  return std::string(frame.substr(header, frame.size() - header - 1));
}

std::string FrameResponse(std::string_view data, bool addressed) {
  std::string frame;
  if (addressed) {
    frame =
        visteon::Bytes({static_cast<int>(kAddressed | data.size()), kTesterAddress, kEcuAddress});
  } else if (data.size() <= kLengthBits) {
    frame = visteon::Bytes({static_cast<int>(data.size())});
  } else {
    frame = visteon::Bytes({0x00, static_cast<int>(data.size())});
  }
  frame += data;
  frame.push_back(static_cast<char>(visteon::Checksum(frame)));
  return frame;
}

}  // namespace quorvan::sim::mse11
