#pragma once
// What the demo shows while it runs: the link status, the simulated controller's values
// and its fault codes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalog/Catalog.h"

namespace quorvan::host {

struct DemoReading {
  const catalog::CatalogItem* item = nullptr;
  std::optional<std::int64_t> raw;  // the last raw reading
  std::size_t updates = 0;
};

struct DemoScreen {
  std::optional<std::int32_t> status;  // the last CommStatus
  std::vector<DemoReading> readings;
  std::optional<std::string> faults;  // the last fault list, as the server gave it
  std::size_t faultReads = 0;
};

std::vector<std::string> DemoScreenLines(const DemoScreen& screen);

// The server's fault list ("0123/0133/") as codes for people ("0123 0133"); "none" for an
// empty list.
std::string FaultCodesText(std::string_view serverText);

}  // namespace quorvan::host
