#include "host/common/TextMapping.h"

#include <fmt/format.h>

#include <cstdint>

namespace quorvan::host {

namespace {

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {  // only U+2400 comes here
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Decodes the character starting at text[pos] and moves pos past it.
char32_t nextCharacter(std::string_view text, std::size_t& pos) {
  const auto lead = static_cast<std::uint8_t>(text[pos]);
  std::size_t length = 0;
  char32_t c = 0;
  if (lead < 0x80) {
    length = 1;
    c = lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2;
    c = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    c = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    c = lead & 0x07;
  } else {
    throw TextMappingError(fmt::format("text is not UTF-8 (byte 0x{:02X} at {})", lead, pos));
  }
  if (pos + length > text.size()) {
    throw TextMappingError(fmt::format("text is not UTF-8 (cut short at {})", pos));
  }
  for (std::size_t i = 1; i < length; ++i) {
    const auto follow = static_cast<std::uint8_t>(text[pos + i]);
    if ((follow & 0xC0) != 0x80) {
      throw TextMappingError(
          fmt::format("text is not UTF-8 (byte 0x{:02X} at {})", follow, pos + i));
    }
    c = (c << 6) | (follow & 0x3F);
  }
  pos += length;
  return c;
}

}  // namespace

std::string BytesToText(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const char b : bytes) {
    const auto byte = static_cast<std::uint8_t>(b);
    appendUtf8(text, byte == 0 ? kNulStandIn : char32_t{byte});
  }
  return text;
}

std::string TextToBytes(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t at = pos;
    const char32_t c = nextCharacter(text, pos);
    if (c == kNulStandIn) {
      bytes += '\0';
    } else if (c <= 0xFF) {
      bytes += static_cast<char>(c);
    } else {
      throw TextMappingError(fmt::format(
          "character U+{:04X} at byte {} of the text has no byte value (only U+0000..U+00FF "
          "and U+2400 for byte 0 do)",
          static_cast<std::uint32_t>(c), at));
    }
  }
  return bytes;
}

}  // namespace quorvan::host
