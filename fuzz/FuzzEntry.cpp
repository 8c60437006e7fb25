// libFuzzer's entry point for one target, named by QUORVAN_FUZZ_TARGET at build time.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto* target = quorvan::fuzz::FindFuzzTarget(QUORVAN_FUZZ_TARGET);
  quorvan::fuzz::FuzzCheck(target != nullptr, "the target is built in");
  target->run(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
