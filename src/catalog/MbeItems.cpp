// An MBE module's readings: two-byte values come low byte first. The value addresses are
// those of the simulated module's memory; a module's own map may place them elsewhere.
// Fault items sit above 65536: 0x10000 reads the history byte, 0x20000 the current one.
#include <array>

#include "catalog/FamilyItems.h"
#include "client/Enums.h"

namespace quorvan::catalog {

namespace {
// clang-format off
constexpr std::array<CatalogItem, 7> kItems = {{
//  name              address  size  kind      unit   scale        offset digits typical description
  {"rpm",             0x00040, 2, ecuData,  "rpm", 0.25,        0,   0, 1500, "Engine speed"},
  {"throttle",        0x00042, 1, ecuData,  "%",   100.0 / 255, 0,   0, 14,   "Throttle position"},
  {"coolant",         0x00043, 1, ecuData,  "°C",  1,           -40, 0, 83,   "Coolant temperature"},
  {"intake-air",      0x00044, 1, ecuData,  "°C",  1,           -40, 0, 30,   "Intake air temperature"},
  {"faults",          0x30000, 1, ecuFaults, "",   1,           0,   0, 0,    "Current fault codes (C), then the fault history (H)"},
  {"current-faults",  0x20000, 1, ecuFaults, "",   1,           0,   0, 0,    "Current fault codes"},
  {"fault-history",   0x10000, 1, ecuFaults, "",   1,           0,   0, 0,    "Fault history"},
}};
// clang-format on
}  // namespace

std::span<const CatalogItem> MbeItems() {
  return kItems;
}

}  // namespace quorvan::catalog
