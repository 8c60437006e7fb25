// An MSE 1.0 controller's readings: memory reads, least significant byte first. The
// addresses are those of the simulated controller's memory; a controller's own map may
// place them elsewhere (watch those with the raw N:ADDR:SIZE:KIND form).
#include <array>

#include "catalog/FamilyItems.h"
#include "client/Enums.h"

namespace quorvan::catalog {

namespace {
// clang-format off
constexpr std::array<CatalogItem, 5> kItems = {{
//  name          address size  kind      unit   scale        offset digits typical description
  {"rpm",         0x0040, 2, ecuData,  "rpm", 0.25,        0,   0, 1500, "Engine speed"},
  {"throttle",    0x0042, 1, ecuData,  "%",   100.0 / 255, 0,   0, 14,   "Throttle position"},
  {"coolant",     0x0043, 1, ecuData,  "°C",  1,           -40, 0, 83,   "Coolant temperature"},
  {"intake-air",  0x0044, 1, ecuData,  "°C",  1,           -40, 0, 30,   "Intake air temperature"},
  {"faults",      0x0000, 1, ecuFaults, "",   1,           0,   0, 0,    "Fault codes, present (C) and past (H)"},
}};
// clang-format on
}  // namespace

std::span<const CatalogItem> Mse10Items() {
  return kItems;
}

}  // namespace quorvan::catalog
