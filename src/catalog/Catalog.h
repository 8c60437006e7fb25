#pragma once
// The named readings of each controller family: where each lives in the watch table
// (address, size, kind), how its raw reading becomes a value in engineering units, and a
// one-line description. One table per family, data only; the client, the demo and the
// simulator all read them.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quorvan::catalog {

struct CatalogItem {
  const char* name;      // what the user types: "rpm"
  std::int32_t address;  // as the watch table takes it
  std::int16_t size;     // bytes of the raw reading
  std::int32_t kind;     // ecuData, ecuFlags or ecuFaults
  const char* unit;      // "" for flags, fault lists and plain numbers
  double scale;          // value = raw * scale + offset
  double offset;
  int digits;               // decimals worth showing
  double typical;           // a plausible value of a running engine, in units
  const char* description;  // one line
};

// The items of a family; empty for a family that serves no watch items.
std::span<const CatalogItem> ItemsOf(std::int32_t device);
// The item of that name (any case), or nullptr.
const CatalogItem* FindItem(std::int32_t device, std::string_view name);

// The value in engineering units of a raw reading.
double ValueInUnits(const CatalogItem& item, std::int64_t raw);
// The raw reading of a value in units, rounded and held to what `size` bytes can say.
std::uint32_t RawOf(const CatalogItem& item, double value);
// "1724 rpm", "13.5 °", "0.450 V"; flags as "0x82".
std::string FormatInUnits(const CatalogItem& item, std::int64_t raw);
// Whether the item carries a value that has units (data), not flags or a fault list.
bool HasUnits(const CatalogItem& item);

}  // namespace quorvan::catalog
