#pragma once
// Each family's table, one file each.
#include <span>

#include "catalog/Catalog.h"

namespace quorvan::catalog {

std::span<const CatalogItem> VisteonItems();
std::span<const CatalogItem> Mse10Items();
std::span<const CatalogItem> MbeItems();
std::span<const CatalogItem> FichtItems();

}  // namespace quorvan::catalog
