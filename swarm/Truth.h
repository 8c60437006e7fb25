#pragma once
// The simulated world's own record of a swarm run: what each item slot and the fault
// list held and when, and which slot each client item stood for. The checker judges the
// server's events against it.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "History.h"

namespace quorvan::swarm {

inline constexpr int kFaultSlot = -1;  // a client item defined as the fault list
inline constexpr int kNoSlot = -2;     // a client item not defined

struct Truth {
  std::vector<History<std::int64_t>> values;  // by slot
  History<std::string> faultText;             // the text of the controller's list
  std::map<std::int16_t, History<int>> itemSlot;

  void forget(std::uint64_t beforeUs) {
    for (auto& v : values) v.forget(beforeUs);
    faultText.forget(beforeUs);
    for (auto& [item, slot] : itemSlot) slot.forget(beforeUs);
  }
};

}  // namespace quorvan::swarm
