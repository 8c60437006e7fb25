#include "host/common/PublishedPort.h"

#include <fmt/format.h>

#include <stdexcept>

#include "host/common/CommandLine.h"

namespace quorvan::host {

std::string PublishedPortLine(int port, const std::filesystem::path& link) {
  return fmt::format("{} {}", port, link.string());
}

std::optional<std::pair<int, std::filesystem::path>> ParsePublishedPortLine(
    const std::string& line) {
  const std::size_t blank = line.find(' ');
  if (blank == std::string::npos || blank + 1 == line.size()) return std::nullopt;
  try {
    const auto port = static_cast<int>(ParseInteger(line.substr(0, blank), 1, 32767));
    return std::pair{port, std::filesystem::path(line.substr(blank + 1))};
  } catch (const std::invalid_argument&) {
    return std::nullopt;
  }
}

}  // namespace quorvan::host
