#pragma once
// End-to-end tests of the host: the real server and client programs on a private bus.
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <string>

#include "e2e/PrivateBus.h"
#include "host/cli/EcuClient.h"
#include "host/common/BusNames.h"
#include "support/ServerFixture.h"

namespace quorvan::testing {

inline constexpr const char* kServerProgram = QUORVAN_SERVER_EXE;
inline constexpr const char* kClientProgram = QUORVAN_CLIENT_EXE;
// Generous: only a stuck test waits this long.
inline constexpr std::chrono::seconds kPatience{20};
// What a program that gives up at a deadline may take beyond it, on a loaded machine.
inline constexpr std::chrono::seconds kMargin{5};

// Waits until a program has written `text` to `file`; false when it has not within
// kPatience, or has ended without.
inline bool awaitOutput(Child& program, const std::filesystem::path& file,
                        const std::string& text) {
  const auto end = std::chrono::steady_clock::now() + kPatience;
  while (ReadFile(file).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= end ||
        program.waitExit(std::chrono::milliseconds(50))) {
      return false;
    }
  }
  return true;
}

// Removes the test's directory after everything in it has stopped.
struct TestDirectory {
  std::filesystem::path path = FreshTempDir();
  ~TestDirectory() { std::filesystem::remove_all(path); }
};

class HostFixture : public ::testing::Test {
 protected:
  HostFixture() : bus(dir.path) {}

  void TearDown() override {
    if (HasFailure()) std::cerr << "---- bus log ----\n" << bus.log() << "-----------------\n";
  }

  // Writes the activation file the way an installation does.
  void registerServer() {
    const RunResult r = bus.run({kServerProgram, "--regserver"});
    ASSERT_EQ(r.code, 0) << r.err;
  }

  // RunTask(true), then CommStatus(ecuReady).
  static void startCommThread(host::EcuClient& client) {
    bool ready = false;
    auto previous = client.events().commStatus;
    client.events().commStatus = [&](std::int32_t s) { ready = ready || s == 0; };
    client.proxy().RunTask(true);
    ASSERT_TRUE(client.waitUntil([&] { return ready; }, kPatience));
    client.events().commStatus = previous;
  }

  // Looks again and again (handing on signals meanwhile) until pred() holds.
  template <typename Pred>
  static bool eventually(host::EcuClient& client, Pred pred) {
    const auto end = std::chrono::steady_clock::now() + kPatience;
    while (!pred()) {
      if (std::chrono::steady_clock::now() >= end) return false;
      client.waitUntil([] { return false; }, std::chrono::milliseconds(50));
    }
    return true;
  }

  // Waits until the server's name is taken (owned = true) or free (false).
  static bool awaitServerName(host::EcuClient& client, bool owned) {
    return eventually(
        client, [&] { return host::NameHasOwner(client.connection(), host::kBusName) == owned; });
  }

  TestDirectory dir;
  PrivateBus bus;
};

}  // namespace quorvan::testing
