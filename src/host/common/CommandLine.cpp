#include "host/common/CommandLine.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "client/Enums.h"

namespace quorvan::host {

namespace {

constexpr std::array<std::pair<const char*, std::int32_t>, 5> kDevices = {{
    {"mse10", ecuMSE10},
    {"mse11", ecuMSE11},
    {"visteon", ecuVisteon},
    {"ficht", ecuFicht},
    {"mbe", ecuMBE},
}};

// A mistake carries the code its kind of mistake exits with; one that carries none
// still must not look like success.
int exitCodeOf(const CLI::ParseError& mistake) {
  return mistake.get_exit_code() != 0 ? mistake.get_exit_code() : 1;
}

}  // namespace

std::optional<int> ParseCommandLine(CLI::App& app, const std::function<void()>& parse,
                                    std::ostream& out, std::ostream& err) {
  try {
    parse();
    return std::nullopt;
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e, out, err);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e, out, err);
  } catch (const CLI::ParseError& e) {
    err << fmt::format("{}: {} (see --help)\n", app.get_name(), e.what());
    return exitCodeOf(e);
  }
}

std::int64_t ParseInteger(const std::string& text, std::int64_t min, std::int64_t max) {
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  std::uint64_t magnitude = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
      magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    throw std::invalid_argument(fmt::format("'{}' is not a number", text));
  }
  const auto value =
      negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  if (value < min || value > max) {
    throw std::invalid_argument(fmt::format("{} is outside {}..{}", text, min, max));
  }
  return value;
}

std::int32_t ParseDevice(const std::string& text) {
  const std::string name = LowerCase(text);
  for (const auto& [known, value] : kDevices) {
    if (name == known) return value;
  }
  try {
    return static_cast<std::int32_t>(ParseIntegerOf<std::int32_t>(text));
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument(fmt::format(
        "unknown device '{}' (use mse10, mse11, visteon, ficht, mbe or a number)", text));
  }
}

CLI::Validator AcceptedBy(std::function<void(const std::string&)> parse) {
  return CLI::Validator(
      [parse = std::move(parse)](const std::string& text) {
        try {
          parse(text);
          return std::string();
        } catch (const std::invalid_argument& e) {
          return std::string(e.what());
        }
      },
      "");
}

std::string LowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string DeviceName(std::int32_t device) {
  for (const auto& [name, value] : kDevices) {
    if (value == device) return name;
  }
  return std::to_string(device);
}

}  // namespace quorvan::host
