#pragma once
// The one source of chance of a swarm run: everything random in a run is drawn from it,
// in a fixed order, so a seed replays the same run.
#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace quorvan::swarm {

class Rng {
 public:
  explicit Rng(std::uint64_t seed) : engine_(seed) {}

  std::int64_t between(std::int64_t lo, std::int64_t hi) {  // both included
    return std::uniform_int_distribution<std::int64_t>(lo, hi)(engine_);
  }
  bool chance(double p) { return std::bernoulli_distribution(p)(engine_); }
  // An exponential gap with the given mean, at least 1 ms.
  std::uint64_t gapUs(double meanMs) {
    const double ms = std::exponential_distribution<double>(1.0 / meanMs)(engine_);
    return static_cast<std::uint64_t>(std::max(1.0, ms) * 1000.0);
  }
  template <typename T>
  const T& pick(const std::vector<T>& from) {
    return from[static_cast<std::size_t>(between(0, static_cast<std::int64_t>(from.size()) - 1))];
  }
  std::string bytes(std::size_t n) {
    std::string out(n, '\0');
    for (auto& c : out) c = static_cast<char>(between(0, 255));
    return out;
  }

 private:
  std::mt19937_64 engine_;
};

}  // namespace quorvan::swarm
