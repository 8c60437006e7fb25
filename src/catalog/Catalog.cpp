#include "catalog/Catalog.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>

#include "catalog/FamilyItems.h"
#include "client/Enums.h"

namespace quorvan::catalog {

namespace {
bool sameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) ==
           std::tolower(static_cast<unsigned char>(y));
  });
}
}  // namespace

std::span<const CatalogItem> ItemsOf(std::int32_t device) {
  switch (device) {
    case ecuVisteon:
      return VisteonItems();
    case ecuMSE10:
      return Mse10Items();
    case ecuMBE:
      return MbeItems();
    case ecuFicht:
      return FichtItems();
    default:
      return {};  // MSE 1.1 serves identification and reflash only
  }
}

const CatalogItem* FindItem(std::int32_t device, std::string_view name) {
  const auto items = ItemsOf(device);
  const auto it = std::find_if(items.begin(), items.end(),
                               [&](const CatalogItem& item) { return sameName(item.name, name); });
  return it == items.end() ? nullptr : &*it;
}

double ValueInUnits(const CatalogItem& item, std::int64_t raw) {
  return static_cast<double>(raw) * item.scale + item.offset;
}

std::uint32_t RawOf(const CatalogItem& item, double value) {
  const double most = std::pow(256.0, std::clamp<int>(item.size, 1, 4)) - 1;
  return static_cast<std::uint32_t>(
      std::clamp(std::round((value - item.offset) / item.scale), 0.0, most));
}

bool HasUnits(const CatalogItem& item) {
  return item.kind == ecuData;
}

std::string FormatInUnits(const CatalogItem& item, std::int64_t raw) {
  if (item.kind == ecuFlags) return fmt::format("0x{:02X}", raw);
  const std::string number = fmt::format("{:.{}f}", ValueInUnits(item, raw), item.digits);
  return *item.unit ? fmt::format("{} {}", number, item.unit) : number;
}

}  // namespace quorvan::catalog
