#pragma once
// The demo's live values: which catalog items drift and how. The simulator lets them
// drift along their course and holds every other item of its family's catalog at its
// typical value; the demo's view watches them through the same catalog, so what one
// writes the other reads back.
#include <cstdint>
#include <span>
#include <vector>

#include "catalog/Catalog.h"

namespace quorvan::host {

struct DemoChannel {
  const catalog::CatalogItem* item;
  double (*course)(double seconds);  // the value in units that long after the start
};

// The drifting values of the family, in the order the demo shows them; empty for a
// family without them in its catalog.
std::vector<DemoChannel> DemoChannels(std::int32_t device);

// The value in units of every data or flags item of the family at that moment: its course
// where it has one, else its typical value. What the simulator writes.
struct CatalogReading {
  const catalog::CatalogItem* item;
  std::uint32_t raw;
};
std::vector<CatalogReading> SimulatedReadings(std::int32_t device, double seconds);

}  // namespace quorvan::host
