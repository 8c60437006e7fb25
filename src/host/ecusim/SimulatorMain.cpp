#include "host/ecusim/SimulatorMain.h"

#include <fmt/format.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <system_error>

#include "client/Enums.h"
#include "host/common/CommandLine.h"
#include "host/common/DemoChannels.h"
#include "host/common/PublishedPort.h"
#include "host/ecusim/SimulatorCli.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "platform/PortsDirectory.h"
#include "sim/FichtEcu.h"
#include "sim/MbeEcu.h"
#include "sim/Mse10Ecu.h"
#include "sim/Mse11Ecu.h"
#include "sim/PtyBridge.h"
#include "sim/PtyScheduler.h"
#include "sim/SimLine.h"
#include "sim/VisteonEcu.h"

namespace quorvan::host {

namespace {

constexpr const char* kProgram = "ecusim";
constexpr std::uint32_t kDriftMs = 200;
// The controller erases its whole region of 64 blocks in 3 s: a smaller one sooner.
constexpr std::uint64_t kEraseUsPerBlock = 3'000'000 / 64;

using ExchangeLog = std::function<void(const std::string&)>;

std::uint64_t secondsToUs(double seconds) {
  return static_cast<std::uint64_t>(seconds * 1e6);
}

std::uint8_t byteOf(const std::string& bytes, std::size_t i) {
  return static_cast<std::uint8_t>(bytes[i]);
}

// The options fixed the value at this address.
bool FixedAt(const std::vector<MemoryValue>& fixed, std::uint16_t address) {
  return std::any_of(fixed.begin(), fixed.end(),
                     [&](const MemoryValue& v) { return v.address == address; });
}

// Where a catalog item of a memory-read family lives in the controller's memory.
std::uint16_t memoryAddress(const catalog::CatalogItem& item) {
  return static_cast<std::uint16_t>(item.address);
}

// The controller on the vehicle end of the line, set up from the options.
class SimulatedController {
 public:
  virtual ~SimulatedController() = default;
  // A new reading of one of the drifting values, unless the options fixed that value.
  virtual void show(const catalog::CatalogItem& item, std::uint32_t raw) = 0;
  virtual void setExchangeLog(ExchangeLog log) = 0;
};

class VisteonController final : public SimulatedController {
 public:
  VisteonController(sim::SimLine& line, const SimulatorOptions& o)
      : fixed_(o.pids), ecu_(line, config(o)) {
    for (const auto& [pid, value] : o.pids) ecu_.setPid(pid, value);
    if (o.faults) ecu_.setFaults(codes(*o.faults));
    for (const BusyAnswers& b : o.busy) ecu_.injectBusy(b.service, b.times);
    if (o.silent) ecu_.injectSilence(sim::visteon::kAnyService, sim::visteon::kForever);
  }

  // Current data only (0x0100 + PID).
  void show(const catalog::CatalogItem& item, std::uint32_t raw) override {
    const auto pid = static_cast<std::uint8_t>(item.address & 0xFF);
    if ((item.address >> 8) == 1 && fixed_.count(pid) == 0) {
      ecu_.setPid(pid, static_cast<std::uint16_t>(raw));
    }
  }
  void setExchangeLog(ExchangeLog log) override { ecu_.setExchangeLog(std::move(log)); }

 private:
  static sim::VisteonConfig config(const SimulatorOptions& o) {
    sim::VisteonConfig c;
    c.flashBlocks = o.flashBlocks;
    c.eraseTimeUs = kEraseUsPerBlock * o.flashBlocks;
    return c;
  }
  static std::vector<std::uint16_t> codes(const std::vector<std::string>& faults) {
    std::vector<std::uint16_t> out;
    for (const auto& f : faults) {
      out.push_back(static_cast<std::uint16_t>(byteOf(f, 0) << 8 | byteOf(f, 1)));
    }
    return out;
  }

  std::map<std::uint8_t, std::uint16_t> fixed_;
  sim::VisteonEcu ecu_;
};

class Mse10Controller final : public SimulatedController {
 public:
  Mse10Controller(sim::SimLine& line, const SimulatorOptions& o)
      : fixed_(o.values), ecu_(line, config()) {
    for (const MemoryValue& v : o.values) ecu_.storeValue(v.address, v.value, v.size);
    if (o.faults) ecu_.setFaults(faults(*o.faults));
    for (const BusyAnswers& b : o.busy) ecu_.injectNak(b.service, b.times);
    if (o.silent) ecu_.setSilent(true);
  }

  void show(const catalog::CatalogItem& item, std::uint32_t raw) override {
    if (!FixedAt(fixed_, memoryAddress(item))) ecu_.storeValue(memoryAddress(item), raw, item.size);
  }
  void setExchangeLog(ExchangeLog log) override { ecu_.setExchangeLog(std::move(log)); }

 private:
  // A pseudo-terminal carries no break: the controller wakes on the cable-detect packet
  // and the quiet that follows it instead of its 5-baud address.
  static sim::Mse10Config config() {
    sim::Mse10Config c;
    c.wakeOnQuiet = true;
    return c;
  }
  static std::vector<sim::Mse10Ecu::Fault> faults(const std::vector<std::string>& codes) {
    std::vector<sim::Mse10Ecu::Fault> out;
    for (const auto& c : codes) out.push_back({byteOf(c, 0), byteOf(c, 1), byteOf(c, 2)});
    return out;
  }

  std::vector<MemoryValue> fixed_;
  sim::Mse10Ecu ecu_;
};

// The MBE module on its own lead, which does not echo the server's bytes.
class MbeController final : public SimulatedController {
 public:
  MbeController(sim::SimLine& line, const SimulatorOptions& o) : fixed_(o.values), ecu_(line) {
    line.setCable(sim::CableKind::Mbe);
    for (const MemoryValue& v : o.values) {
      ecu_.storeValue(v.address, v.value, static_cast<std::size_t>(v.size));
    }
    if (o.faults) setFaults(*o.faults);
    if (o.silent) ecu_.injectSilence(sim::mbe::kAnyAddress, sim::mbe::kForever);
  }

  void show(const catalog::CatalogItem& item, std::uint32_t raw) override {
    if (!FixedAt(fixed_, memoryAddress(item))) {
      ecu_.storeValue(memoryAddress(item), raw, static_cast<std::size_t>(item.size));
    }
  }
  void setExchangeLog(ExchangeLog log) override { ecu_.setExchangeLog(std::move(log)); }

 private:
  // Each code is a current fault byte and a history byte; together they are combined.
  void setFaults(const std::vector<std::string>& codes) {
    std::uint8_t current = 0;
    std::uint8_t history = 0;
    for (const auto& c : codes) {
      current |= byteOf(c, 0);
      history |= byteOf(c, 1);
    }
    ecu_.setFaultHistory(history);
    ecu_.setCurrentFaults(current);
  }

  std::vector<MemoryValue> fixed_;
  sim::MbeEcu ecu_;
};

// A Ficht module behind its own cable: its values most significant byte first.
class FichtController final : public SimulatedController {
 public:
  FichtController(sim::SimLine& line, const SimulatorOptions& o)
      : fixed_(o.values), ecu_(behindItsCable(line)) {
    for (const MemoryValue& v : o.values) ecu_.storeValue(v.address, v.value, std::abs(v.size));
    if (o.faults) ecu_.setCurrentFaults(faults(*o.faults));
    for (const BusyAnswers& b : o.busy) ecu_.injectNak(b.service, b.times);
    if (o.silent) ecu_.injectSilence(sim::ficht::kAnyAddress, sim::ficht::kForever);
  }

  void show(const catalog::CatalogItem& item, std::uint32_t raw) override {
    if (!FixedAt(fixed_, memoryAddress(item))) ecu_.storeValue(memoryAddress(item), raw, item.size);
  }
  void setExchangeLog(ExchangeLog log) override { ecu_.setExchangeLog(std::move(log)); }

 private:
  static sim::SimLine& behindItsCable(sim::SimLine& line) {
    sim::UseFichtCable(line);
    return line;
  }
  static std::set<int> faults(const std::vector<std::string>& codes) {
    std::set<int> out;
    for (const auto& c : codes) out.insert(byteOf(c, 0));
    return out;
  }

  std::vector<MemoryValue> fixed_;
  sim::FichtEcu ecu_;
};

// MSE 1.1: identification and reflash only; it has no values to drift.
class Mse11Controller final : public SimulatedController {
 public:
  Mse11Controller(sim::SimLine& line, const SimulatorOptions& o) : ecu_(line, config()) {
    using sim::visteon::Misbehaviour;
    for (const BusyAnswers& b : o.busy) {
      ecu_.inject(b.service, Misbehaviour::negative(sim::visteon::nrc::kBusyRepeatRequest),
                  b.times);
    }
    if (o.silent) {
      ecu_.inject(sim::visteon::kAnyService, Misbehaviour::silent(), sim::visteon::kForever);
    }
  }

  void show(const catalog::CatalogItem& /*item*/, std::uint32_t /*raw*/) override {}
  void setExchangeLog(ExchangeLog log) override { ecu_.setExchangeLog(std::move(log)); }

 private:
  // A pseudo-terminal carries no break: the StartCommunication request itself wakes it.
  static sim::Mse11Config config() {
    sim::Mse11Config c;
    c.wakeOnRequest = true;
    return c;
  }

  sim::Mse11Ecu ecu_;
};

std::unique_ptr<SimulatedController> makeController(sim::SimLine& line, const SimulatorOptions& o) {
  if (o.device == ecuMSE10) return std::make_unique<Mse10Controller>(line, o);
  if (o.device == ecuMBE) return std::make_unique<MbeController>(line, o);
  if (o.device == ecuFicht) return std::make_unique<FichtController>(line, o);
  if (o.device == ecuMSE11) return std::make_unique<Mse11Controller>(line, o);
  return std::make_unique<VisteonController>(line, o);
}

// Holds every catalog reading of the family, and lets the demo values drift with time.
class Drift {
 public:
  Drift(MessageLoop& loop, SimulatedController& controller, std::int32_t device)
      : loop_(loop), controller_(controller), device_(device), startUs_(loop.nowUs()) {
    step();
    timer_.setEnabled(true);
  }

 private:
  void step() {
    const double seconds = static_cast<double>(loop_.nowUs() - startUs_) / 1e6;
    for (const CatalogReading& reading : SimulatedReadings(device_, seconds)) {
      controller_.show(*reading.item, reading.raw);
    }
  }

  MessageLoop& loop_;
  SimulatedController& controller_;
  std::int32_t device_;
  std::uint64_t startUs_;
  Timer timer_{loop_, [this] { step(); }, kDriftMs};
};

// SIGINT, SIGTERM and SIGHUP end the loop. They are taken through a signalfd, so the
// loop's own thread handles them between two events.
class QuitOnSignals {
 public:
  explicit QuitOnSignals(MessageLoop& loop) : loop_(loop) {
    sigemptyset(&signals_);
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals_, s);
    sigprocmask(SIG_BLOCK, &signals_, nullptr);
    fd_ = ::signalfd(-1, &signals_, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "signalfd");
    watch_ = loop_.watchFd(fd_, POLLIN, [this](short) { take(); });
  }
  ~QuitOnSignals() {
    loop_.unwatchFd(watch_);
    ::close(fd_);
    sigprocmask(SIG_UNBLOCK, &signals_, nullptr);
  }
  QuitOnSignals(const QuitOnSignals&) = delete;
  QuitOnSignals& operator=(const QuitOnSignals&) = delete;

 private:
  // Taken off the descriptor, or it would strike as soon as it is unblocked again.
  void take() {
    signalfd_siginfo info{};
    while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    loop_.quit();
  }

  MessageLoop& loop_;
  sigset_t signals_;
  int fd_ = -1;
  MessageLoop::WatchId watch_ = 0;
};

// The port's link in the ports directory, claimed for as long as the simulator runs (a
// link left by one that was killed is taken over).
PortClaim claimPort(const PortsDirectory& ports, std::optional<int> wanted,
                    const std::filesystem::path& device) {
  if (!wanted) return ports.publish(device);
  if (auto claimed = ports.claim(*wanted, device)) return std::move(*claimed);
  throw std::runtime_error(fmt::format("port {} is taken (see {} and /dev/ttyUSB{})", *wanted,
                                       (ports.dir() / PortsDirectory::linkName(*wanted)).string(),
                                       *wanted - 1));
}

void scheduleUnplug(Scheduler& loop, sim::SimLine& line, const SimulatorOptions& o) {
  if (!o.unplugAfter) return;
  const std::uint64_t at = loop.nowUs() + secondsToUs(*o.unplugAfter);
  loop.schedule(at, [&line] {
    line.setPlugged(false);
    fmt::print(stderr, "{}: cable unplugged\n", kProgram);
  });
  if (!o.unplugFor) return;
  loop.schedule(at + secondsToUs(*o.unplugFor), [&line] {
    line.setPlugged(true);
    fmt::print(stderr, "{}: cable plugged in again\n", kProgram);
  });
}

int simulate(const SimulatorOptions& o) {
  RealClock clock;
  MessageLoop loop(clock);
  QuitOnSignals signals(loop);
  sim::PtyScheduler world(loop);
  sim::SimLine line(world);
  const auto controller = makeController(line, o);
  sim::PtyBridge bridge(loop, line);
  if (o.rateAlias) bridge.aliasBitRate(o.rateAlias->first, o.rateAlias->second);
  const PortClaim port = claimPort(PortsDirectory::fromEnvironment(), o.port, bridge.devicePath());
  const std::uint64_t startUs = world.nowUs();
  if (o.verbose) {
    controller->setExchangeLog([&world, startUs](const std::string& exchange) {
      fmt::print("{:9.3f} {}\n", static_cast<double>(world.nowUs() - startUs) / 1e6, exchange);
      std::fflush(stdout);
    });
  }
  Drift drift(loop, *controller, o.device);
  scheduleUnplug(world, line, o);

  fmt::print("{}\n", PublishedPortLine(port.number(), port.link()));
  std::fflush(stdout);
  fmt::print(stderr, "{}: {} controller on {} as port {}; Ctrl-C ends it\n", kProgram,
             DeviceName(o.device), bridge.devicePath().string(), port.number());
  loop.run();
  return 0;
}

}  // namespace

int SimulatorMain(int argc, char** argv) {
  SimulatorCli cli;
  if (const auto code = ParseCommandLine(cli.app(), [&] { cli.parse(argc, argv); })) {
    return *code;
  }
  // A reader of our output that has gone away must not end us before the link is removed.
  ::signal(SIGPIPE, SIG_IGN);
  try {
    return simulate(cli.options());
  } catch (const std::exception& e) {
    fmt::print(stderr, "{}: {}\n", kProgram, e.what());
    return 1;
  }
}

}  // namespace quorvan::host
