#include "FuzzTargets.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>

namespace quorvan::fuzz {

namespace {

constexpr std::array kTargets = {
    FuzzTarget{"visteon_reply", FuzzVisteonReply},
    FuzzTarget{"mse10_block", FuzzMse10Block},
    FuzzTarget{"kwp2000_reply", FuzzKwp2000Reply},
    FuzzTarget{"ficht_reply", FuzzFichtReply},
    FuzzTarget{"mbe_reply", FuzzMbeReply},
#ifdef QUORVAN_FUZZ_HOST
    FuzzTarget{"host_text", FuzzHostText},
    FuzzTarget{"host_variant", FuzzHostVariant},
    FuzzTarget{"command_line", FuzzCommandLine},
    FuzzTarget{"option_values", FuzzOptionValues},
#endif
    FuzzTarget{"session_visteon", FuzzSessionVisteon},
    FuzzTarget{"session_mse10", FuzzSessionMse10},
    FuzzTarget{"session_mse11", FuzzSessionMse11},
    FuzzTarget{"session_ficht", FuzzSessionFicht},
    FuzzTarget{"session_mbe", FuzzSessionMbe},
};

}  // namespace

std::span<const FuzzTarget> FuzzTargets() {
  return kTargets;
}

const FuzzTarget* FindFuzzTarget(std::string_view name) {
  const auto it = std::find_if(kTargets.begin(), kTargets.end(),
                               [&](const FuzzTarget& t) { return t.name == name; });
  return it == kTargets.end() ? nullptr : &*it;
}

void FuzzCheck(bool holds, const char* rule) {
  if (holds) return;
  std::fprintf(stderr, "fuzz: rule broken: %s\n", rule);
  std::abort();
}

}  // namespace quorvan::fuzz
