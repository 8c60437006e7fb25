#include <gtest/gtest.h>

#include <cstdint>

#include "kline/Mse11Image.h"
#include "kline/Mse11Key.h"

namespace quorvan {
namespace {

// The simulated controller checks keys with this same function, so only known answers
// catch a change to it. Each key was worked out once, apart from this code.
TEST(Mse11Key, KnownSeedsGiveTheirKeys) {
  struct Case {
    std::uint32_t seed;
    std::uint32_t key;
  };
  const Case cases[] = {
      {0x00000000, 0x86839B77}, {0x00000001, 0xA23F544B}, {0xFFFFFFFF, 0x793A7832},
      {0x12345678, 0x0B4DCF09}, {0x80000000, 0xF8A44910}, {0xDEADBEEF, 0xCF3D4EE1},
      {0x5A3C96E1, 0x7931FA1C}, {0x0BADF00D, 0x2ACB7A62},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << "seed 0x" << c.seed);
    EXPECT_EQ(KeyFromSeed(c.seed), c.key);
  }
}

TEST(Mse11Image, TheChecksumIsTheThirtyTwoBitSumOfTheBytes) {
  EXPECT_EQ(Mse11ImageChecksum(""), 0U);
  EXPECT_EQ(Mse11ImageChecksum(std::string(kMse11ImageSize, '\xFF')), 63232U * 255U);
  EXPECT_EQ(Mse11ImageChecksum(std::string("\x01\x02\x80", 3)), 0x83U);
}

}  // namespace
}  // namespace quorvan
