#pragma once
// Misbehaviour rules of a simulated controller: each rule says what the controller does
// with the next requests of one kind (a service, an address...) or of any kind, for a
// number of requests or for ever. The earliest rule added that matches a request wins
// and is used up by it.
#include <algorithm>
#include <optional>
#include <vector>

namespace quorvan::sim {

inline constexpr int kAnyRequest = -1;
inline constexpr int kForeverRule = -1;

template <typename What>
class RequestRules {
 public:
  // times: how many matching requests it covers (kForeverRule: all); 0 adds nothing.
  void add(int request, What what, int times) {
    if (times == 0) return;
    rules_.push_back({request, what, times < 0 ? kForeverRule : times});
  }
  // The misbehaviour due for a request of this kind, if any.
  std::optional<What> take(int request) {
    const auto rule = std::find_if(rules_.begin(), rules_.end(), [request](const Rule& r) {
      return r.request == kAnyRequest || r.request == request;
    });
    if (rule == rules_.end()) return std::nullopt;
    const What what = rule->what;
    if (rule->remaining != kForeverRule && --rule->remaining == 0) rules_.erase(rule);
    return what;
  }
  void clear() { rules_.clear(); }

 private:
  struct Rule {
    int request;
    What what;
    int remaining;
  };
  std::vector<Rule> rules_;
};

}  // namespace quorvan::sim
