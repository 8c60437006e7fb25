#include <gtest/gtest.h>

#include <cstdint>

#include "kline/VisteonKey.h"

namespace quorvan {
namespace {

// The simulated controller checks keys with this same function, so only known answers
// catch a change to it. Each key was worked out by hand, once, from the function.
TEST(VisteonKey, KnownSeedsGiveTheirKeys) {
  struct Case {
    std::uint8_t seed;
    std::uint8_t random;
    std::uint8_t salt;
    std::uint8_t key;
  };
  const Case cases[] = {
      {0x00, 0x00, 0x00, 0x11}, {0xFF, 0xFF, 0xFF, 0x19}, {0x5A, 0x00, 0x00, 0xC3},
      {0x00, 0xFF, 0x00, 0x09}, {0xFF, 0x00, 0x00, 0xEE}, {0x00, 0x00, 0xFF, 0xEE},
      {0x12, 0x34, 0x56, 0x76}, {0x80, 0x01, 0x7F, 0x62}, {0xA5, 0xC3, 0x3C, 0xE9},
      {0x7F, 0x80, 0xAA, 0x44}, {0x01, 0xFE, 0x10, 0x19}, {0xC0, 0x9B, 0xE7, 0x8D},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << "seed 0x" << int{c.seed} << ", random 0x"
                                      << int{c.random} << ", salt 0x" << int{c.salt});
    EXPECT_EQ(int{KeyFromSeed(c.seed, c.random, c.salt)}, int{c.key});
  }
}

}  // namespace
}  // namespace quorvan
