#pragma once
// A whole server on the virtual clock: platform services, the client class and its comm
// form. The test fixtures and the swarm runner are built on it.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "app/Families.h"
#include "client/clsBoschECU.h"
#include "runtime/frmCommThread.h"

namespace quorvan::testing {

// A machine without serial ports.
class NoPortsBackend final : public SerialBackend {
 public:
  std::unique_ptr<SerialDevice> open(int) override {
    throw SerialError(comm::comPortInvalid, "Invalid port number");
  }
  bool isModemPort(int) override { return false; }
};

// Hands the server's port requests to whatever machine the test sets up.
class ForwardingBackend final : public SerialBackend {
 public:
  explicit ForwardingBackend(SerialBackend& target) : target(&target) {}
  std::unique_ptr<SerialDevice> open(int n) override { return target->open(n); }
  bool isModemPort(int n) override { return target->isModemPort(n); }
  SerialBackend* target;
};

inline std::filesystem::path FreshTempDir() {
  static int counter = 0;
  auto dir = std::filesystem::temp_directory_path() /
             ("quorvan-test-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

class ServerWorld {
 public:
  ServerWorld()
      : driveRoot(FreshTempDir()),
        driveC(driveRoot),
        platform{clock, loop, serial, windows, alerts, driveC, process},
        ecu(platform, globals) {
    globals.makeFamilies = MakeFamilyTable;
  }
  ~ServerWorld() { std::filesystem::remove_all(driveRoot); }
  ServerWorld(const ServerWorld&) = delete;
  ServerWorld& operator=(const ServerWorld&) = delete;

  // RunTask(false): the comm form is loaded and CommStatus(ecuReady) raised.
  frmCommThread& start() {
    ecu.RunTask(false);
    return *globals.frmHidden;
  }
  frmCommThread& form() { return *globals.frmHidden; }
  std::uint32_t ms() { return clock.timeGetTime(); }
  void runFor(std::uint32_t msToRun) { loop.runFor(msToRun); }

  // The longest one dispatch may hold the loop: the longest bounded wait of any family
  // (an erase polled for a minute) with room to spare.
  static constexpr std::uint64_t kLongestHoldUs = 300'000'000;
  // Thrown out of the loop when a dispatch holds it longer: a handler that never returns.
  struct LoopHeld {};
  // runFor, but a handler that keeps the loop past the slice by more than kLongestHoldUs
  // of virtual time is cut off by LoopHeld instead of running on for ever.
  void runBoundedFor(std::uint32_t msToRun) {
    const auto guard = clock.schedule(clock.nowUs() + msToRun * 1000ULL + kLongestHoldUs,
                                      [] { throw LoopHeld{}; });
    try {
      loop.runFor(msToRun);
    } catch (...) {
      clock.cancel(guard);
      throw;
    }
    clock.cancel(guard);
  }

  // Points drive C below a regular file, so that nothing can be written there.
  void makeDriveCUnwritable() {
    const auto blocker = driveRoot / "not-a-directory";
    std::ofstream(blocker) << "a file where drive C's parent should be";
    driveC = DriveC(blocker / "c");
  }

  // Names the client and gives it a window, so presence checks find it.
  void nameClient(const std::string& caption) {
    windows.add(kClientWindowClass, caption);
    ecu.setClientName(caption);
  }

  VirtualClock clock;
  MessageLoop loop{clock};
  NoPortsBackend noPorts;
  ForwardingBackend serial{noPorts};
  InMemoryWindowDirectory windows;
  CapturingAlerts alerts;
  std::filesystem::path driveRoot;  // removed with everything below it
  DriveC driveC;
  RecordingProcessControl process;
  Platform platform;
  modGlobals globals;
  clsBoschECU ecu;
};

}  // namespace quorvan::testing
