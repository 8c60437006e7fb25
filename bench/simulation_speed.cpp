// How much faster than real time the whole server runs on the virtual clock against the
// simulated controllers: simulated seconds per wall second, for
//   Visteon  a session that watches the demo's four items for a minute, then reflashes
//            the controller's whole region (wake-up, erase, every 1 kB block, verify);
//   MSE 1.0  a session from the 5-baud wake-up that watches the same items for two
//            minutes.
// The aim is 1000 times real time.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>

#include "Figure.h"
#include "ValueCounter.h"
#include "client/Enums.h"
#include "host/common/DemoChannels.h"
#include "sim/Mse10Ecu.h"
#include "sim/VisteonEcu.h"
#include "support/SimServerWorld.h"

namespace quorvan::bench {
namespace {

constexpr double kAimTimesRealTime = 1000;
constexpr std::uint32_t kWatchMs = 60'000;
constexpr std::uint32_t kStepMs = 120'000;  // the longest a reflash step may take
constexpr std::size_t kVisteonBlock = 1024;

struct Session {
  double simulatedSeconds = 0;
  double wallSeconds = 0;
  double cpuSeconds = 0;  // of this process: the wall time less what the machine took
  bool complete = false;  // the session did what it was meant to
};

class World : public testing::SimServerWorld {
 public:
  explicit World(std::int32_t device) : device_(device) {
    ecu.addSink(&counter);
    start();
    nameClient("Bench");
    ecu.setDevice(device);
  }
  ~World() { ecu.removeSink(&counter); }
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  void connect() { ecu.InitComm(1); }
  void watchDemoItems() {
    std::int16_t item = 0;
    for (const host::DemoChannel& channel : host::DemoChannels(device_)) {
      ++item;
      ecu.AddItem(item, channel.item->address, channel.item->size, ecuData);
      ecu.Watch(item, 1);
    }
  }
  // Values arrived while the loop ran for `ms`.
  bool watchFor(std::uint32_t ms) {
    const std::int64_t before = counter.values;
    loop.runFor(ms);
    return counter.values > before;
  }
  bool stepSucceeded() {
    loop.runUntil([&] { return ecu.FlashStatus() != flashBusy; }, kStepMs);
    return ecu.FlashStatus() == flashReady;
  }

  ValueCounter counter;

 private:
  std::int32_t device_;
};

template <typename Body>
Session timed(World& world, Body body) {
  Session s;
  const std::uint64_t simStartUs = world.clock.monoUs();
  const auto wallStart = std::chrono::steady_clock::now();
  const std::clock_t cpuStart = std::clock();
  s.complete = body();
  const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wallStart;
  s.cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
  s.simulatedSeconds = static_cast<double>(world.clock.monoUs() - simStartUs) / 1e6;
  s.wallSeconds = wall.count();
  return s;
}

// An image of the whole region, blank (0xFF) blocks among the others.
std::string visteonImage(std::size_t size) {
  std::string image;
  for (std::size_t i = 0; i < size; ++i) {
    const std::size_t block = i / kVisteonBlock;
    image.push_back(block % 5 == 3 ? '\xFF' : static_cast<char>((block * 7 + i * 13) & 0xFF));
  }
  return image;
}

std::int32_t sixteenBitSum(const std::string& image) {
  unsigned sum = 0;
  for (const char c : image) sum = (sum + static_cast<unsigned char>(c)) & 0xFFFF;
  return static_cast<std::int32_t>(sum);
}

bool reflash(World& world, const sim::VisteonEcu& controller, const std::string& image) {
  world.ecu.FlashInit();
  if (!world.stepSucceeded()) return false;
  for (std::size_t at = 0; at < image.size(); at += kVisteonBlock) {
    world.ecu.FlashWrite(image.substr(at, kVisteonBlock));
    if (!world.stepSucceeded()) return false;
  }
  world.ecu.FlashVerify(sixteenBitSum(image));
  return world.stepSucceeded() && controller.flash().bytes() == image;
}

Session visteonSession() {
  World world(ecuVisteon);
  sim::VisteonEcu controller(world.line());
  const std::string image = visteonImage(controller.flash().bytes().size());
  return timed(world, [&] {
    world.connect();
    world.watchDemoItems();
    return world.watchFor(kWatchMs) && reflash(world, controller, image);
  });
}

Session mse10Session() {
  World world(ecuMSE10);
  sim::Mse10Ecu controller(world.line());
  return timed(world, [&] {
    world.connect();
    world.watchDemoItems();
    return world.watchFor(2 * kWatchMs);
  });
}

void BM_TimesRealTime(benchmark::State& state, Session (*session)()) {
  Session s;
  for (auto _ : state) s = session();
  if (!s.complete) {
    state.SkipWithError("the session did not run through");
    return;
  }
  Report(state, s.simulatedSeconds / s.wallSeconds, kAimTimesRealTime, AtLeast(1.0));
  state.counters["simulated_s"] = s.simulatedSeconds;
  state.counters["times_real_time_per_cpu_s"] = s.simulatedSeconds / s.cpuSeconds;
  ReportLoad(state);
}

BENCHMARK_CAPTURE(BM_TimesRealTime, Visteon, visteonSession)
    ->Name("Simulation/VisteonSessionWithReflash/times_real_time")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_TimesRealTime, Mse10, mse10Session)
    ->Name("Simulation/Mse10Session/times_real_time")
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorvan::bench

BENCHMARK_MAIN();
