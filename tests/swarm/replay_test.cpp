#include <gtest/gtest.h>

#include "SwarmRun.h"

namespace quorvan::swarm {
namespace {

// A seed is a run: the same seed gives the same bytes on the wire at the same instants
// and the same verdicts, so any failure found can be replayed and studied.
TEST(SwarmReplay, TheSameSeedGivesTheSameRun) {
  for (std::uint64_t seed : {1, 2}) {
    const RunResult first = RunSeed({seed, 2});
    const RunResult again = RunSeed({seed, 2});
    EXPECT_NE(first.digest, 0u);
    EXPECT_EQ(first.digest, again.digest) << "seed " << seed;
    EXPECT_EQ(first.violations, again.violations) << "seed " << seed;
    EXPECT_EQ(first.family, again.family);
    EXPECT_GT(first.linkSeconds, 120.0);
  }
}

TEST(SwarmReplay, DifferentSeedsGiveDifferentRuns) {
  EXPECT_NE(RunSeed({3, 1}).digest, RunSeed({4, 1}).digest);
}

}  // namespace
}  // namespace quorvan::swarm
