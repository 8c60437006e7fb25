#include "SwarmRun.h"

#include <fmt/format.h>

#include <functional>
#include <stdexcept>

#include "Checker.h"
#include "SwarmClient.h"
#include "client/Enums.h"
#include "platform/Process.h"
#include "support/SimServerWorld.h"

namespace quorvan::swarm {

std::unique_ptr<SwarmFamily> MakeVisteonSwarm(sim::SimLine& line, Rng& rng);
std::unique_ptr<SwarmFamily> MakeMse10Swarm(sim::SimLine& line, Rng& rng);
std::unique_ptr<SwarmFamily> MakeMse11Swarm(sim::SimLine& line, Rng& rng);
std::unique_ptr<SwarmFamily> MakeFichtSwarm(sim::SimLine& line, Rng& rng);
std::unique_ptr<SwarmFamily> MakeMbeSwarm(sim::SimLine& line, Rng& rng);

namespace {

constexpr std::uint32_t kSliceMs = 1000;
constexpr std::size_t kBlockBufLimit = 64 * 1024;

using FamilyMaker = std::unique_ptr<SwarmFamily> (*)(sim::SimLine&, Rng&);

struct NamedFamily {
  const char* name;
  std::int32_t device;
  FamilyMaker make;
};

// A seed draws its family from this table by position: a family joins at the end.
const std::vector<NamedFamily>& Families() {
  static const std::vector<NamedFamily> families = {
      {"visteon", ecuVisteon, MakeVisteonSwarm},
      {"mse10", ecuMSE10, MakeMse10Swarm},
      {"mse11", ecuMSE11, MakeMse11Swarm},
      {"ficht", ecuFicht, MakeFichtSwarm},
      {"mbe", ecuMBE, MakeMbeSwarm},
  };
  return families;
}

std::int32_t chooseDevice(Rng& rng, const std::optional<std::string>& family) {
  const std::int32_t drawn = rng.pick(SwarmDevices());
  if (!family) return drawn;
  for (const auto& f : Families()) {
    if (*family == f.name) return f.device;
  }
  throw std::invalid_argument("no swarm family is called " + *family);
}

class SwarmRun {
 public:
  explicit SwarmRun(const RunOptions& o)
      : rng_(o.seed),
        device_(chooseDevice(rng_, o.family)),
        family_(MakeSwarmFamily(device_, server_.line(), rng_)),
        checker_(server_.clock, *family_, truth_),
        client_(server_, *family_, truth_, checker_, rng_) {
    hostileUs_ =
        static_cast<std::uint64_t>(o.minutes ? *o.minutes : rng_.between(5, 30)) * 60'000'000;
    result_.seed = o.seed;
    result_.family = family_->name();
    server_.ecu.addSink(&checker_);
    // A cable with a wire for each direction never lets the server hear its own bytes.
    cableEcholess_ = server_.line().echoSuppressed();
    if (o.journal) checker_.keepJournal();
    trace_ = o.trace;
    wire_ = o.journal && o.wire;
    // The trace as it was when a rule broke tells more than the trace at the run's end.
    if (trace_) checker_.onFirstViolation = [this] { takeTrace(); };
  }
  ~SwarmRun() { server_.ecu.removeSink(&checker_); }
  SwarmRun(const SwarmRun&) = delete;
  SwarmRun& operator=(const SwarmRun&) = delete;

  RunResult run() {
    const std::uint64_t startUs = now();
    hostileEndUs_ = startUs + hostileUs_;
    seedTheWorld();
    chooseMisbehaviour();
    client_.start(hostileEndUs_);
    while (!ended_ && now() < hostileEndUs_) slice();
    if (!ended_ && !client_.gone()) calm();
    while (!ended_ && client_.gone() && now() < hostileEndUs_ + kSliceMs * 1000ULL * 10) slice();
    result_.linkSeconds = static_cast<double>(now() - startUs) / 1e6;
    result_.violations = checker_.violations();
    result_.journal = checker_.journalLines();
    if (trace_ && result_.trace.empty()) takeTrace();
    return result_;
  }

 private:
  std::uint64_t now() { return server_.clock.nowUs(); }

  void seedTheWorld() {
    truth_.values.resize(family_->slots().size());
    for (std::size_t s = 0; s < family_->slots().size(); ++s) changeValue(s);
    family_->setFaults(family_->randomFaults(rng_));
    checker_.syncFaults();
    every(static_cast<double>(rng_.between(300, 5000)), [this] {
      changeValue(static_cast<std::size_t>(
          rng_.between(0, static_cast<std::int64_t>(family_->slots().size()) - 1)));
    });
    every(static_cast<double>(rng_.between(10'000, 120'000)), [this] {
      checker_.syncFaults();  // what the controller held up to now
      family_->setFaults(family_->randomFaults(rng_));
      checker_.journal("world: a new fault list");
      checker_.syncFaults();
    });
  }

  void changeValue(std::size_t slot) {
    const ItemSlot& s = family_->slots()[slot];
    const std::int64_t value = rng_.between(s.lo, s.hi);
    family_->setValue(slot, value);
    checker_.journal(fmt::format("world: slot {} = {}", slot, value));
    truth_.values[slot].set(now(), value);
  }

  // Each kind of misbehaviour is chosen or not; a chosen one strikes at random instants
  // with a mean gap of its own.
  void chooseMisbehaviour() {
    std::vector<Misbehaviour> kinds = lineMisbehaviours();
    std::erase_if(kinds, [this](const Misbehaviour& k) { return !family_->canSee(k.name); });
    for (auto& k : family_->misbehaviours()) kinds.push_back(std::move(k));
    for (auto& k : kinds) {
      if (!rng_.chance(0.35)) continue;
      const auto meanMs = static_cast<double>(rng_.between(2'000, 120'000));
      result_.plan += fmt::format("{}{} every ~{} s", result_.plan.empty() ? "" : ", ", k.name,
                                  static_cast<int>(meanMs / 1000));
      every(meanMs, [this, name = k.name, inject = k.inject] {
        checker_.journal("world: " + name);
        inject(rng_);
      });
    }
    if (result_.plan.empty()) result_.plan = "no misbehaviour";
  }

  std::vector<Misbehaviour> lineMisbehaviours() {
    sim::SimLine& line = server_.line();
    return {
        {"cable pulled",
         [this, &line](Rng& r) {
           line.setPlugged(false);
           later(r.between(200, 15'000), [&line] { line.setPlugged(true); });
         }},
        {"power lost",
         [this, &line](Rng& r) {
           line.setVehiclePower(false);
           later(r.between(50, 10'000), [&line] { line.setVehiclePower(true); });
         }},
        {"noise",
         [&line](Rng& r) {
           line.injectBytes(sim::WireEnd::Vehicle,
                            r.bytes(static_cast<std::size_t>(r.between(1, 16))));
         }},
        {"dropped bytes",
         [&line](Rng& r) {
           line.dropNext(r.chance(0.7) ? sim::WireEnd::Vehicle : sim::WireEnd::Server,
                         static_cast<std::size_t>(r.between(1, 3)));
         }},
        {"corrupted byte",
         [&line](Rng& r) {
           line.corruptNext(r.chance(0.7) ? sim::WireEnd::Vehicle : sim::WireEnd::Server,
                            static_cast<std::uint8_t>(r.between(1, 255)));
         }},
        {"late byte",
         [&line](Rng& r) {
           line.delayNext(sim::WireEnd::Vehicle,
                          static_cast<std::uint64_t>(r.between(1, 300)) * 1000);
         }},
        {"overrun",
         [&line](Rng& r) { line.injectOverrun(static_cast<std::size_t>(r.between(1, 3))); }},
        {"lost echo",
         [this, &line](Rng& r) {
           line.setEchoSuppressed(true);
           later(r.between(100, 3000), [this, &line] { line.setEchoSuppressed(cableEcholess_); });
         }},
    };
  }

  void later(std::int64_t ms, std::function<void()> fn) {
    server_.clock.schedule(now() + static_cast<std::uint64_t>(ms) * 1000, std::move(fn));
  }

  // Runs fn at random instants with the given mean gap until the misbehaviour ends.
  void every(double meanMs, std::function<void()> fn) {
    const std::uint64_t at = now() + rng_.gapUs(meanMs);
    if (at >= hostileEndUs_) return;
    server_.clock.schedule(at, [this, meanMs, fn = std::move(fn)] {
      fn();
      every(meanMs, fn);
    });
  }

  // The misbehaviour stops; the client settles; the link must come back and every
  // watched item deliver within the family's bound.
  void calm() {
    checker_.journal("world: the misbehaviour ends");
    family_->behave();
    server_.line().setPlugged(true);
    server_.line().setVehiclePower(true);
    server_.line().setEchoSuppressed(cableEcholess_);
    client_.settle();
    const std::uint64_t calmUs = now();
    const std::uint64_t boundUs = calmUs + family_->recoveryBoundMs() * 1000ULL;
    while (!ended_ && now() < boundUs) slice();
    if (ended_) return;
    // With the debug trace on, a failure in the MSE 1.0 pump stops the link on purpose and
    // puts the trace on screen for a post-mortem look; the link stays down until the
    // server is started again.
    if (server_.globals.frmHidden && server_.form().haveShutDown) {
      checker_.journal("server: stopped for a post-mortem trace display; no recovery expected");
      result_.plan += " (stopped for a post-mortem trace display)";
      return;
    }
    if (!family_->settled(checker_.lastStatus())) {
      checker_.violation(
          fmt::format("{} ms after the misbehaviour ended the status is {}, not a working link's",
                      family_->recoveryBoundMs(), checker_.lastStatus()));
    }
    if (!family_->pollsItems() && checker_.lastIdentUs() < calmUs) {
      checker_.violation(
          fmt::format("{} ms after the misbehaviour ended no identification has succeeded",
                      family_->recoveryBoundMs()));
    }
    for (std::int16_t item :
         family_->pollsItems() ? client_.watchedDataItems() : std::vector<std::int16_t>{}) {
      if (checker_.lastDataUs(item) < calmUs) {
        checker_.violation(
            fmt::format("{} ms after the misbehaviour ended item {} has delivered nothing",
                        family_->recoveryBoundMs(), item));
      }
    }
  }

  void slice() {
    try {
      server_.runBoundedFor(kSliceMs);
    } catch (const ProcessEnd&) {
      ended_ = true;
      if (!client_.gone()) checker_.violation("the server ended while its client was still there");
    } catch (const testing::ServerWorld::LoopHeld&) {
      ended_ = true;
      checker_.violation(
          fmt::format("a dispatch held the message loop for more than {} s of virtual time",
                      testing::ServerWorld::kLongestHoldUs / 1'000'000));
    }
    checkBounds();
    foldWire();
    if (now() > 2 * Checker::kReadWindowUs) truth_.forget(now() - 2 * Checker::kReadWindowUs);
  }

  void takeTrace() {
    if (server_.globals.frmHidden) result_.trace = serverTrace();
  }

  // The on-screen trace when the seed turned the debug trace on, else the ring of the
  // last lines, oldest first.
  std::vector<std::string> serverTrace() {
    const TraceLog& trace = server_.form().trace;
    if (!trace.lstTrace().empty()) return trace.lstTrace();
    std::vector<std::string> lines;
    for (int i = 1; i <= TraceLog::kRingSize; ++i) {
      const int slot = (trace.ringIndex() + i - 1) % TraceLog::kRingSize + 1;
      if (!trace.ringSlot(slot).empty()) lines.push_back(trace.ringSlot(slot));
    }
    return lines;
  }

  void checkBounds() {
    if (!server_.globals.frmHidden) return;
    frmCommThread& f = server_.form();
    if (f.blockBuf.size() > kBlockBufLimit) {
      checker_.violation(fmt::format("the receive buffer holds {} bytes", f.blockBuf.size()));
    }
    if (f.trace.lstTrace().size() > TraceLog::kListLimit) {
      checker_.violation(fmt::format("the trace list holds {} lines", f.trace.lstTrace().size()));
    }
  }

  // FNV-1a over every byte the wire carried, with its sender and instant.
  void foldWire() {
    auto fold = [this](std::uint64_t v) {
      for (int i = 0; i < 8; ++i) {
        result_.digest = (result_.digest ^ ((v >> (8 * i)) & 0xFF)) * 0x100000001B3ULL;
      }
    };
    for (const auto& b : server_.line().wireLog()) {
      fold(static_cast<std::uint64_t>(b.from) << 8 | b.onWire);
      fold(b.startUs);
      if (wire_) {
        checker_.journalAt(
            b.startUs, fmt::format("wire: {} {:02X}", b.from == sim::WireEnd::Server ? ">" : "<",
                                   static_cast<unsigned>(b.onWire)));
      }
    }
    server_.line().clearLog();
  }

  testing::SimServerWorld server_;
  Rng rng_;
  std::int32_t device_;
  std::unique_ptr<SwarmFamily> family_;
  Truth truth_;
  Checker checker_;
  SwarmClient client_;
  std::uint64_t hostileUs_ = 0;
  std::uint64_t hostileEndUs_ = 0;
  bool ended_ = false;
  bool trace_ = false;
  bool wire_ = false;
  bool cableEcholess_ = false;
  RunResult result_;
};

}  // namespace

std::vector<std::int32_t> SwarmDevices() {
  std::vector<std::int32_t> devices;
  for (const auto& f : Families()) devices.push_back(f.device);
  return devices;
}

std::vector<std::string> SwarmFamilyNames() {
  std::vector<std::string> names;
  for (const auto& f : Families()) names.emplace_back(f.name);
  return names;
}

std::unique_ptr<SwarmFamily> MakeSwarmFamily(std::int32_t device, sim::SimLine& line, Rng& rng) {
  for (const auto& f : Families()) {
    if (f.device == device) return f.make(line, rng);
  }
  throw std::invalid_argument("no swarm family for device " + std::to_string(device));
}

RunResult RunSeed(const RunOptions& options) {
  RunResult result;
  {
    SwarmRun run(options);
    result = run.run();
  }
  return result;
}

}  // namespace quorvan::swarm
