#pragma once
// How a benchmark reports its figure: counters "measured" and "bound" in the figure's
// own unit and "ratio" = measured / bound, and where the ratio should lie ("aim_min",
// "aim_max"; scripts/bench prints them and whether the ratio is inside).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace quorvan::bench {

// Where the ratio should lie.
struct Aim {
  std::optional<double> min;
  std::optional<double> max;
};
inline Aim AtLeast(double ratio) {
  return {ratio, std::nullopt};
}
inline Aim AtMost(double ratio) {
  return {std::nullopt, ratio};
}
inline Aim Between(double low, double high) {
  return {low, high};
}

inline void Report(benchmark::State& state, double measured, double bound, Aim aim = {}) {
  state.counters["measured"] = measured;
  state.counters["bound"] = bound;
  state.counters["ratio"] = measured / bound;
  if (aim.min) state.counters["aim_min"] = *aim.min;
  if (aim.max) state.counters["aim_max"] = *aim.max;
}

// The value below which `p` (0..1) of the samples lie (nearest rank); 0 without samples.
inline double Percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(samples.size())));
  return samples[std::clamp<std::size_t>(rank, 1, samples.size()) - 1];
}

// The machine's load averages over 1, 5 and 15 minutes, as uptime shows them.
inline std::vector<double> LoadAverages() {
  std::ifstream in("/proc/loadavg");
  std::vector<double> load(3, 0.0);
  in >> load[0] >> load[1] >> load[2];
  return load;
}

// Records the load with a real-time figure: it is only as good as the machine was quiet.
inline void ReportLoad(benchmark::State& state) {
  const std::vector<double> load = LoadAverages();
  state.counters["load_1min"] = load[0];
  state.counters["load_5min"] = load[1];
}

}  // namespace quorvan::bench
