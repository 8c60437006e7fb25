#include "host/common/DemoChannels.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <string_view>

#include "client/Enums.h"

namespace quorvan::host {

namespace {

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

struct Course {
  std::string_view item;
  double (*course)(double seconds);
};

constexpr std::array<Course, 4> kCourses = {{
    {"rpm", engineSpeed},
    {"throttle", throttle},
    {"coolant", coolant},
    {"intake-air", intakeAir},
}};

}  // namespace

std::vector<DemoChannel> DemoChannels(std::int32_t device) {
  std::vector<DemoChannel> channels;
  for (const Course& c : kCourses) {
    if (const auto* item = catalog::FindItem(device, c.item)) {
      channels.push_back({item, c.course});
    }
  }
  return channels;
}

std::vector<CatalogReading> SimulatedReadings(std::int32_t device, double seconds) {
  std::vector<CatalogReading> readings;
  for (const catalog::CatalogItem& item : catalog::ItemsOf(device)) {
    if (item.kind != ecuData && item.kind != ecuFlags) continue;
    const auto* c = std::find_if(kCourses.begin(), kCourses.end(),
                                 [&](const Course& course) { return course.item == item.name; });
    const double value = c == kCourses.end() ? item.typical : c->course(seconds);
    readings.push_back({&item, catalog::RawOf(item, value)});
  }
  return readings;
}

}  // namespace quorvan::host
