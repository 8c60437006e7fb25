#pragma once
// The misbehaviour rules of a controller model: each covers the requests with one key (a
// service, an address...) or all of them, for a number of requests or for ever.
#include <algorithm>
#include <optional>
#include <vector>

namespace quorvan::sim {

inline constexpr int kAnyKey = -1;
inline constexpr int kForeverRule = -1;

template <typename What>
class InjectionRules {
 public:
  // times: how many matching requests it covers (kForeverRule: all); 0 adds nothing.
  void add(int key, What what, int times) {
    if (times == 0) return;
    rules_.push_back({key, what, times < 0 ? kForeverRule : times});
  }
  // The misbehaviour due for a request with this key, if any, used up by it. The earliest
  // rule added that matches wins.
  std::optional<What> take(int key) {
    const auto rule = std::find_if(rules_.begin(), rules_.end(), [key](const Rule& r) {
      return r.key == kAnyKey || r.key == key;
    });
    if (rule == rules_.end()) return std::nullopt;
    const What what = rule->what;
    if (rule->remaining != kForeverRule && --rule->remaining == 0) rules_.erase(rule);
    return what;
  }
  void clear() { rules_.clear(); }

 private:
  struct Rule {
    int key;
    What what;
    int remaining;
  };
  std::vector<Rule> rules_;
};

}  // namespace quorvan::sim
