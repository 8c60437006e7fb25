#pragma once
// Reads a fuzzer's bytes as the arguments of a call: numbers and slices taken from the
// front, the rest left for the bytes under test. Past the end it gives zeros and empty
// slices, never an error.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvan::fuzz {

class FuzzInput {
 public:
  explicit FuzzInput(std::string_view bytes) : rest_(bytes) {}

  std::uint8_t byte() {
    if (rest_.empty()) return 0;
    const auto b = static_cast<std::uint8_t>(rest_.front());
    rest_.remove_prefix(1);
    return b;
  }
  // Two bytes, most significant first.
  std::uint16_t word() {
    const std::uint16_t high = byte();
    return static_cast<std::uint16_t>(high << 8 | byte());
  }
  std::int32_t long32() {
    const std::uint32_t high = word();
    return static_cast<std::int32_t>(high << 16 | word());
  }
  std::string_view take(std::size_t n) {
    const std::string_view part = rest_.substr(0, std::min(n, rest_.size()));
    rest_.remove_prefix(part.size());
    return part;
  }
  std::string_view rest() const { return rest_; }
  bool empty() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

}  // namespace quorvan::fuzz
