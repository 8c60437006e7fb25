#pragma once
// The readings the memory-read families (MSE 1.0, MBE, Ficht) keep at the same addresses
// in the simulated controllers' memory; each family's server path reads them in its own
// byte order. A controller's own map may place them elsewhere.
#include <array>
#include <cstddef>

#include "catalog/Catalog.h"
#include "client/Enums.h"

namespace quorvan::catalog {

// clang-format off
inline constexpr std::array<CatalogItem, 4> kMemoryReadings = {{
//  name          address size  kind      unit   scale        offset digits typical description
  {"rpm",         0x0040, 2, ecuData,  "rpm", 0.25,        0,   0, 1500, "Engine speed"},
  {"throttle",    0x0042, 1, ecuData,  "%",   100.0 / 255, 0,   0, 14,   "Throttle position"},
  {"coolant",     0x0043, 1, ecuData,  "°C",  1,           -40, 0, 83,   "Coolant temperature"},
  {"intake-air",  0x0044, 1, ecuData,  "°C",  1,           -40, 0, 30,   "Intake air temperature"},
}};
// clang-format on

// The memory readings followed by a family's own items.
template <std::size_t N>
constexpr std::array<CatalogItem, kMemoryReadings.size() + N> WithMemoryReadings(
    const std::array<CatalogItem, N>& own) {
  std::array<CatalogItem, kMemoryReadings.size() + N> items{};
  std::size_t at = 0;
  for (const CatalogItem& item : kMemoryReadings) items[at++] = item;
  for (const CatalogItem& item : own) items[at++] = item;
  return items;
}

}  // namespace quorvan::catalog
