// One server serves one client: once a client has named itself, the server is its own.
// Other connections may still look at it, but whatever they ask that would change it is
// refused with an error that names the client in charge.
#include <sdbus-c++/sdbus-c++.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "client/Enums.h"
#include "e2e/HostFixture.h"
#include "host/common/VariantMapping.h"

namespace quorvan::testing {
namespace {

using host::EcuClient;

class ClientInCharge : public HostFixture {
 protected:
  void SetUp() override {
    registerServer();
    client = std::make_unique<EcuClient>();
    client->events().commStatus = [&](std::int32_t s) { statuses.push_back(s); };
    client->events().damnIt = [&](const std::string& note) { notes.push_back(note); };
    client->events().newData = [&](std::int16_t, std::int32_t, const Variant&) { ++values; };
    startCommThread(*client);
    client->setClientName("Diag");
    client->proxy().Device(ecuMSE11);
  }

  std::unique_ptr<EcuClient> client;
  EcuClient other;  // a second connection to the same server
  std::vector<std::int32_t> statuses;
  std::vector<std::string> notes;
  int values = 0;
};

TEST_F(ClientInCharge, ChangesAskedByAnotherConnectionAreRefusedAndNothingReachesTheClient) {
  auto& server = other.proxy();
  const std::pair<const char*, std::function<void()>> changes[] = {
      {"RunTask(true)", [&] { server.RunTask(true); }},
      {"RunTask(false)", [&] { server.RunTask(false); }},
      {"ClientName, another", [&] { other.setClientName("Intruder"); }},
      {"ClientName, the same", [&] { other.setClientName("Diag"); }},
      {"ClientName, none", [&] { other.setClientName(""); }},
      {"Device", [&] { server.Device(ecuVisteon); }},
      {"DebugMode", [&] { server.DebugMode(true); }},
      {"BaseTimingMode", [&] { server.BaseTimingMode(true); }},
      {"Busy", [&] { server.Busy(true); }},
      {"Pullup", [&] { server.Pullup(true); }},
      {"ecuActive", [&] { server.ecuActive(3); }},
      {"ecuFlashMode", [&] { server.ecuFlashMode(flashReady); }},
      {"ecuResults", [&] { server.ecuResults("mine"); }},
      {"ecuGetCalText", [&] { server.ecuGetCalText(true); }},
      {"TellClient", [&] { other.TellClient("hello"); }},
      {"PacketNotify", [&] { server.PacketNotify(host::ToBusVariant(Variant(std::int32_t{7}))); }},
      {"AddItem", [&] { server.AddItem(1, 0x010C, 2, ecuData); }},
      {"Watch", [&] { server.Watch(1, 1); }},
      {"ClearItems", [&] { server.ClearItems(); }},
      {"ClearFaults", [&] { server.ClearFaults(); }},
      {"PortsFree", [&] { server.PortsFree(1, 2); }},
      {"MellowOut", [&] { server.MellowOut(); }},
      {"InitComm", [&] { server.InitComm(-1); }},
      {"command", [&] { server.command(1); }},
      {"GetInfo(2), which empties the trace list", [&] { other.GetInfo(2); }},
      {"FlashIdent", [&] { other.FlashIdent(); }},
      {"FlashInit", [&] { server.FlashInit(); }},
      {"FlashReadCalText", [&] { server.FlashReadCalText(); }},
      {"FlashWrite", [&] { other.FlashWrite("block"); }},
      {"FlashVerify", [&] { server.FlashVerify(255); }},
      {"FlashAbort", [&] { server.FlashAbort(); }},
  };
  for (const auto& [what, change] : changes) {
    try {
      change();
      ADD_FAILURE() << what << " was accepted";
    } catch (const sdbus::Error& e) {
      EXPECT_EQ(e.getName(), "org.quorvan.EcuQuorvanBT1.Error.Busy") << what;
      EXPECT_EQ(e.getMessage(), "the server serves client 'Diag'") << what;
    }
  }

  auto& own = client->proxy();
  EXPECT_EQ(client->ClientName(), "Diag");
  EXPECT_EQ(own.Device(), ecuMSE11);
  EXPECT_FALSE(own.DebugMode());
  EXPECT_FALSE(own.Busy());
  EXPECT_EQ(own.ecuActive(), 0);
  EXPECT_EQ(own.ecuFlashMode(), flashIdle);
  EXPECT_EQ(own.NumActive(), 0);
  // A second comm thread would announce itself within milliseconds.
  client->waitUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_TRUE(statuses.empty());
  EXPECT_TRUE(notes.empty());
  EXPECT_EQ(values, 0);
}

TEST_F(ClientInCharge, AnotherConnectionMayStillLookAndTheClientGoesOnAsBefore) {
  auto& server = other.proxy();
  EXPECT_EQ(other.ClientName(), "Diag");
  EXPECT_TRUE(server.Ready());
  EXPECT_EQ(server.State(), ecuReady);
  EXPECT_EQ(server.Device(), ecuMSE11);
  EXPECT_EQ(server.FlashStatus(), flashIdle);
  EXPECT_NE(other.GetInfo(1), "");
  server.ecuLogTime();

  auto& own = client->proxy();
  own.Device(ecuVisteon);
  own.DebugMode(true);
  own.ecuFlashMode(flashReady);
  client->setClientName("Diag 2");  // the client in charge may rename itself
  EXPECT_EQ(server.Device(), ecuVisteon);
  EXPECT_TRUE(server.DebugMode());
  EXPECT_EQ(server.FlashStatus(), flashReady);
  try {
    server.ClearFaults();
    ADD_FAILURE() << "accepted";
  } catch (const sdbus::Error& e) {
    EXPECT_EQ(e.getMessage(), "the server serves client 'Diag 2'");
  }
}

// A client that gives its name up gives up the server with it.
TEST_F(ClientInCharge, AClientThatNamesItselfNoneLeavesTheServerToOthers) {
  client->setClientName("");
  other.setClientName("Next");
  EXPECT_EQ(client->ClientName(), "Next");
  EXPECT_THROW(client->proxy().ClearFaults(), sdbus::Error);
}

}  // namespace
}  // namespace quorvan::testing
