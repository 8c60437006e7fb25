#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>

#include "e2e/HostFixture.h"

namespace quorvan::testing {
namespace {

using host::EcuClient;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

class ClientProgram : public HostFixture {
 protected:
  void SetUp() override { registerServer(); }
};

TEST_F(ClientProgram, PortsListsTheRangeAndTheServerEndsAfterTheClientLeaves) {
  const RunResult r = bus.run({kClientProgram, "ports", "--first", "3", "--last", "5"});
  ASSERT_EQ(r.code, 0) << r.err;
  const auto out = lines(r.out);
  ASSERT_EQ(out.size(), 3u) << r.out;
  EXPECT_EQ(out[0].rfind("port   3: ", 0), 0u) << out[0];
  EXPECT_EQ(out[2].rfind("port   5: ", 0), 0u) << out[2];
  // The session closed the port on leaving: the watchdog's presence check ends the server.
  EcuClient observer;
  EXPECT_TRUE(awaitServerName(observer, false));
}

// A port that does not open ends the session at once (the server reports it as soon as it
// tries), with one line that names the port and where it looked, long before the wait for
// the link would give up.
class PortThatDoesNotOpen : public ClientProgram {
 protected:
  void expectConnectFailsWith(int port, const std::string& line) {
    const auto t0 = std::chrono::steady_clock::now();
    const RunResult r = bus.run({kClientProgram, "connect", "--device", "visteon", "--port",
                                 std::to_string(port), "--timeout", "20"});
    const auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(lines(r.err), std::vector<std::string>{line}) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_LT(took, std::chrono::seconds(2));
  }
  std::string portsDir() const { return (dir.path / "ports").string(); }
};

TEST_F(PortThatDoesNotOpen, ALinkToADeviceThatDoesNotExist) {
  const auto device = dir.path / "no-such-device";
  std::filesystem::create_symlink(device, dir.path / "ports" / "com1");
  expectConnectFailsWith(1, "quorvan: the server cannot open port 1: no such device " +
                                device.string() + " (port 1: link com1 in " + portsDir() +
                                "): No such file or directory");
}

TEST_F(PortThatDoesNotOpen, APortNumberWithNeitherLinkNorAdapter) {
  if (std::filesystem::exists("/dev/ttyUSB98")) GTEST_SKIP() << "this machine has /dev/ttyUSB98";
  expectConnectFailsWith(99,
                         "quorvan: the server cannot open port 99: no such device "
                         "/dev/ttyUSB98 (port 99: no link com99 in " +
                             portsDir() + "): No such file or directory");
}

// One server serves one client: a client does not take over a server that another one
// has named itself to, but waits for it to end, and starts its own.
TEST_F(ClientProgram, AClientWaitsForTheServerOfAnotherToEnd) {
  auto other = std::make_unique<EcuClient>();
  startCommThread(*other);
  other->setClientName("Other Diag");
  const RunResult busy = bus.run({kClientProgram, "ports", "--last", "1", "--timeout", "1"});
  EXPECT_EQ(busy.code, 1);
  EXPECT_NE(busy.err.find("the server is still busy with another client ('Other Diag')"),
            std::string::npos)
      << busy.err;
  EXPECT_EQ(other->ClientName(), "Other Diag");  // left as it was

  other.reset();  // its server ends with it
  const RunResult next = bus.run({kClientProgram, "ports", "--last", "1"});
  EXPECT_EQ(next.code, 0) << next.err;
}

TEST_F(HostFixture, ClientWithoutARegisteredServerSaysHowToRegisterIt) {
  const RunResult r = bus.run({kClientProgram, "ports"});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
  EXPECT_NE(r.err.find("EcuQuorvanBT --regserver"), std::string::npos) << r.err;
}

TEST_F(HostFixture, ClientArgumentErrorsAreOneLineAndNeedNoBus) {
  const RunResult r = bus.run({kClientProgram, "connect", "--device", "vw", "--port", "1"});
  EXPECT_NE(r.code, 0);
  EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
  EXPECT_NE(r.err.find("unknown device 'vw'"), std::string::npos) << r.err;
  EXPECT_EQ(bus.log().find("Activating"), std::string::npos);  // nothing was started
  const RunResult help = bus.run({kClientProgram, "watch", "--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("N:ADDR:SIZE:KIND[:PRIORITY]"), std::string::npos);
}

}  // namespace
}  // namespace quorvan::testing
