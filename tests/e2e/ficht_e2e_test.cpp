// The real server against a simulated Ficht module behind ecusim's pseudo-terminal: the
// client is identified, gets the module's values, and reads and clears its fault codes
// from the command line.
#include <map>
#include <set>

#include "e2e/SimulatorFixture.h"

namespace quorvan::testing {
namespace {

using host::EcuClient;
using host::EcuSession;

class FichtModule : public SimulatorFixture {};

TEST_F(FichtModule, AClientGetsTheModulesValuesAndTheCommandLineReadsAndClearsItsFaults) {
  startSimulator({"--device", "ficht", "--value", "0x50:2=1500", "--fault", "11", "--fault", "2A"});
  {
    EcuClient client;
    std::vector<std::int32_t> statuses;
    EcuSession session(client, sessionFor(ecuFicht),
                       [&](std::int32_t s) { statuses.push_back(s); });
    session.start();
    session.open();
    EXPECT_EQ(statuses, (std::vector<std::int32_t>{ecuReady, ecuInitializing, ecuCommOK}));
    EXPECT_EQ(client.idHardware(), "310-C");
    EXPECT_EQ(client.idSoftware(), "M2271A04");
    EXPECT_EQ(client.idCustomer(), "FICHT 150 V6 RS");
    std::map<std::int16_t, std::set<std::int32_t>> seen;
    client.events().newData = [&](std::int16_t item, std::int32_t, const Variant& value) {
      if (const auto* n = std::get_if<std::int32_t>(&value.value)) seen[item].insert(*n);
    };
    auto& server = client.proxy();
    server.AddItem(1, 0x50, 2, ecuData);  // fixed
    server.AddItem(2, 0x40, 2, ecuData);  // engine speed, drifting
    server.Watch(1, 1);
    server.Watch(2, 1);
    ASSERT_TRUE(eventually(client, [&] { return seen[2].size() >= 2 && !seen[1].empty(); }));
    EXPECT_EQ(seen[1], std::set<std::int32_t>{1500});
  }
  const struct {
    const char* command;
    const char* out;
  } steps[] = {
      {"faults", "H009 @1234 #3/H023 @88 #1/C017/C042/\n"},
      {"clear-faults", "fault codes cleared\n"},
      {"faults", "H009 @1234 #3/H023 @88 #1/\n"},  // the history stays
  };
  for (const auto& step : steps) {
    SCOPED_TRACE(step.command);
    const RunResult r = quorvan(step.command, "ficht");
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, step.out);
  }
  EXPECT_NE(ReadFile(dir.path / "ecusim.out").find("01 82 00 66 02 01 EC -> 01 02 03 "),
            std::string::npos);
}

}  // namespace
}  // namespace quorvan::testing
