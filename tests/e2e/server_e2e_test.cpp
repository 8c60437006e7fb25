#include <sdbus-c++/sdbus-c++.h>

#include <map>
#include <set>

#include "client/Enums.h"
#include "e2e/HostFixture.h"
#include "host/common/TextMapping.h"
#include "host/common/VariantMapping.h"

namespace quorvan::testing {
namespace {

using host::EcuClient;

std::string allBytes() {
  std::string bytes;
  for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  return bytes;
}

class ActivatedServer : public HostFixture {
 protected:
  void SetUp() override { registerServer(); }
};

TEST_F(ActivatedServer, FirstCallStartsTheServerAndRunTaskBringsUpTheCommThread) {
  EcuClient client;
  std::vector<std::int32_t> statuses;
  client.events().commStatus = [&](std::int32_t s) { statuses.push_back(s); };
  EXPECT_FALSE(client.proxy().Ready());  // this call starts the server
  EXPECT_NE(bus.log().find("Successfully activated service 'org.quorvan.EcuQuorvanBT1'"),
            std::string::npos);
  client.proxy().RunTask(true);
  ASSERT_TRUE(client.waitUntil([&] { return !statuses.empty(); }, kPatience));
  EXPECT_EQ(statuses, std::vector<std::int32_t>{ecuReady});
  EXPECT_TRUE(client.proxy().Ready());
  EXPECT_EQ(client.proxy().State(), ecuReady);
  EXPECT_GT(client.proxy().ThreadID(), 0);
}

TEST_F(ActivatedServer, PropertiesReadBackWhatClientsWrite) {
  EcuClient client;
  startCommThread(client);
  auto& server = client.proxy();
  server.Device(ecuVisteon);
  server.DebugMode(true);
  server.BaseTimingMode(true);
  server.Busy(true);
  server.ecuActive(5);
  server.ecuFlashMode(flashReady);
  server.ecuGetCalText(true);
  EXPECT_EQ(server.Device(), ecuVisteon);
  EXPECT_TRUE(server.DebugMode());
  EXPECT_TRUE(server.BaseTimingMode());
  EXPECT_TRUE(server.Busy());
  EXPECT_EQ(server.ecuActive(), 5);
  EXPECT_EQ(server.ecuFlashMode(), flashReady);
  EXPECT_EQ(server.FlashStatus(), flashReady);
  EXPECT_TRUE(server.ecuGetCalText());
  EXPECT_EQ(server.portNum(), 1);  // the comm form's default
  EXPECT_EQ(client.idHardware(), "UNKNOWN");

  // Texts carry any bytes; Results gives ecuResults as a byte string.
  server.ecuResults(host::BytesToText(allBytes()));
  EXPECT_EQ(client.ecuResults(), allBytes());
  EXPECT_EQ(client.Results(), Variant(allBytes()));
  client.setClientName("Diag \xE9\x01");
  EXPECT_EQ(client.ClientName(), "Diag \xE9\x01");
}

TEST_F(ActivatedServer, ValuesTheServerChangesAreAnnounced) {
  EcuClient client;
  startCommThread(client);
  std::map<std::string, sdbus::Variant> announced;
  auto slot = client.connection().addMatch(
      "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
      "path='/org/quorvan/EcuQuorvanBT1'",
      [&](sdbus::Message& m) {
        std::string interface;
        std::map<std::string, sdbus::Variant> changed;
        std::vector<std::string> invalidated;
        m >> interface >> changed >> invalidated;
        for (auto& [name, value] : changed) announced[name] = value;
      });
  client.proxy().FlashInit();  // the class sets ecuFlashMode to flashBusy
  client.proxy().MellowOut();  // ... and Busy
  ASSERT_TRUE(client.waitUntil(
      [&] { return announced.count("ecuFlashMode") != 0 && announced.count("Busy") != 0; },
      kPatience));
  EXPECT_EQ(announced["ecuFlashMode"].get<std::int32_t>(), flashBusy);
  EXPECT_TRUE(announced["Busy"].get<bool>());
}

TEST_F(ActivatedServer, WatchTableBoundsErrorsCarryNumberSourceAndDescription) {
  EcuClient client;
  auto& server = client.proxy();
  struct Case {
    std::function<void()> call;
    std::string message;
  };
  const Case cases[] = {
      {[&] { server.AddItem(0, 1, 1, ecuData); },
       "MSE1: AddItem# outside ecuWatchTable boundary: 0."},
      {[&] { server.AddItem(201, 1, 1, ecuData); },
       "MSE1: AddItem# outside ecuWatchTable boundary: 201."},
      {[&] { server.Watch(-1, 1); }, "MSE1: WatchItem# outside ecuWatchTable boundary: -1."},
  };
  for (const auto& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << "no error for: " << c.message;
    } catch (const sdbus::Error& e) {
      EXPECT_EQ(e.getName(), "org.quorvan.EcuQuorvanBT1.Error.x80040001");
      EXPECT_EQ(e.getMessage(), c.message);
    }
  }
  server.AddItem(200, 1, 1, ecuData);  // the bounds themselves are fine
  EXPECT_EQ(server.NumActive(), 0);
}

TEST_F(ActivatedServer, TextsAndValuesCrossTheBusUnchanged) {
  EcuClient client;
  std::vector<std::string> notes;
  std::vector<Variant> values;
  client.events().damnIt = [&](const std::string& note) { notes.push_back(note); };
  client.events().newData = [&](std::int16_t item, std::int32_t, const Variant& v) {
    EXPECT_EQ(item, 1);  // no current item: delivered as item 1
    values.push_back(v);
  };
  client.TellClient(allBytes());
  const std::vector<Variant> sent = {Variant(std::int32_t{-70000}),
                                     Variant(std::string("\x00\x80\xFF", 3)),
                                     Variant(std::vector<std::int32_t>{1, 2, 3})};
  for (const Variant& v : sent) client.proxy().PacketNotify(host::ToBusVariant(v));
  ASSERT_TRUE(
      client.waitUntil([&] { return !notes.empty() && values.size() == sent.size(); }, kPatience));
  EXPECT_EQ(notes.front(), allBytes());
  EXPECT_EQ(values, sent);
}

TEST_F(ActivatedServer, RefusesTextsAndValuesWithoutByteMeaning) {
  EcuClient client;
  const std::function<void()> refused[] = {
      [&] { client.proxy().TellClient("\xC4\x80"); },  // U+0100
      [&] { client.proxy().ClientName("\xE2\x82\xAC"); },
      [&] { client.proxy().PacketNotify(sdbus::Variant(1.5)); },
      [&] { client.proxy().PortsFree(5, 4); },
  };
  for (const auto& call : refused) {
    try {
      call();
      ADD_FAILURE() << "accepted";
    } catch (const sdbus::Error& e) {
      EXPECT_EQ(e.getName(), "org.freedesktop.DBus.Error.InvalidArgs") << e.getMessage();
    }
  }
  EXPECT_TRUE(host::NameHasOwner(client.connection(), host::kBusName));  // still serving
}

TEST_F(ActivatedServer, BusctlSeesTheInterfaceAndCallsIt) {
  const std::string object[] = {"org.quorvan.EcuQuorvanBT1", "/org/quorvan/EcuQuorvanBT1"};
  const std::string interface = "org.quorvan.EcuQuorvanBT1.clsBoschECU";
  const RunResult introspect = bus.run({"busctl", "--user", "introspect", object[0], object[1]});
  ASSERT_EQ(introspect.code, 0) << introspect.err;
  EXPECT_NE(introspect.out.find(interface), std::string::npos);
  for (const char* member : {".RunTask", ".PortsFree", ".NewData", ".ecuFlashMode"}) {
    EXPECT_NE(introspect.out.find(member), std::string::npos) << member;
  }

  const RunResult call =
      bus.run({"busctl", "--user", "call", object[0], object[1], interface, "FlashInit"});
  EXPECT_EQ(call.code, 0) << call.err;
  EXPECT_EQ(call.out, "n 0\n");  // no device chosen: no flash blocks

  const RunResult failing = bus.run({"busctl", "--user", "call", object[0], object[1], interface,
                                     "AddItem", "nini", "0", "1", "1", "2"});
  EXPECT_NE(failing.code, 0);
  EXPECT_NE(failing.err.find("MSE1: AddItem# outside ecuWatchTable boundary: 0."),
            std::string::npos)
      << failing.err;
}

TEST_F(HostFixture, RegistrationWritesAndRemovesTheActivationFile) {
  const auto file = bus.serviceDir() / "org.quorvan.EcuQuorvanBT1.service";
  RunResult r = bus.run({kServerProgram, "--regserver"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(ReadFile(file), "[D-BUS Service]\nName=org.quorvan.EcuQuorvanBT1\nExec=" +
                                std::filesystem::canonical(kServerProgram).string() + "\n");
  r = bus.run({kServerProgram, "--unregserver"});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_FALSE(std::filesystem::exists(file));
  r = bus.run({kServerProgram, "--unregserver"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("was not registered"), std::string::npos) << r.out;
  r = bus.run({kServerProgram, "--help"});
  EXPECT_EQ(r.code, 0);
  EXPECT_NE(r.out.find("--regserver"), std::string::npos);
  EXPECT_NE(r.out.find("--stall-limit"), std::string::npos);
  EXPECT_NE(bus.run({kServerProgram, "--bogus"}).code, 0);
  EXPECT_NE(bus.run({kServerProgram, "--stall-limit", "0"}).code, 0);
}

// The stall guard leaves a server alone that waits for work, however long, and one that
// serves calls.
TEST_F(HostFixture, AServerWithAShortStallLimitServesAndWaitsUndisturbed) {
  Child server({kServerProgram, "--stall-limit", "0.3"}, bus.env(), dir.path / "server.out",
               dir.path / "server.err");
  EcuClient client;
  ASSERT_TRUE(awaitServerName(client, true));
  startCommThread(client);
  client.setClientName("Diag");
  client.waitUntil([] { return false; }, std::chrono::seconds(1));
  client.proxy().InitComm(-1);
  EXPECT_TRUE(client.proxy().Ready());
  EXPECT_FALSE(server.waitExit(std::chrono::milliseconds(0)).has_value())
      << ReadFile(dir.path / "server.err");
}

// The server's lifetime is watched directly here: it runs as this test's child, not
// through activation. Nothing but the clients' leaving runs a presence check: no port was
// ever opened, so no watchdog ticks.
TEST_F(HostFixture, ServerEndsAsSoonAsItsClientHasGone) {
  Child server({kServerProgram}, bus.env(), dir.path / "server.out", dir.path / "server.err");
  EcuClient observer;
  ASSERT_TRUE(awaitServerName(observer, true));
  auto client = std::make_unique<EcuClient>();
  startCommThread(*client);
  client->setClientName("Diag");

  // Another connection cannot name itself, with the client's caption or its own, and its
  // leaving is no client's leaving.
  auto second = std::make_unique<EcuClient>();
  for (const char* caption : {"Diag", "Other"}) {
    EXPECT_THROW(second->setClientName(caption), sdbus::Error) << caption;
  }
  bool secondGone = false;
  auto slot = observer.connection().addMatch(
      "type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" +
          second->connection().getUniqueName() + "'",
      [&](sdbus::Message&) { secondGone = true; });
  second.reset();
  ASSERT_TRUE(observer.waitUntil([&] { return secondGone; }, kPatience));
  observer.proxy().FlashStatus();  // a call runs after the check the leaving started
  EXPECT_FALSE(server.waitExit(std::chrono::milliseconds(0)).has_value());

  client.reset();  // its window goes with its connection
  const auto code = server.waitExit(kPatience);
  ASSERT_TRUE(code.has_value()) << "the server is still running";
  EXPECT_EQ(*code, 0) << ReadFile(dir.path / "server.err");
}

TEST_F(HostFixture, ServerWithoutAClientNameKeepsRunning) {
  Child server({kServerProgram}, bus.env(), dir.path / "server.out", dir.path / "server.err");
  {
    EcuClient client;
    ASSERT_TRUE(awaitServerName(client, true));
    startCommThread(client);
  }
  EcuClient other;
  other.proxy().InitComm(-1);  // a presence check with no client name to look for
  EXPECT_TRUE(other.proxy().Ready());
  EXPECT_FALSE(server.waitExit(std::chrono::milliseconds(0)).has_value());
}

}  // namespace
}  // namespace quorvan::testing
