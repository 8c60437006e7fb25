// The reflash of an MSE 1.1 controller's 63232-byte image over KWP2000, on the simulated
// K-line with its real wire time (10400 bit/s until the session starts, 38400 after), on
// the virtual clock: init (wake-up, unlock, erase), 253 chunks, verify. A client that
// answers every step at once drives it.
//
// The bound is what the wire itself needs for the same run: every frame on it at its bit
// rate, and the pauses the protocol demands: the wake-up (200 ms, then 5 + 25 + 25 ms),
// P3min before each request, P4 (6 ms) after each byte until the timing is accepted,
// the 50 ms before the key, the controller's reply delay before each answer and its
// own erase and verify times.
//
//   measured  the whole reflash, FlashInit to the verify's outcome
//   steps     the time inside the steps (the rest is spent waiting for the sample tick
//             that starts each step)
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "client/clsBoschECU.h"
#include "kline/Mse11Image.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "runtime/frmCommThread.h"
#include "sim/Mse11Ecu.h"
#include "sim/SimLine.h"
#include "support/SimServerWorld.h"

namespace quorvan {
namespace {

constexpr std::uint64_t kWakeUpUs = (200 + 5 + 25 + 25) * 1000;
constexpr std::uint64_t kKeyPauseUs = 50'000;
constexpr std::uint64_t kP3MinUs = 1'000;  // p3Min \ 2 + 1 ms with p3Min = 0
constexpr std::uint64_t kP4Us = 6'000;
constexpr std::size_t kBytesBeforeTiming = 5 + 9;  // StartCommunication and the timing request

// The client: each step's outcome is answered by the next request, as soon as the
// server's handler has returned (a bus call arrives through the loop).
class Client final : public __clsBoschECU {
 public:
  Client(MessageLoop& loop, clsBoschECU& ecu, const std::string& image, Clock& clock)
      : loop_(loop), ecu_(ecu), image_(image), clock_(clock) {}

  void CommStatus(std::int32_t) override {}
  void NewData(std::int16_t, std::int32_t, const Variant&) override {}
  void NewFaults(std::int16_t, std::int32_t, const std::string&) override {}
  void NewFlags(std::int16_t, std::int32_t, std::int32_t) override {}
  void FaultsCleared(bool) override {}
  void CommandComplete(bool) override {}
  void DamnIt(const std::string& note) override {
    if (note == "flashStatus=1") return;
    outcomes.push_back(note);
    if (note != "flashStatus=2") {
      done = true;
      return;
    }
    loop_.post([this] { next(); });
  }

  void start() {
    requestedAtUs.push_back(clock_.monoUs());
    ecu_.FlashInit();
  }

  std::vector<std::string> outcomes;
  std::vector<std::uint64_t> requestedAtUs;
  bool done = false;

 private:
  void next() {
    requestedAtUs.push_back(clock_.monoUs());
    if (written_ < image_.size()) {
      ecu_.FlashWrite(image_.substr(written_, kMse11ChunkSize));
      written_ += kMse11ChunkSize;
    } else if (!verified_) {
      verified_ = true;
      ecu_.FlashVerify(static_cast<std::int32_t>(Mse11ImageChecksum(image_)));
    } else {
      done = true;
    }
  }

  MessageLoop& loop_;
  clsBoschECU& ecu_;
  const std::string& image_;
  Clock& clock_;
  std::size_t written_ = 0;
  bool verified_ = false;
};

struct Figures {
  double measuredMs = 0;
  double stepsMs = 0;
  double boundMs = 0;
  bool verified = false;
};

Figures reflashOnce() {
  testing::SimServerWorld world;
  sim::Mse11Ecu controller(world.line());
  std::size_t answers = 0;
  controller.setExchangeLog([&](const std::string&) { ++answers; });
  std::string image;
  for (std::size_t i = 0; i < kMse11ImageSize; ++i)
    image.push_back(static_cast<char>(i * 31 + i / 250));

  Figures figures;
  Client client(world.loop, world.ecu, image, world.clock);
  world.ecu.addSink(&client);
  world.start();
  world.nameClient("Bench");
  world.ecu.setDevice(ecuMSE11);
  world.ecu.InitComm(1);
  world.line().clearLog();
  answers = 0;
  const std::uint64_t t0 = world.clock.monoUs();
  client.start();
  world.loop.runUntil([&] { return client.done; }, 600'000);
  const std::uint64_t t1 = world.clock.monoUs();
  figures.verified = client.outcomes.size() == 255 && client.outcomes.back() == "flashStatus=2" &&
                     controller.flash() == image;

  // Each step starts with its first byte on the wire after the client's request.
  const auto& wire = world.line().wireLog();
  std::uint64_t waitingUs = 0;
  for (const std::uint64_t requested : client.requestedAtUs) {
    for (const sim::WireByte& b : wire) {
      if (b.from == sim::WireEnd::Server && b.startUs >= requested) {
        waitingUs += b.startUs - requested - kP3MinUs;
        break;
      }
    }
  }
  std::uint64_t wireUs = 0;
  std::size_t requests = 0;
  bool lastFromServer = false;
  for (const sim::WireByte& b : wire) {
    wireUs += b.endUs - b.startUs;
    const bool fromServer = b.from == sim::WireEnd::Server;
    if (fromServer && !lastFromServer) ++requests;
    lastFromServer = fromServer;
  }
  const sim::Mse11Config& c = controller.config();
  const std::uint64_t boundUs = wireUs + requests * kP3MinUs + kBytesBeforeTiming * kP4Us +
                                answers * c.replyDelayUs + kWakeUpUs + kKeyPauseUs +
                                c.erasePendingUs + c.eraseTimeUs + c.verifyTimeUs;
  figures.measuredMs = static_cast<double>(t1 - t0) / 1000;
  figures.stepsMs = static_cast<double>(t1 - t0 - waitingUs) / 1000;
  figures.boundMs = static_cast<double>(boundUs) / 1000;
  world.ecu.InitComm(-1);
  world.ecu.removeSink(&client);
  return figures;
}

void report(benchmark::State& state, double measured, double bound, bool verified) {
  state.counters["measured"] = measured;
  state.counters["bound"] = bound;
  state.counters["ratio"] = measured / bound;
  state.counters["aim_max"] = 1.15;  // within 1.15 times the wire's own bound
  if (!verified) state.SkipWithError("the controller does not hold the image");
}

// The whole reflash as the client sees it, in virtual milliseconds.
void BM_Kwp2000Reflash_WholeImage_ms(benchmark::State& state) {
  Figures f;
  for (auto _ : state) f = reflashOnce();
  report(state, f.measuredMs, f.boundMs, f.verified);
  state.counters["steps"] = f.stepsMs;
  state.counters["tick_wait"] = f.measuredMs - f.stepsMs;
}
BENCHMARK(BM_Kwp2000Reflash_WholeImage_ms)->Iterations(1)->Unit(benchmark::kMillisecond);

// The same run counting only the time inside the steps: the link and the requests.
void BM_Kwp2000Reflash_StepsOnTheLine_ms(benchmark::State& state) {
  Figures f;
  for (auto _ : state) f = reflashOnce();
  report(state, f.stepsMs, f.boundMs, f.verified);
}
BENCHMARK(BM_Kwp2000Reflash_StepsOnTheLine_ms)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorvan

BENCHMARK_MAIN();
