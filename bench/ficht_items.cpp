// Items per second of the Ficht free-running loop on the simulated line, with the wire
// time of every byte at 9600 bit/s, against the bound its pacing and the wire allow.
//
// Each watched item costs at least: the rest after the previous step and the wait before
// the item's request (the loop's pacing), the request's five bytes and the answer's
// size + 3 bytes on the wire, and the module's own delay before it answers. The loop
// reaches less because it looks for the answer only every 10 ms.
#include <benchmark/benchmark.h>

#include "ValueCounter.h"
#include "ficht/FichtSession.h"
#include "sim/FichtEcu.h"
#include "sim/Frames.h"
#include "sim/SimLine.h"
#include "support/SimServerWorld.h"

namespace quorvan {
namespace {

constexpr std::uint32_t kRunMs = 60'000;
constexpr std::uint64_t kModuleDelayUs = 5'000;
constexpr std::size_t kRequestBytes = 5;
constexpr std::size_t kAnswerOverhead = 3;  // lead, count, checksum

using bench::ValueCounter;

// A server on the virtual clock with a simulated Ficht module on port 1.
struct FichtWorld : testing::SimServerWorld {
  FichtWorld() {
    sim::UseFichtCable(line());
    module.setReplyDelayUs(kModuleDelayUs);
    ecu.addSink(&counter);
  }
  ~FichtWorld() { ecu.removeSink(&counter); }

  sim::FichtEcu module{line()};
  ValueCounter counter;
};

double boundItemsPerSecond(std::int16_t size) {
  const std::uint64_t wireUs =
      sim::FramesDurationUs(kRequestBytes, sim::FichtEcu::kBitRate) +
      sim::FramesDurationUs(static_cast<std::uint64_t>(size) + kAnswerOverhead,
                            sim::FichtEcu::kBitRate);
  const double itemUs = (kFichtStepRestMs + kFichtItemDelayMs) * 1000.0 +
                        static_cast<double>(wireUs + kModuleDelayUs);
  return 1e6 / itemUs;
}

void BM_FichtItemsPerSecond(benchmark::State& state) {
  const auto size = static_cast<std::int16_t>(state.range(0));
  double measured = 0;
  for (auto _ : state) {
    FichtWorld world;
    world.start();
    world.ecu.setDevice(ecuFicht);
    world.ecu.InitComm(1);
    world.ecu.AddItem(1, 0x40, size, ecuData);
    world.ecu.Watch(1, 1);
    world.loop.runFor(1000);  // the loop is under way
    const std::int64_t before = world.counter.values;
    world.loop.runFor(kRunMs);
    measured = static_cast<double>(world.counter.values - before) / (kRunMs / 1000.0);
  }
  const double bound = boundItemsPerSecond(size);
  state.counters["measured"] = measured;
  state.counters["bound"] = bound;
  state.counters["ratio"] = measured / bound;
}

BENCHMARK(BM_FichtItemsPerSecond)
    ->Name("FichtLoop/items_per_second")
    ->ArgName("size")
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Arg(32)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorvan

BENCHMARK_MAIN();
