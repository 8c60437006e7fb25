// The real server against ecusim on a pseudo-terminal: sessions as clients see them.
#include <fmt/format.h>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>

#include <algorithm>
#include <map>
#include <set>

#include "e2e/SimulatorFixture.h"
#include "host/cli/ClientOutput.h"
#include "host/common/BusNames.h"

namespace quorvan::testing {
namespace {

using host::EcuClient;
using host::EcuSession;

constexpr const char* kVisteonIds[] = {"Visteon Controller", "PVM-100 (BE 1F B8 10)",
                                       "Victory Motorcycle"};

std::vector<std::string> identification(EcuClient& client) {
  return {client.idHardware(), client.idSoftware(), client.idCustomer()};
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class Simulator : public SimulatorFixture {
 protected:
  // Waits for the reflash step under way to end; its outcome.
  std::int32_t flashOutcome(EcuClient& client) {
    std::int32_t mode = flashBusy;
    eventually(client, [&] { return (mode = client.proxy().FlashStatus()) != flashBusy; });
    return mode;
  }
};

TEST_F(Simulator, TheCommandLineShowsTheControllersIdentification) {
  startSimulator({"--device", "visteon"});
  const RunResult r = quorvan("ident", "visteon");
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, fmt::format("idHardware: {}\nidSoftware: {}\nidCustomer: {}\n", kVisteonIds[0],
                               kVisteonIds[1], kVisteonIds[2]));
}

TEST_F(Simulator, AClientIsIdentifiedAndGetsTheSimulatorsValuesAndTheDriftingOnesChange) {
  startSimulator({"--pid", "0C=1AF8", "--pid", "05=5A"});
  EcuClient client;
  std::vector<std::int32_t> statuses;
  EcuSession session(client, sessionFor(ecuVisteon),
                     [&](std::int32_t s) { statuses.push_back(s); });
  session.start();
  session.open();
  EXPECT_EQ(statuses, (std::vector<std::int32_t>{ecuReady, ecuInitializing, ecuCommOK}));
  EXPECT_EQ(identification(client),
            std::vector<std::string>(std::begin(kVisteonIds), std::end(kVisteonIds)));
  std::map<std::int16_t, std::set<std::int32_t>> seen;
  client.events().newData = [&](std::int16_t item, std::int32_t, const Variant& value) {
    if (const auto* n = std::get_if<std::int32_t>(&value.value)) seen[item].insert(*n);
  };
  auto& server = client.proxy();
  server.AddItem(1, 0x010C, 2, ecuData);  // engine speed, fixed
  server.AddItem(2, 0x0105, 1, ecuData);  // coolant temperature, fixed
  server.AddItem(3, 0x0111, 1, ecuData);  // throttle position, drifting
  for (std::int16_t item = 1; item <= 3; ++item) server.Watch(item, 1);
  ASSERT_TRUE(eventually(client, [&] { return seen[3].size() >= 2 && seen[2].size() >= 1; }));
  EXPECT_EQ(seen[1], std::set<std::int32_t>{0x1AF8});
  EXPECT_EQ(seen[2], std::set<std::int32_t>{0x5A});
}

// The controller is busy the first two times it is asked for its faults: the server asks
// again.
TEST_F(Simulator, TheCommandLineReadsAndClearsTheFaultCodes) {
  startSimulator({"--fault", "0122", "--fault", "0118", "--busy", "03:2"});
  const struct {
    const char* command;
    const char* out;
  } steps[] = {
      {"faults", "0122/0118/\n"},
      {"clear-faults", "fault codes cleared\n"},
      {"faults", "no fault codes\n"},
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.command);
    const RunResult r = quorvan(step.command, "visteon");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, step.out);
  }
  const std::string exchanges = ReadFile(dir.path / "ecusim.out");
  std::size_t busy = 0;
  for (auto at = exchanges.find("03 -> 7F 03 21"); at != std::string::npos;
       at = exchanges.find("03 -> 7F 03 21", at + 1)) {
    ++busy;
  }
  EXPECT_EQ(busy, 2u) << exchanges;
}

TEST_F(Simulator, ASmallImageIsFlashedAndTheControllersSumConfirmsIt) {
  startSimulator({"--flash-blocks", "3"});
  EcuClient client;
  EcuSession session(client, sessionFor(ecuVisteon));
  session.start();
  session.open();
  std::string image;
  for (int i = 0; i < 3 * 1024; ++i) image.push_back(static_cast<char>((i * 7 + i / 1024) & 0xFF));
  auto& server = client.proxy();
  ASSERT_EQ(server.FlashInit(), 1024);
  ASSERT_EQ(flashOutcome(client), flashReady);
  for (const std::string& block : host::SplitBlocks(image, 1024)) {
    client.FlashWrite(block);
    ASSERT_EQ(flashOutcome(client), flashReady);
  }
  const std::int32_t sum = host::FlashChecksum(image);
  const struct {
    std::int32_t target;
    std::int32_t outcome;
  } verifies[] = {{sum, flashReady}, {sum ^ 0x0101, flashFailedVerify}};
  for (const auto& v : verifies) {
    server.FlashVerify(v.target);
    EXPECT_EQ(flashOutcome(client), v.outcome) << std::hex << v.target;
  }
}

// The identification request is on the line once ecuInitializing has come; the silent
// controller leaves the server waiting 400 ms for an answer, and a call arriving then
// runs inside that wait: its note goes out before the wait's outcome, and its answer
// comes without waiting for InitComm's.
TEST_F(Simulator, ACallArrivingWhileTheServerWaitsOnTheLineIsServedInsideTheWait) {
  startSimulator({"--silent"});
  EcuClient client;
  std::vector<std::string> order;
  EcuSession session(client, sessionFor(ecuVisteon),
                     [&](std::int32_t s) { order.push_back(host::StatusName(s)); });
  session.start();
  order.clear();
  client.events().damnIt = [&](const std::string& note) { order.push_back("DamnIt " + note); };
  auto raw = sdbus::createProxy(client.connection(), host::kBusName, host::kObjectPath);
  bool initReturned = false;
  raw->callMethodAsync("InitComm")
      .onInterface(EcuClient::Proxy::INTERFACE_NAME)
      .withArguments(static_cast<std::int16_t>(port))
      .uponReplyInvoke([&](const sdbus::Error* error) {
        EXPECT_EQ(error, nullptr);
        order.push_back("InitComm returns");
        initReturned = true;
      });
  ASSERT_TRUE(client.waitUntil([&] { return contains(order, "ecuInitializing"); }, kPatience));
  client.TellClient("inside");
  ASSERT_TRUE(client.waitUntil([&] { return initReturned; }, kPatience));
  EXPECT_EQ(order, (std::vector<std::string>{"ecuInitializing", "DamnIt inside", "ecuRunSwitchOff",
                                             "InitComm returns"}));
}

// The cable comes out once the session is up (the link takes about two seconds: the cable
// tests wait for loop-backs that a K-line cable does not have) and goes back in later.
TEST_F(Simulator, APulledCableIsReportedAndTheLinkComesBackWhenItIsPluggedIn) {
  startSimulator({"--unplug-after", "4", "--unplug-for", "2"});
  EcuClient client;
  std::vector<std::int32_t> statuses;
  EcuSession session(client, sessionFor(ecuVisteon),
                     [&](std::int32_t s) { statuses.push_back(s); });
  session.start();
  session.open();
  ASSERT_TRUE(eventually(client, [&] {
    const auto lost = std::find(statuses.begin(), statuses.end(), ecuNoCableOrPower);
    return lost != statuses.end() && std::find(lost, statuses.end(), ecuCommOK) != statuses.end();
  })) << ::testing::PrintToString(statuses);
  EXPECT_EQ(identification(client),
            std::vector<std::string>(std::begin(kVisteonIds), std::end(kVisteonIds)));
}

// No break reaches a controller through a pseudo-terminal: the MSE 1.0 controller wakes on
// the cable-detect packet and the quiet after it.
TEST_F(Simulator, AnMse10ControllerWakesAndIsServedBehindThePseudoTerminal) {
  startSimulator({"--device", "mse10", "--value", "0x100:2=4660", "--fault", "012305"});
  EcuClient client;
  EcuSession session(client, sessionFor(ecuMSE10));
  session.start();
  session.open();
  EXPECT_EQ(identification(client),
            (std::vector<std::string>{"0261204130", "1037350421", "QUORVAN SIM"}));
  std::optional<Variant> value;
  std::optional<std::string> faults;
  client.events().newData = [&](std::int16_t, std::int32_t, const Variant& v) { value = v; };
  client.events().newFaults = [&](std::int16_t, std::int32_t, const std::string& f) { faults = f; };
  auto& server = client.proxy();
  server.AddItem(1, 0x0100, 2, ecuData);
  server.AddItem(2, 0, 1, ecuFaults);
  server.Watch(1, 1);
  server.Watch(2, 1);
  ASSERT_TRUE(eventually(client, [&] { return value && faults; }));
  EXPECT_EQ(*value, Variant(std::int32_t{4660}));
  EXPECT_EQ(*faults, "C012305/");
}

// Watched directly: the server runs as this test's child. Its client leaves mid-session
// without closing the port; the server ends then and there, in order.
TEST_F(Simulator, AServerWhoseClientVanishesMidSessionEndsAtOnceAndCleanly) {
  startSimulator({});
  Child server({kServerProgram}, bus.env(), dir.path / "server.out", dir.path / "server.err");
  EcuClient observer;
  ASSERT_TRUE(awaitServerName(observer, true));
  auto client = std::make_unique<EcuClient>();
  bool data = false;
  client->events().newData = [&](std::int16_t, std::int32_t, const Variant&) { data = true; };
  startCommThread(*client);
  client->setClientName("Diag");
  client->proxy().Device(ecuVisteon);
  client->proxy().InitComm(static_cast<std::int16_t>(port));
  ASSERT_EQ(client->idHardware(), kVisteonIds[0]);
  client->proxy().AddItem(1, 0x010C, 2, ecuData);
  client->proxy().Watch(1, 1);
  ASSERT_TRUE(client->waitUntil([&] { return data; }, kPatience));

  client.reset();
  const auto code = server.waitExit(kPatience);
  ASSERT_TRUE(code.has_value()) << "the server is still running";
  EXPECT_EQ(*code, 0) << ReadFile(dir.path / "server.err");
}

TEST_F(Simulator, TheSimulatorPublishesItsPortAndRemovesItWhenItEnds) {
  startSimulator({});
  EXPECT_EQ(link, dir.path / "ports" / ("com" + std::to_string(port)));
  const auto device = std::filesystem::read_symlink(link);
  EXPECT_EQ(device.string().rfind("/dev/pts/", 0), 0u) << device;

  // The port it asks for is taken.
  const RunResult taken = bus.run({kSimulatorProgram, "--port", std::to_string(port)});
  EXPECT_EQ(taken.code, 1);
  EXPECT_NE(taken.err.find(fmt::format("port {} is taken", port)), std::string::npos) << taken.err;

  simulator->terminate();
  EXPECT_EQ(simulator->waitExit(kPatience), 0);
  EXPECT_FALSE(std::filesystem::is_symlink(link));
}

// A simulator killed outright cannot remove its link. The next one asked for that port
// takes it over, and the server reaches the new controller through it.
TEST_F(Simulator, ASimulatorOnThePortOfAKilledOneTakesItOver) {
  startSimulator({});
  const int killedPort = port;
  ::kill(simulator->pid(), SIGKILL);
  ASSERT_TRUE(simulator->waitExit(kPatience));
  ASSERT_TRUE(std::filesystem::is_symlink(link));

  startSimulator({"--port", std::to_string(killedPort)});
  EXPECT_EQ(port, killedPort);
  const RunResult r = quorvan("ident", "visteon");
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find(kVisteonIds[0]), std::string::npos) << r.out;
}

// The server stops answering while a command waits for the link (to a controller that
// never answers): the command still gives up at its deadline, with one line, and leaves.
TEST_F(Simulator, ACommandWhoseServerStopsAnsweringMidWayEndsAtItsDeadline) {
  startSimulator({"--silent"});
  Child server({kServerProgram}, bus.env(), dir.path / "server.out", dir.path / "server.err");
  EcuClient observer;
  ASSERT_TRUE(awaitServerName(observer, true));
  const auto err = dir.path / "connect.err";
  Child connect({kClientProgram, "connect", "--device", "visteon", "--port", std::to_string(port),
                 "--timeout", "3"},
                bus.env(), dir.path / "connect.out", err);
  ASSERT_TRUE(awaitOutput(connect, err, "status: ecuInitializing")) << ReadFile(err);
  ::kill(server.pid(), SIGSTOP);  // killed stopped when the test ends

  const auto code = connect.waitExit(std::chrono::seconds(3) + kMargin);
  ASSERT_TRUE(code.has_value()) << "still waiting: " << ReadFile(err);
  EXPECT_EQ(*code, 4);                     // no link
  const std::string said = ReadFile(err);  // the statuses seen, then why it gave up
  EXPECT_EQ(said.find("quorvan: "), said.rfind("quorvan: ")) << said;
  EXPECT_NE(said.find(fmt::format("quorvan: the link on port {} did not come up within 3 s", port)),
            std::string::npos)
      << said;
}

TEST_F(HostFixture, SimulatorOptionErrorsAreOneLineAndHelpExplainsThem) {
  const struct {
    std::vector<std::string> args;
    const char* says;
  } refused[] = {
      {{"--device", "3"}, "ecusim simulates visteon, mse10, mse11, mbe or ficht"},
      {{"--device", "mse10", "--pid", "0C=1"}, "--pid is for visteon only"},
      {{"--value", "0x40:2=1"}, "--value is for mse10, mbe and ficht only"},
      {{"--fault", "012305"}, "is not 4 hexadecimal digits"},
      {{"--busy", "31"}, "is not SERVICE:N"},
      {{"--unplug-for", "2"}, "needs --unplug-after"},
  };
  for (const auto& r : refused) {
    std::vector<std::string> argv{kSimulatorProgram};
    argv.insert(argv.end(), r.args.begin(), r.args.end());
    const RunResult result = bus.run(argv);
    EXPECT_NE(result.code, 0) << r.says;
    EXPECT_NE(result.err.find(r.says), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
  const RunResult help = bus.run({kSimulatorProgram, "--help"});
  EXPECT_EQ(help.code, 0);
  for (const char* option : {"--device", "--port", "--pid", "--value", "--fault", "--busy",
                             "--silent", "--unplug-after", "--flash-blocks", "--verbose"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
}

}  // namespace
}  // namespace quorvan::testing
