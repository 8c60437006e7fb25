// An MSE 1.0 controller's readings: memory reads, least significant byte first, and its
// fault list (the read-faults block; the address is not used).
#include "catalog/FamilyItems.h"
#include "catalog/MemoryReadings.h"

namespace quorvan::catalog {

namespace {
// clang-format off
constexpr auto kItems = WithMemoryReadings(std::array<CatalogItem, 1>{{
  {"faults", 0x0000, 1, ecuFaults, "", 1, 0, 0, 0, "Fault codes, present (C) and past (H)"},
}});
// clang-format on
}  // namespace

std::span<const CatalogItem> Mse10Items() {
  return kItems;
}

}  // namespace quorvan::catalog
