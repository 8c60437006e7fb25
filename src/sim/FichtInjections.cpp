#include "sim/FichtInjections.h"

#include <algorithm>

namespace quorvan::sim::ficht {

void Injections::add(int address, Misbehaviour what, int times) {
  if (times == 0) return;
  rules_.push_back({address, what, times < 0 ? kForever : times});
}

std::optional<Misbehaviour> Injections::take(std::uint16_t address) {
  const auto rule = std::find_if(rules_.begin(), rules_.end(), [address](const Rule& r) {
    return r.address == kAnyAddress || r.address == address;
  });
  if (rule == rules_.end()) return std::nullopt;
  const Misbehaviour what = rule->what;
  if (rule->remaining != kForever && --rule->remaining == 0) rules_.erase(rule);
  return what;
}

}  // namespace quorvan::sim::ficht
