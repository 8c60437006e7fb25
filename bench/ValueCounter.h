#pragma once
// An event sink for benchmarks: counts the values the client receives, ignores the rest.
#include <cstdint>
#include <string>

#include "client/clsBoschECU.h"

namespace quorvan::bench {

class ValueCounter final : public __clsBoschECU {
 public:
  void CommStatus(std::int32_t) override {}
  void NewData(std::int16_t, std::int32_t, const Variant&) override { ++values; }
  void NewFaults(std::int16_t, std::int32_t, const std::string&) override {}
  void NewFlags(std::int16_t, std::int32_t, std::int32_t) override {}
  void FaultsCleared(bool) override {}
  void CommandComplete(bool) override {}
  void DamnIt(const std::string&) override {}
  std::int64_t values = 0;
};

}  // namespace quorvan::bench
