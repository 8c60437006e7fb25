#include "host/cli/DemoView.h"

#include <fmt/format.h>

#include "host/cli/ClientOutput.h"
#include "host/cli/EcuSession.h"

namespace quorvan::host {

namespace {
constexpr const char* kLayout = "{:<24} {:>10} {:>7} {:>8}";
}  // namespace

std::vector<std::string> DemoScreenLines(const DemoScreen& screen) {
  std::vector<std::string> lines;
  lines.push_back(
      fmt::format("Link: {}", screen.status ? StatusName(*screen.status) : "(no status yet)"));
  lines.push_back(fmt::format(kLayout, "Value", "Reading", "Raw", "Updates"));
  for (const DemoReading& r : screen.readings) {
    lines.push_back(fmt::format(kLayout, r.item->description,
                                r.raw ? catalog::FormatInUnits(*r.item, *r.raw) : "-",
                                r.raw ? std::to_string(*r.raw) : "-", r.updates));
  }
  if (!screen.faults) {
    lines.push_back("Fault codes: (not read yet)");
  } else {
    lines.push_back(
        fmt::format("Fault codes: {}  (read {})", FaultCodesText(*screen.faults),
                    screen.faultReads == 1 ? "once" : fmt::format("{} times", screen.faultReads)));
  }
  return lines;
}

std::string FaultCodesText(std::string_view serverText) {
  const std::vector<std::string> codes = FaultCodes(serverText);
  return codes.empty() ? "none" : fmt::format("{}", fmt::join(codes, " "));
}

}  // namespace quorvan::host
