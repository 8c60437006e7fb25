#include "host/server/ServerMain.h"

#include <fmt/format.h>
#include <sdbus-c++/sdbus-c++.h>
#include <CLI/CLI.hpp>

#include <filesystem>

#include "app/Families.h"
#include "client/clsBoschECU.h"
#include "host/common/BusNames.h"
#include "host/common/CommandLine.h"
#include "host/server/BusDriver.h"
#include "host/server/ConnectionWindows.h"
#include "host/server/EcuBusObject.h"
#include "host/server/ServiceFile.h"
#include "host/server/TraceBackPublisher.h"
#include "platform/PosixSerial.h"
#include "platform/StallGuard.h"

namespace quorvan::host {

namespace {

constexpr const char* kProgram = "EcuQuorvanBT";

int serveOn(sdbus::IConnection& connection, Platform& platform, ConnectionWindows& windows,
            StallGuard& guard) {
  modGlobals globals;
  globals.makeFamilies = MakeFamilyTable;
  clsBoschECU ecu(platform, globals);
  TraceBackPublisher traceBack(guard, platform.loop, globals, platform.driveC);
  EcuBusObject object(connection, ecu, platform.loop, windows);
  BusDriver driver(
      connection, platform.loop,
      BusDriver::Hooks{[&] { return object.callWaiting(); }, [&] { object.announceChanges(); },
                       [&] { object.afterDispatch(); }});
  try {
    connection.requestName(kBusName);
  } catch (const sdbus::Error& e) {
    fmt::print(stderr, "{}: cannot take the bus name {} (is another server running?): {}\n",
               kProgram, kBusName, e.getMessage());
    return 1;
  }
  try {
    platform.loop.run();
  } catch (const ProcessEnd& end) {
    return end.exitCode;
  }
  return 0;
}

int registerServer() {
  const auto directory = ServiceDirectoryFromEnvironment();
  const auto file = WriteServiceFile(directory, std::filesystem::read_symlink("/proc/self/exe"));
  fmt::print("Registered {} in {}\n", kBusName, file.string());
  return 0;
}

int unregisterServer() {
  const auto directory = ServiceDirectoryFromEnvironment();
  if (RemoveServiceFile(directory)) {
    fmt::print("Removed {} from {}\n", kServiceFileName, directory.string());
  } else {
    fmt::print("{} was not registered in {}\n", kBusName, directory.string());
  }
  return 0;
}

}  // namespace

int Serve(std::chrono::milliseconds stallLimit) {
  RealClock clock;
  MessageLoop loop(clock);
  StallGuard guard(loop, stallLimit, kProgram);
  PosixSerialBackend serial(loop);
  StderrAlerts alerts;
  DriveC driveC = DriveC::fromEnvironment();
  PosixProcessControl process;
  ConnectionWindows windows;
  Platform platform{clock, loop, serial, windows, alerts, driveC, process};
  std::unique_ptr<sdbus::IConnection> connection;
  try {
    connection = sdbus::createSessionBusConnection();
  } catch (const sdbus::Error& e) {
    fmt::print(stderr, "{}: cannot reach the session bus: {}\n", kProgram, e.getMessage());
    return 1;
  }
  const int code = serveOn(*connection, platform, windows, guard);
  connection.reset();  // sends what is still queued (replies, last signals) and closes
  return code;
}

int ServerMain(int argc, char** argv) {
  CLI::App app(fmt::format(
      "{}: the ECU communications server. The session bus starts it when a client first "
      "calls {}; it serves that one client and ends once the client has gone. Without "
      "--regserver or --unregserver it serves.",
      kProgram, kBusName));
  app.name(kProgram);
  bool registering = false;
  bool unregistering = false;
  auto* reg = app.add_flag(
      "--regserver", registering,
      fmt::format("Register this program for D-Bus activation: write {} (Name={}, Exec=this "
                  "program's absolute path) into $XDG_DATA_HOME/dbus-1/services, by default "
                  "~/.local/share/dbus-1/services",
                  kServiceFileName, kBusName));
  auto* unreg = app.add_flag("--unregserver", unregistering,
                             fmt::format("Remove {} from that directory", kServiceFileName))
                    ->excludes(reg);
  double stallSeconds = std::chrono::duration<double>(StallGuard::kDefaultLimit).count();
  app.add_option("--stall-limit", stallSeconds,
                 fmt::format("While serving: when the message loop has not turned for this "
                             "many seconds (a handler is stuck), write the trace-back (when "
                             "tracing is on), say so on standard error and end with exit code "
                             "{}",
                             StallGuard::kStalledExitCode))
      ->check(CLI::PositiveNumber)
      ->excludes(reg)
      ->excludes(unreg)
      ->capture_default_str();
  if (const auto code = ParseCommandLine(app, [&] { app.parse(argc, argv); })) return *code;
  try {
    if (registering) return registerServer();
    if (unregistering) return unregisterServer();
    return Serve(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::duration<double>(stallSeconds)));
  } catch (const std::exception& e) {
    fmt::print(stderr, "{}: {}\n", kProgram, e.what());
    return 1;
  }
}

}  // namespace quorvan::host
