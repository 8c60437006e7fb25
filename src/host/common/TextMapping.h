#pragma once
// How byte strings travel in D-Bus texts. A D-Bus string is UTF-8 and cannot hold NUL,
// while the server's texts are byte strings (one char per byte, 0..255). Each byte b
// becomes the character U+00b, except byte 0, which becomes U+2400 (SYMBOL FOR NULL).
#include <stdexcept>
#include <string>
#include <string_view>

namespace quorvan::host {

inline constexpr char32_t kNulStandIn = 0x2400;

// A text that carries a character no byte maps to.
class TextMappingError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

std::string BytesToText(std::string_view bytes);
// Throws TextMappingError for malformed UTF-8 and for characters above U+00FF other than
// U+2400.
std::string TextToBytes(std::string_view text);

}  // namespace quorvan::host
