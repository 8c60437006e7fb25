#include "host/common/VariantMapping.h"

#include <cstdint>
#include <string>
#include <vector>

#include "host/common/Overloaded.h"
#include "host/common/TextMapping.h"

namespace quorvan::host {

sdbus::Variant ToBusVariant(const Variant& value) {
  return std::visit(
      Overloaded{
          [](std::monostate) { return sdbus::Variant(std::vector<std::int32_t>{}); },
          [](std::int32_t n) { return sdbus::Variant(n); },
          [](const std::string& bytes) {
            return sdbus::Variant(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
          },
          [](const std::vector<std::int32_t>& numbers) { return sdbus::Variant(numbers); },
      },
      value.value);
}

Variant FromBusVariant(const sdbus::Variant& value) {
  if (value.containsValueOfType<std::int32_t>()) return value.get<std::int32_t>();
  if (value.containsValueOfType<std::int16_t>()) {
    return std::int32_t{value.get<std::int16_t>()};
  }
  if (value.containsValueOfType<std::vector<std::uint8_t>>()) {
    const auto bytes = value.get<std::vector<std::uint8_t>>();
    return std::string(bytes.begin(), bytes.end());
  }
  if (value.containsValueOfType<std::vector<std::int32_t>>()) {
    return value.get<std::vector<std::int32_t>>();
  }
  if (value.containsValueOfType<std::string>()) return TextToBytes(value.get<std::string>());
  throw BadVariantType("a VARIANT value of D-Bus type '" + value.peekValueType() +
                       "' cannot be taken (use i, ay or ai)");
}

}  // namespace quorvan::host
