// An MBE module's readings: two-byte values come low byte first. Fault items sit above
// 65536: 0x10000 reads the history byte, 0x20000 the current one, 0x30000 both.
#include "catalog/FamilyItems.h"
#include "catalog/MemoryReadings.h"

namespace quorvan::catalog {

namespace {
// clang-format off
constexpr auto kItems = WithMemoryReadings(std::array<CatalogItem, 3>{{
  {"faults",         0x30000, 1, ecuFaults, "", 1, 0, 0, 0, "Current fault codes (C), then the fault history (H)"},
  {"current-faults", 0x20000, 1, ecuFaults, "", 1, 0, 0, 0, "Current fault codes"},
  {"fault-history",  0x10000, 1, ecuFaults, "", 1, 0, 0, 0, "Fault history"},
}});
// clang-format on
}  // namespace

std::span<const CatalogItem> MbeItems() {
  return kItems;
}

}  // namespace quorvan::catalog
