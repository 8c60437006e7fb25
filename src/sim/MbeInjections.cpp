#include "sim/MbeInjections.h"

namespace quorvan::sim::mbe {

void MisbehaviourRules::add(int address, Misbehaviour what, int times) {
  if (times != 0) rules_.push_back({address, what, times});
}

std::optional<Misbehaviour> MisbehaviourRules::forRead(std::uint16_t address) {
  for (auto rule = rules_.begin(); rule != rules_.end(); ++rule) {
    if (rule->address != kAnyAddress && rule->address != address) continue;
    const Misbehaviour what = rule->what;
    if (rule->left > 0 && --rule->left == 0) rules_.erase(rule);
    return what;
  }
  return std::nullopt;
}

}  // namespace quorvan::sim::mbe
