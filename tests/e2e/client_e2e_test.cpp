#include <fmt/format.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
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
    EXPECT_EQ(r.code, 4);  // no link
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
                                "): No such file or directory (quorvan ports lists the free ones)");
}

TEST_F(PortThatDoesNotOpen, APortNumberWithNeitherLinkNorAdapter) {
  if (std::filesystem::exists("/dev/ttyUSB98")) GTEST_SKIP() << "this machine has /dev/ttyUSB98";
  expectConnectFailsWith(99,
                         "quorvan: the server cannot open port 99: no such device "
                         "/dev/ttyUSB98 (port 99: no link com99 in " +
                             portsDir() +
                             "): No such file or directory (quorvan ports lists the free ones)");
}

// One server serves one client: a client does not take over a server that another one
// has named itself to, but waits for it to end, and starts its own.
TEST_F(ClientProgram, AClientWaitsForTheServerOfAnotherToEnd) {
  auto other = std::make_unique<EcuClient>();
  startCommThread(*other);
  other->setClientName("Other Diag");
  const RunResult busy = bus.run({kClientProgram, "ports", "--last", "1", "--timeout", "1"});
  EXPECT_EQ(busy.code, 3);  // no server of its own
  EXPECT_NE(busy.err.find("the server is still busy with another client ('Other Diag')"),
            std::string::npos)
      << busy.err;
  EXPECT_EQ(other->ClientName(), "Other Diag");  // left as it was

  other.reset();  // its server ends with it
  const RunResult next = bus.run({kClientProgram, "ports", "--last", "1"});
  EXPECT_EQ(next.code, 0) << next.err;
}

// A server that does not answer (stopped outright, its name still owned) holds no
// command beyond its deadline: each gives up after --timeout with one line on stderr and
// exit code 1.
TEST_F(ClientProgram, EveryCommandGivesUpOnAServerThatDoesNotAnswer) {
  Child server({kServerProgram}, bus.env(), dir.path / "server.out", dir.path / "server.err");
  EcuClient observer;
  ASSERT_TRUE(awaitServerName(observer, true));
  ::kill(server.pid(), SIGSTOP);  // killed stopped when the test ends
  const auto image = dir.path / "image.bin";
  std::ofstream(image) << std::string(1024, '\x5A');

  const std::vector<std::string> onPort = {"--device", "visteon", "--port", "1", "--timeout", "2"};
  const auto withPort = [&](std::vector<std::string> args) {
    args.insert(args.end(), onPort.begin(), onPort.end());
    return args;
  };
  const std::vector<std::vector<std::string>> commands = {
      {"ports", "--timeout", "2"},
      withPort({"connect"}),
      withPort({"watch", "--item", "1:0x10C:2:data", "--seconds", "1"}),
      withPort({"faults"}),
      withPort({"clear-faults"}),
      withPort({"command", "1"}),
      withPort({"flash", "--region-blocks", "1", image.string()}),
      withPort({"info", "1"}),
      withPort({"ident"}),
      {"demo", "--timeout", "2"},
  };
  auto env = bus.env();
  env["TMPDIR"] = dir.path.string();  // the demo's directory
  // All at once: each has the same deadline.
  std::vector<std::unique_ptr<Child>> running;
  for (std::size_t i = 0; i < commands.size(); ++i) {
    std::vector<std::string> argv{kClientProgram};
    argv.insert(argv.end(), commands[i].begin(), commands[i].end());
    running.push_back(std::make_unique<Child>(argv, env, dir.path / fmt::format("{}.out", i),
                                              dir.path / fmt::format("{}.err", i)));
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2) + kMargin;
  for (std::size_t i = 0; i < commands.size(); ++i) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const auto code = running[i]->waitExit(std::max(left, std::chrono::milliseconds(0)));
    const std::string& command = commands[i].front();
    EXPECT_EQ(code, std::optional<int>(1)) << command;
    EXPECT_EQ(ReadFile(dir.path / fmt::format("{}.err", i)),
              "quorvan: the server did not answer within 2 s\n")
        << command;
  }
}

TEST_F(HostFixture, ClientWithoutARegisteredServerSaysHowToRegisterIt) {
  const RunResult r = bus.run({kClientProgram, "ports"});
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
  EXPECT_NE(r.err.find("EcuQuorvanBT --regserver"), std::string::npos) << r.err;
}

TEST_F(HostFixture, ClientArgumentErrorsAreOneLineAndNeedNoBus) {
  const RunResult r = bus.run({kClientProgram, "connect", "--device", "vw", "--port", "1"});
  EXPECT_EQ(r.code, 2);
  EXPECT_EQ(lines(r.err).size(), 1u) << r.err;
  EXPECT_NE(r.err.find("unknown device 'vw'"), std::string::npos) << r.err;
  EXPECT_EQ(bus.log().find("Activating"), std::string::npos);  // nothing was started
  const RunResult help = bus.run({kClientProgram, "watch", "--help"});
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("N:ADDR:SIZE:KIND[:PRIORITY]"), std::string::npos);
}

}  // namespace
}  // namespace quorvan::testing
