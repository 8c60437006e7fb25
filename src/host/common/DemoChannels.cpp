#include "host/common/DemoChannels.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "client/Enums.h"

namespace quorvan::host {

namespace {

constexpr std::int32_t kCurrentDataClass = 0x0100;

double wave(double seconds, double period) {
  return std::sin(2 * std::numbers::pi * seconds / period);
}

// A rider blipping the throttle around a fast idle.
double engineSpeed(double s) {
  return 1500 + 650 * wave(s, 24) + 150 * wave(s, 5.3);
}
double throttle(double s) {
  return std::clamp((engineSpeed(s) - 700) / 1800 * 45, 0.0, 100.0);
}
// Warming up from a cold start.
double coolant(double s) {
  return 20 + 70 * (1 - std::exp(-s / 150));
}
double intakeAir(double s) {
  return 28 + 4 * wave(s, 90);
}

constexpr std::array<DemoChannel, 4> kChannels = {{
    {"Engine speed", "rpm", 0x0C, 0x0040, 2, 0.25, 0, engineSpeed},
    {"Throttle position", "%", 0x11, 0x0042, 1, 100.0 / 255, 0, throttle},
    {"Coolant temperature", "°C", 0x05, 0x0043, 1, 1, -40, coolant},
    {"Intake air temperature", "°C", 0x0F, 0x0044, 1, 1, -40, intakeAir},
}};

}  // namespace

std::span<const DemoChannel> DemoChannels() {
  return kChannels;
}

std::uint32_t RawReading(const DemoChannel& channel, double physical) {
  const double most = std::pow(256.0, channel.size) - 1;
  return static_cast<std::uint32_t>(
      std::clamp(std::round((physical - channel.offset) / channel.scale), 0.0, most));
}

double PhysicalValue(const DemoChannel& channel, std::int64_t raw) {
  return static_cast<double>(raw) * channel.scale + channel.offset;
}

std::string FormatPhysical(const DemoChannel& channel, std::int64_t raw) {
  return fmt::format("{:.0f} {}", PhysicalValue(channel, raw), channel.unit);
}

std::int32_t WatchAddress(const DemoChannel& channel, std::int32_t device) {
  return device == ecuVisteon ? kCurrentDataClass + channel.pid : channel.address;
}

}  // namespace quorvan::host
