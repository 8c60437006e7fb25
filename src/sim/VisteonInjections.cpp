#include "sim/VisteonInjections.h"

#include <algorithm>

namespace quorvan::sim::visteon {

void Injections::add(int service, Misbehaviour what, int times) {
  if (times == 0) return;
  rules_.push_back({service, what, times < 0 ? kForever : times});
}

std::optional<Misbehaviour> Injections::take(std::uint8_t service) {
  const auto rule = std::find_if(rules_.begin(), rules_.end(), [service](const Rule& r) {
    return r.service == kAnyService || r.service == service;
  });
  if (rule == rules_.end()) return std::nullopt;
  const Misbehaviour what = rule->what;
  if (rule->remaining != kForever && --rule->remaining == 0) rules_.erase(rule);
  return what;
}

}  // namespace quorvan::sim::visteon
