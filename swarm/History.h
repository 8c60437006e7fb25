#pragma once
// What one quantity of the simulated world held over virtual time, so that a value the
// server delivers can be checked against what the controller really held while it was
// being read.
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

namespace quorvan::swarm {

template <typename T>
class History {
 public:
  void set(std::uint64_t atUs, T value) { changes_.emplace_back(atUs, std::move(value)); }
  bool empty() const { return changes_.empty(); }
  const T& now() const { return changes_.back().second; }

  // The value was in force at some instant of [fromUs, toUs].
  bool heldDuring(const T& value, std::uint64_t fromUs, std::uint64_t toUs) const {
    for (std::size_t i = 0; i < changes_.size(); ++i) {
      const std::uint64_t start = changes_[i].first;
      const bool endsBefore = i + 1 < changes_.size() && changes_[i + 1].first < fromUs;
      if (start > toUs || endsBefore) continue;
      if (changes_[i].second == value) return true;
    }
    return false;
  }
  // Every value in force at some instant of [fromUs, toUs].
  template <typename Fn>
  void forEachDuring(std::uint64_t fromUs, std::uint64_t toUs, Fn fn) const {
    for (std::size_t i = 0; i < changes_.size(); ++i) {
      const bool endsBefore = i + 1 < changes_.size() && changes_[i + 1].first < fromUs;
      if (changes_[i].first <= toUs && !endsBefore) fn(changes_[i].second);
    }
  }
  // Drops what ended before beforeUs; the value in force then stays.
  void forget(std::uint64_t beforeUs) {
    std::size_t keepFrom = 0;
    while (keepFrom + 1 < changes_.size() && changes_[keepFrom + 1].first <= beforeUs) ++keepFrom;
    changes_.erase(changes_.begin(), changes_.begin() + static_cast<std::ptrdiff_t>(keepFrom));
  }

 private:
  std::vector<std::pair<std::uint64_t, T>> changes_;
};

}  // namespace quorvan::swarm
