// The hot paths, each against the wire time of the bytes it handles: how much of a
// byte's (or a reply's) time on the line the server spends on it.
//
//   Mse10ReceivePath      one controller byte through the whole receive side on the
//                         virtual clock (serial event, pump, complement out), with the
//                         simulated line and controller that produce it, in a session
//                         polling the demo's items; against one byte at 9600 bit/s
//   VisteonExchange       framing a current-data request, reading the reply's length,
//                         matching it to the request and taking the value out; against
//                         the request, its echo and the reply at 10400 bit/s
//   Mse10BlockDecode      a memory reading's block split and turned into its value;
//                         against the block's bytes at 9600 bit/s
//   FaultTextToBus        a fault list through the text mapping and the bus's variant,
//                         and back; against its bytes at 10400 bit/s
//   TraceHexDump          a reply's hex dump for the trace; against the reply's bytes
//
// Measured and bound are microseconds per operation; the ratio is the share of the
// wire time the operation takes of one core.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "ValueCounter.h"
#include "client/Enums.h"
#include "host/common/DemoChannels.h"
#include "host/common/TextMapping.h"
#include "host/common/VariantMapping.h"
#include "kline/Format.h"
#include "mse10/Mse10Decode.h"
#include "sim/Frames.h"
#include "sim/Mse10Ecu.h"
#include "sim/SimLine.h"
#include "support/SimServerWorld.h"
#include "trace/Text.h"
#include "visteon/PacketLayer.h"

namespace quorvan::bench {
namespace {

constexpr std::uint32_t kMse10Rate = 9600;
constexpr std::uint32_t kVisteonRate = 10400;

double wireUs(std::size_t bytes, std::uint32_t rate) {
  return static_cast<double>(sim::FramesDurationUs(bytes, rate));
}

// Microseconds of processor time per operation (`operations` of them in the run) and
// their share of boundUs, as counters Google Benchmark computes once the run is timed.
void reportPer(benchmark::State& state, double operations, double boundUs) {
  const auto perTime = benchmark::Counter::kIsRate | benchmark::Counter::kInvert;
  state.counters["measured"] = benchmark::Counter(operations * 1e-6, perTime);
  state.counters["bound"] = boundUs;
  state.counters["ratio"] = benchmark::Counter(operations * boundUs * 1e-6, perTime);
}

void reportPerIteration(benchmark::State& state, double boundUs) {
  reportPer(state, static_cast<double>(state.iterations()), boundUs);
}

// ---- The MSE 1.0 receive side, per controller byte ----

struct Mse10World : testing::SimServerWorld {
  Mse10World() : controller(line()) {
    ecu.addSink(&counter);
    start();
    nameClient("Bench");
    ecu.setDevice(ecuMSE10);
    ecu.InitComm(1);
    std::int16_t item = 0;
    for (const host::DemoChannel& channel : host::DemoChannels(ecuMSE10)) {
      ecu.AddItem(++item, channel.item->address, channel.item->size, ecuData);
      ecu.Watch(item, 1);
    }
    loop.runFor(5'000);  // linked and polling
  }
  ~Mse10World() { ecu.removeSink(&counter); }
  std::size_t controllerBytes() const {
    std::size_t n = 0;
    for (const sim::WireByte& b : world.line.wireLog()) n += b.from == sim::WireEnd::Vehicle;
    return n;
  }
  sim::Mse10Ecu controller;
  ValueCounter counter;
};

void BM_Mse10ReceivePath(benchmark::State& state) {
  Mse10World world;
  world.line().clearLog();
  std::int64_t values = 0;
  const std::int64_t before = world.counter.values;
  for (auto _ : state) world.loop.runFor(1'000);
  values = world.counter.values - before;
  const auto bytes = static_cast<double>(world.controllerBytes());
  if (values == 0 || bytes == 0) {
    state.SkipWithError("no values arrived");
    return;
  }
  reportPer(state, bytes, wireUs(1, kMse10Rate));
  state.counters["controller_bytes"] = bytes;
}
BENCHMARK(BM_Mse10ReceivePath)
    ->Name("HotPath/Mse10ReceivePath/us_per_controller_byte")
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

// ---- Visteon: one current-data exchange's framing and parsing ----

void BM_VisteonExchange(benchmark::State& state) {
  const std::string request = Bytes({0x01, 0x0C});
  // 48 6B 10 41 0C 1A F8 checksum: engine speed.
  std::string reply = Bytes({0x48, 0x6B, 0x10, 0x41, 0x0C, 0x1A, 0xF8});
  unsigned sum = 0;
  for (const char c : reply) sum += static_cast<unsigned char>(c);
  reply.push_back(static_cast<char>(sum & 0xFF));
  for (auto _ : state) {
    const std::string packet = FramePacket(request, false);
    const int length = ReplyPacketLength(static_cast<std::uint8_t>(reply[0]), request);
    const std::string_view data =
        std::string_view(reply).substr(3, static_cast<std::size_t>(length) - 4);
    const bool answers = AnswersRequest(data, request);
    std::int32_t value = ByteAt(data, 3) * 256 + ByteAt(data, 4);
    benchmark::DoNotOptimize(packet);
    benchmark::DoNotOptimize(answers);
    benchmark::DoNotOptimize(value);
  }
  // The request goes out and comes back as its echo; then the reply.
  const std::size_t packetBytes = request.size() + 4;
  reportPerIteration(state, wireUs(2 * packetBytes + reply.size(), kVisteonRate));
}
BENCHMARK(BM_VisteonExchange)->Name("HotPath/VisteonExchange/us_per_reply");

// ---- MSE 1.0: one memory reading's block ----

void BM_Mse10BlockDecode(benchmark::State& state) {
  // Length 5, counter, title FE, two bytes of engine speed, end byte.
  const std::string block = Bytes({0x05, 0x21, 0xFE, 0xF8, 0x1A, 0x03});
  for (auto _ : state) {
    const auto parts = mse10::SplitBlock(block);
    Variant value = mse10::MemoryValue(parts->data.substr(0, 2), 2);
    benchmark::DoNotOptimize(value);
  }
  reportPerIteration(state, wireUs(block.size(), kMse10Rate));
}
BENCHMARK(BM_Mse10BlockDecode)->Name("HotPath/Mse10BlockDecode/us_per_block");

// ---- The text mapping of a fault list, to the bus and back ----

void BM_FaultTextToBus(benchmark::State& state) {
  std::string faults;
  for (int code = 0; code < 8; ++code) faults += "C01" + std::to_string(2340 + code) + "/";
  faults.push_back('\0');  // a NUL travels as its stand-in
  faults.push_back('\xE9');
  for (auto _ : state) {
    const std::string text = host::BytesToText(faults);
    const sdbus::Variant onBus = host::ToBusVariant(Variant(faults));
    const std::string back = host::TextToBytes(text);
    benchmark::DoNotOptimize(onBus);
    benchmark::DoNotOptimize(back);
  }
  reportPerIteration(state, wireUs(faults.size(), kVisteonRate));
}
BENCHMARK(BM_FaultTextToBus)->Name("HotPath/FaultTextToBus/us_per_list");

// ---- The trace's hex dump of a reply ----

void BM_TraceHexDump(benchmark::State& state) {
  const std::string reply = Bytes({0x48, 0x6B, 0x10, 0x41, 0x0C, 0x1A, 0xF8, 0x4A});
  for (auto _ : state) {
    std::string line = "< " + PktToHex(reply);
    benchmark::DoNotOptimize(line);
  }
  reportPerIteration(state, wireUs(reply.size(), kVisteonRate));
}
BENCHMARK(BM_TraceHexDump)->Name("HotPath/TraceHexDump/us_per_reply");

}  // namespace
}  // namespace quorvan::bench

BENCHMARK_MAIN();
