// The SAE J1979 current-data parameters a Visteon controller reports as supported in its
// PID 0x00 answer, at 0x0100 + PID in the watch table, and its stored fault codes at
// 0x0300. The server takes the first data byte of an answer (two for engine speed), so
// the parameters listed are those that byte carries whole.
#include <array>

#include "catalog/FamilyItems.h"
#include "client/Enums.h"

namespace quorvan::catalog {

namespace {
constexpr double kPercentOfByte = 100.0 / 255;
constexpr double kPercentOfTrim = 100.0 / 128;

// clang-format off
constexpr std::array<CatalogItem, 16> kItems = {{
//  name              address size  kind      unit    scale           offset digits typical description
  {"monitor-status",  0x0101, 1, ecuFlags, "",   1,              0,    0, 0x82, "Malfunction lamp (bit 7) and count of stored fault codes (bits 0-6)"},
  {"fuel-system",     0x0103, 1, ecuFlags, "",   1,              0,    0, 0x02, "Fuel system status: 1 open loop cold, 2 closed loop, 4 open loop load, 8 open loop fault"},
  {"load",            0x0104, 1, ecuData,  "%",  kPercentOfByte, 0,    0, 25,   "Calculated engine load"},
  {"coolant",         0x0105, 1, ecuData,  "°C", 1,              -40,  0, 83,   "Coolant temperature"},
  {"short-fuel-trim", 0x0106, 1, ecuData,  "%",  kPercentOfTrim, -100, 1, 0,    "Short-term fuel trim, bank 1"},
  {"long-fuel-trim",  0x0107, 1, ecuData,  "%",  kPercentOfTrim, -100, 1, 2.3,  "Long-term fuel trim, bank 1"},
  {"rpm",             0x010C, 2, ecuData,  "rpm", 0.25,          0,    0, 1500, "Engine speed"},
  {"speed",           0x010D, 1, ecuData,  "km/h", 1,            0,    0, 0,    "Vehicle speed"},
  {"timing-advance",  0x010E, 1, ecuData,  "°",  0.5,            -64,  1, 12,   "Ignition timing advance before top dead centre, cylinder 1"},
  {"intake-air",      0x010F, 1, ecuData,  "°C", 1,              -40,  0, 30,   "Intake air temperature"},
  {"throttle",        0x0111, 1, ecuData,  "%",  kPercentOfByte, 0,    0, 14,   "Throttle position"},
  {"o2-sensors",      0x0113, 1, ecuFlags, "",   1,              0,    0, 0x03, "Oxygen sensors present: bits 0-3 bank 1 sensors 1-4, bits 4-7 bank 2"},
  {"o2-voltage-1",    0x0114, 1, ecuData,  "V",  0.005,          0,    3, 0.45, "Oxygen sensor voltage, bank 1 sensor 1"},
  {"o2-voltage-2",    0x0115, 1, ecuData,  "V",  0.005,          0,    3, 0.62, "Oxygen sensor voltage, bank 1 sensor 2"},
  {"obd-standard",    0x011C, 1, ecuData,  "",   1,              0,    0, 1,    "OBD standard met: 1 OBD-II (CARB), 2 OBD (EPA), 3 both, 5 none"},
  {"faults",          0x0300, 1, ecuFaults, "",  1,              0,    0, 0,    "Stored fault codes"},
}};
// clang-format on
}  // namespace

std::span<const CatalogItem> VisteonItems() {
  return kItems;
}

}  // namespace quorvan::catalog
