#pragma once
// The line by which the simulator tells whoever started it where it can be reached: the
// simulator writes it, the demo reads it.
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

namespace quorvan::host {

// The line the simulator prints when it has published its port: "N LINK".
std::string PublishedPortLine(int port, const std::filesystem::path& link);
// Port number and link of such a line; nothing when the text is not one.
std::optional<std::pair<int, std::filesystem::path>> ParsePublishedPortLine(
    const std::string& line);

}  // namespace quorvan::host
