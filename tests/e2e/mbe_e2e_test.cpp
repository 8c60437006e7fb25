// The real server against ecusim's MBE module on a pseudo-terminal.
#include <set>

#include "e2e/SimulatorFixture.h"
#include "host/cli/EcuClient.h"
#include "host/cli/EcuSession.h"

namespace quorvan::testing {
namespace {

using host::EcuClient;
using host::EcuSession;

TEST_F(SimulatorFixture, AnMbeModuleIsIdentifiedPolledAndItsFaultsReadButNotCleared) {
  startSimulator({"--device", "mbe", "--value", "0x40:2=4660", "--fault", "0485"});
  {
    EcuClient client;
    std::vector<std::int32_t> statuses;
    EcuSession session(client, sessionFor(ecuMBE), [&](std::int32_t s) { statuses.push_back(s); });
    session.start();
    session.open();
    EXPECT_EQ(statuses, (std::vector<std::int32_t>{ecuReady, ecuInitializing, ecuCommOK}));
    EXPECT_EQ(client.idHardware(), "9A4 V3.12");
    EXPECT_EQ(client.idSoftware(), "MBE Controller");
    EXPECT_EQ(client.idCustomer(), "Victory");
    std::set<std::int32_t> speeds;
    std::set<std::int32_t> coolant;
    client.events().newData = [&](std::int16_t item, std::int32_t, const Variant& value) {
      if (const auto* n = std::get_if<std::int32_t>(&value.value)) {
        (item == 1 ? speeds : coolant).insert(*n);
      }
    };
    auto& server = client.proxy();
    server.AddItem(1, 0x40, 2, ecuData);  // engine speed, fixed: two bytes low first
    server.AddItem(2, 0x43, 1, ecuData);  // coolant temperature, drifting
    server.Watch(1, 1);
    server.Watch(2, 1);
    ASSERT_TRUE(eventually(client, [&] { return !speeds.empty() && !coolant.empty(); }));
    EXPECT_EQ(speeds, std::set<std::int32_t>{4660});
  }
  const RunResult faults = quorvan("faults", "mbe");
  EXPECT_EQ(faults.code, 0) << faults.err;
  EXPECT_EQ(faults.out, "C03/H01/H03/H08/\n");
  // The module's faults cannot be cleared over its link: the server says so, and the
  // command fails without touching them.
  const RunResult clear = quorvan("clear-faults", "mbe");
  EXPECT_EQ(clear.code, 5);  // refused
  EXPECT_NE(clear.err.find("an MBE module's cannot be cleared over its link"), std::string::npos)
      << clear.err;
  EXPECT_EQ(quorvan("faults", "mbe").out, "C03/H01/H03/H08/\n");
  EXPECT_NE(ReadFile(dir.path / "ecusim.out").find("00 D3 -> 04 "), std::string::npos);
}

}  // namespace
}  // namespace quorvan::testing
