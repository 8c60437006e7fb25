#pragma once
// End-to-end with a controller: ecusim on a pseudo-terminal, published in the test's ports
// directory, and the server activated on the test's private bus.
#include <gtest/gtest.h>

#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "client/Enums.h"
#include "e2e/HostFixture.h"
#include "host/cli/EcuSession.h"
#include "host/common/PublishedPort.h"

namespace quorvan::testing {

inline constexpr const char* kSimulatorProgram = QUORVAN_SIMULATOR_EXE;

class SimulatorFixture : public HostFixture {
 protected:
  void SetUp() override { registerServer(); }

  void TearDown() override {
    HostFixture::TearDown();
    if (!HasFailure()) return;
    std::cerr << "---- ecusim ----\n"
              << ReadFile(dir.path / "ecusim.out") << ReadFile(dir.path / "ecusim.err")
              << "----------------\n";
  }

  // Starts ecusim with these options (and --verbose) and waits for its port line.
  void startSimulator(const std::vector<std::string>& options) {
    std::vector<std::string> argv{kSimulatorProgram, "--verbose"};
    argv.insert(argv.end(), options.begin(), options.end());
    simulator.emplace(argv, bus.env(), dir.path / "ecusim.out", dir.path / "ecusim.err");
    std::optional<std::pair<int, std::filesystem::path>> published;
    const auto end = std::chrono::steady_clock::now() + kPatience;
    while (!published && std::chrono::steady_clock::now() < end &&
           !simulator->waitExit(std::chrono::milliseconds(20))) {
      const std::string out = ReadFile(dir.path / "ecusim.out");
      if (const auto eol = out.find('\n'); eol != std::string::npos) {
        published = host::ParsePublishedPortLine(out.substr(0, eol));
      }
    }
    ASSERT_TRUE(published) << ReadFile(dir.path / "ecusim.err");
    port = published->first;
    link = published->second;
  }

  // Options for a session with the simulator's controller.
  host::SessionOptions sessionFor(std::int32_t device) const {
    host::SessionOptions s;
    s.device = device;
    s.port = static_cast<std::int16_t>(port);
    s.timeout = kPatience;
    return s;
  }

  // Runs `quorvan COMMAND --device DEVICE --port <the simulator's> EXTRA...`.
  RunResult quorvan(const std::string& command, const std::string& device,
                    const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv{kClientProgram, command,  "--device",
                                  device,         "--port", std::to_string(port)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return bus.run(argv);
  }

  std::optional<Child> simulator;
  int port = 0;
  std::filesystem::path link;
};

}  // namespace quorvan::testing
