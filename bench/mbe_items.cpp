// How fast the MBE request loop polls: the items per second it delivers from a simulated
// module at 4800 bit/s, against the bound its own pacing and the wire allow. Each turn
// of the loop pauses 10 ms, each item another 10 ms before its request, and the request
// (two bytes) and the reply (the item's bytes) take ten bit times a byte on the wire:
//   bound = 1 / (20 ms + (2 + size) * 10 / 4800 s)
// What the bound leaves out is the module's own reply delay, the 10 ms steps in which
// the server looks for the reply, and the quiet it waits for after the reply's last byte.
//
// Two clocks: the virtual clock, where the line charges every byte its exact wire time
// and nothing else takes time (the figure of the design), and the real clock with the
// simulated line on the server's own message loop (the figure with this machine's sleeps
// and dispatching in it).
#include <benchmark/benchmark.h>

#include <filesystem>
#include <optional>
#include <type_traits>

#include "ValueCounter.h"
#include "app/Families.h"
#include "client/clsBoschECU.h"
#include "platform/Alerts.h"
#include "platform/Process.h"
#include "platform/WindowDirectory.h"
#include "runtime/frmCommThread.h"
#include "sim/MbeEcu.h"
#include "sim/SimLine.h"
#include "sim/SimSerial.h"

namespace quorvan {
namespace {

constexpr std::uint16_t kItemAddress = 0x0100;
constexpr double kPauseMs = 20;  // between turns and before each item
constexpr double kBitsPerByte = 10;
constexpr double kBitRate = 4800;
constexpr std::uint32_t kRunMs = 20'000;
constexpr std::uint32_t kRealRunMs = 5'000;

using bench::ValueCounter;

// A server, its client class and an MBE module on its lead. `world` runs the simulated
// line: the virtual clock itself, or (nullptr) the server's message loop on the real
// clock.
class MbeWorld {
 public:
  MbeWorld(Clock& clock, Scheduler* world)
      : loop(clock),
        line(world ? *world : loop),
        backend(clock, world ? *world : loop),
        driveC(std::filesystem::temp_directory_path() / "quorvan-bench-drive-c"),
        platform{clock, loop, backend, windows, alerts, driveC, process},
        ecu(platform, globals),
        module(line) {
    line.setCable(sim::CableKind::Mbe);
    backend.setPort(1, sim::SimPort::kLine(line));
    globals.makeFamilies = MakeFamilyTable;
    ecu.addSink(&counter);
  }
  ~MbeWorld() {
    for (auto& f : globals.loadedForms) f->commSerial.setPortOpen(false);
  }
  MbeWorld(const MbeWorld&) = delete;
  MbeWorld& operator=(const MbeWorld&) = delete;

  // Connects and watches one item of `size` bytes; false when the session did not start.
  bool start(std::int16_t size) {
    module.storeBytes(kItemAddress, std::string(static_cast<std::size_t>(size), '\x42'));
    ecu.RunTask(false);
    windows.add(kClientWindowClass, "Bench");
    ecu.setClientName("Bench");
    ecu.setDevice(ecuMBE);
    ecu.InitComm(1);
    if (!globals.gMbeRunning) return false;
    ecu.AddItem(1, kItemAddress, size, ecuData);
    ecu.Watch(1, 1);
    loop.runFor(1000);  // the loop is up and polling
    return true;
  }

  // Values per second over `ms` of the clock's time.
  double itemsPerSecond(std::uint32_t ms) {
    const std::int64_t before = counter.values;
    const std::uint64_t startUs = platform.clock.monoUs();
    loop.runFor(ms);
    const double seconds = static_cast<double>(platform.clock.monoUs() - startUs) / 1e6;
    return static_cast<double>(counter.values - before) / seconds;
  }

  MessageLoop loop;
  sim::SimLine line;
  sim::SimSerialBackend backend;
  InMemoryWindowDirectory windows;
  CapturingAlerts alerts;
  DriveC driveC;
  RecordingProcessControl process;
  Platform platform;
  modGlobals globals;
  clsBoschECU ecu;
  ValueCounter counter;
  sim::MbeEcu module;
};

double boundItemsPerSecond(std::int16_t size) {
  const double wireMs = (2.0 + size) * kBitsPerByte / kBitRate * 1000.0;
  return 1000.0 / (kPauseMs + wireMs);
}

void report(benchmark::State& state, double measured, std::int16_t size) {
  const double bound = boundItemsPerSecond(size);
  state.counters["measured"] = measured;
  state.counters["bound"] = bound;
  state.counters["ratio"] = measured / bound;
}

// One session on ClockT for `ms` of its time; the items per second, or nothing when the
// session did not start. A virtual clock runs the simulated line itself; on the real
// clock the server's message loop does.
template <typename ClockT>
std::optional<double> itemsPerSecondOn(std::int16_t size, std::uint32_t ms) {
  ClockT clock;
  Scheduler* world = nullptr;
  if constexpr (std::is_base_of_v<Scheduler, ClockT>) world = &clock;
  MbeWorld w(clock, world);
  if (!w.start(size)) return std::nullopt;
  return w.itemsPerSecond(ms);
}

template <typename ClockT, std::uint32_t kMs>
void BM_MbeItemsPerSecond(benchmark::State& state) {
  const auto size = static_cast<std::int16_t>(state.range(0));
  std::optional<double> measured;
  for (auto _ : state) {
    measured = itemsPerSecondOn<ClockT>(size, kMs);
    if (!measured) {
      state.SkipWithError("the MBE session did not start");
      return;
    }
  }
  report(state, *measured, size);
}

BENCHMARK(BM_MbeItemsPerSecond<VirtualClock, kRunMs>)
    ->Name("MbeItemsPerSecond/VirtualClock/ItemBytes")
    ->Arg(1)
    ->Arg(2)
    ->Arg(10)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MbeItemsPerSecond<RealClock, kRealRunMs>)
    ->Name("MbeItemsPerSecond/RealClock/ItemBytes")
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorvan

BENCHMARK_MAIN();
