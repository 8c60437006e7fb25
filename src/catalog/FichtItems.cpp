// A Ficht module's readings: values most significant byte first, at addresses 0..255.
// Fault items sit above 65536: 0x10000 reads the fault history, 0x20000 the current
// faults, 0x30000 both.
#include "catalog/FamilyItems.h"
#include "catalog/MemoryReadings.h"

namespace quorvan::catalog {

namespace {
// clang-format off
constexpr auto kItems = WithMemoryReadings(std::array<CatalogItem, 3>{{
  {"faults",         0x30000, 1, ecuFaults, "", 1, 0, 0, 0, "Fault history (H), then the current fault codes (C)"},
  {"current-faults", 0x20000, 1, ecuFaults, "", 1, 0, 0, 0, "Current fault codes"},
  {"fault-history",  0x10000, 1, ecuFaults, "", 1, 0, 0, 0, "Fault history"},
}});
// clang-format on
}  // namespace

std::span<const CatalogItem> FichtItems() {
  return kItems;
}

}  // namespace quorvan::catalog
