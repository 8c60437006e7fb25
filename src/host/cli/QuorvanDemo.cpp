// The demo: the simulator on a pseudo-terminal, the server activated on the session bus
// (one of our own when none can start it), and a live view of the simulated controller.
// Whatever it starts it ends, and whatever it makes it removes, on every way out; killed
// outright, what it started ends with it, and the next demo removes its directory.
#include "host/cli/QuorvanDemo.h"

#include <fmt/format.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <thread>

#include "client/Enums.h"
#include "host/cli/ChildProcess.h"
#include "host/cli/ClientCommands.h"
#include "host/cli/DemoDirectory.h"
#include "host/cli/DemoView.h"
#include "host/cli/EcuClient.h"
#include "host/cli/EcuSession.h"
#include "host/cli/SessionBusDaemon.h"
#include "host/common/BusNames.h"
#include "host/common/CommandLine.h"
#include "host/common/DemoChannels.h"
#include "host/common/PublishedPort.h"
#include "platform/PortsDirectory.h"

namespace quorvan::host {

namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr milliseconds kLookInterval{50};
constexpr milliseconds kStopGrace{5000};
constexpr std::int16_t kFaultPriority = 5;  // the fault list is read on every fifth pass

// Waits until done() holds; false when the time ran out or the process was interrupted.
template <typename Done>
bool await(Done done, milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (Interruption::raised() || std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(kLookInterval);
  }
  return true;
}

fs::path besideThisProgram(const char* name) {
  return fs::read_symlink("/proc/self/exe").parent_path() / name;
}

// The session bus the demo runs on: the running one when it can start the server, else a
// private one on which this program's server is registered.
class DemoBus {
 public:
  DemoBus(const fs::path& temp, milliseconds timeout) : ports_(PortsDirectory::fromEnvironment()) {
    if (auto running = runningBusThatStartsTheServer(timeout)) {
      connection_ = std::move(running);
      return;
    }
    startPrivateBus(temp, timeout);
  }

  // The connection for the client (there is only one).
  std::unique_ptr<sdbus::IConnection> takeConnection() { return std::move(connection_); }
  // Where the simulator must publish its port for the server to find it.
  const PortsDirectory& ports() const { return ports_; }
  std::string description() const { return daemon_ ? "a private session bus" : "the session bus"; }

 private:
  static std::unique_ptr<sdbus::IConnection> runningBusThatStartsTheServer(milliseconds timeout) {
    std::unique_ptr<sdbus::IConnection> connection;
    try {
      connection = sdbus::createSessionBusConnection();
      connection->setMethodCallTimeout(timeout);
      if (!IsActivatable(*connection, kBusName)) return nullptr;
    } catch (const sdbus::Error&) {
      return nullptr;  // none running
    }
    return connection;
  }

  void startPrivateBus(const fs::path& temp, milliseconds timeout) {
    const fs::path xdg = temp / "xdg";
    ports_ = PortsDirectory(temp / "ports");
    registerServer(xdg, temp / "regserver.log", timeout);
    daemon_.emplace(temp, xdg / "dbus-1" / "services",
                    std::map<std::string, std::string>{{"XDG_DATA_HOME", xdg.string()},
                                                       {"QUORVAN_PORTS", ports_.dir().string()}});
    connection_ = sdbus::createSessionBusConnectionWithAddress(daemon_->address());
  }

  // `EcuQuorvanBT --regserver` into our XDG_DATA_HOME, which the bus reads.
  static void registerServer(const fs::path& xdg, const fs::path& log, milliseconds timeout) {
    ChildProcess reg({besideThisProgram("EcuQuorvanBT").string(), "--regserver"},
                     {{"XDG_DATA_HOME", xdg.string()}}, log, log, -1, true);
    if (reg.waitExit(timeout) != 0) {
      throw SessionError("the server could not be registered: " + ReadOutput(log));
    }
  }

  PortsDirectory ports_;
  std::optional<SessionBusDaemon> daemon_;
  std::unique_ptr<sdbus::IConnection> connection_;
};

// ecusim, running until the demo ends.
class DemoSimulator {
 public:
  DemoSimulator(std::int32_t device, const PortsDirectory& ports, const fs::path& temp,
                milliseconds timeout)
      : out_(temp / "ecusim.out"),
        log_(temp / "ecusim.log"),
        child_({besideThisProgram("ecusim").string(), "--device", DeviceName(device)},
               {{"QUORVAN_PORTS", ports.dir().string()}}, out_, log_, -1, true) {
    std::optional<std::pair<int, fs::path>> published;
    const bool up = await(
        [&] {
          const std::string out = ReadOutput(out_);
          if (const auto eol = out.find('\n'); eol != std::string::npos) {
            published = ParsePublishedPortLine(out.substr(0, eol));
            return true;
          }
          return child_.waitExit(milliseconds(0)).has_value();  // it gave up
        },
        timeout);
    if (!published) {
      if (!up && Interruption::raised()) throw SessionError("interrupted");
      throw SessionError("the simulator did not start: " + ReadOutput(log_));
    }
    port_ = published->first;
    link_ = published->second;
  }
  ~DemoSimulator() { child_.stop(kStopGrace); }
  DemoSimulator(const DemoSimulator&) = delete;
  DemoSimulator& operator=(const DemoSimulator&) = delete;

  int port() const { return port_; }
  const fs::path& link() const { return link_; }

 private:
  fs::path out_;
  fs::path log_;
  ChildProcess child_;
  int port_ = 0;
  fs::path link_;
};

// Watches every demo value and the fault list; the view follows the server's events.
void watchEverything(EcuClient& client, std::int32_t device, DemoScreen& screen,
                     ScopedEvents& scoped) {
  const auto channels = DemoChannels(device);
  const auto faultItem = static_cast<std::int16_t>(channels.size() + 1);
  EcuEvents& events = *scoped;
  events.newData = [&screen](std::int16_t item, std::int32_t, const Variant& value) {
    if (item < 1 || static_cast<std::size_t>(item) > screen.readings.size()) return;
    DemoReading& reading = screen.readings[static_cast<std::size_t>(item - 1)];
    if (const auto* raw = std::get_if<std::int32_t>(&value.value)) reading.raw = *raw;
    ++reading.updates;
  };
  events.newFaults = [&screen](std::int16_t, std::int32_t, const std::string& faults) {
    screen.faults = faults;
    ++screen.faultReads;
  };

  auto& server = client.proxy();
  server.ClearItems();
  for (std::size_t i = 0; i < channels.size(); ++i) {
    const auto item = static_cast<std::int16_t>(i + 1);
    const catalog::CatalogItem& reading = *channels[i].item;
    server.AddItem(item, reading.address, reading.size, reading.kind);
    server.Watch(item, 1);
    screen.readings.push_back(DemoReading{&reading, std::nullopt, 0});
  }
  server.AddItem(faultItem, FaultListAddress(device), 1, ecuFaults);
  server.Watch(faultItem, kFaultPriority);
}

}  // namespace

int RunDemo(const CliOptions& o) {
  const milliseconds timeout = SecondsToMs(o.timeoutSeconds);
  // Torn down in reverse: the session closes its port, the client leaves (and the server
  // with it), the simulator ends, the bus stops, the directory goes.
  DemoDirectory temp;
  DemoBus bus(temp.path(), timeout);
  DemoSimulator simulator(o.device, bus.ports(), temp.path(), timeout);
  fmt::print("ecusim: simulated {} controller on port {} ({})\n", DeviceName(o.device),
             simulator.port(), simulator.link().string());

  DemoScreen screen;
  EcuClient client(bus.takeConnection(), timeout);
  CliOptions onSimulator = o;
  onSimulator.port = static_cast<std::int16_t>(simulator.port());
  EcuSession session(client, SessionOptionsFor(onSimulator),
                     [&screen](std::int32_t status) { screen.status = status; });
  session.start();
  session.open();
  screen.status = session.lastStatus();
  fmt::print("EcuQuorvanBT: connected on {}\n", bus.description());
  PrintIdentification(client);
  fmt::print("\n");
  std::fflush(stdout);  // seen at once also where the output is a pipe or a file

  ScopedEvents events(client);
  watchEverything(client, o.device, screen, events);
  if (!o.seconds) fmt::print("Ctrl-C ends the demo.\n");
  ShowLive(client, o.seconds, [&screen] { return DemoScreenLines(screen); });
  return 0;
}

}  // namespace quorvan::host
