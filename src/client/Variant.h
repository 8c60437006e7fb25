#pragma once
// The value the client receives for a watched item: empty, a 32-bit number, a byte
// string, or an array of 32-bit numbers.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace quorvan {

struct Variant {
  std::variant<std::monostate, std::int32_t, std::string, std::vector<std::int32_t>> value;

  Variant() = default;
  Variant(std::int32_t n) : value(n) {}                    // NOLINT(google-explicit-constructor)
  Variant(std::string bytes) : value(std::move(bytes)) {}  // NOLINT
  Variant(std::vector<std::int32_t> numbers) : value(std::move(numbers)) {}  // NOLINT

  bool isEmpty() const { return std::holds_alternative<std::monostate>(value); }
  bool operator==(const Variant&) const = default;
};

}  // namespace quorvan
