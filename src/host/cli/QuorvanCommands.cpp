// The commands of `quorvan`: each runs one client session against the server.
#include <fmt/format.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <map>

#include "client/Enums.h"
#include "host/cli/ClientCommands.h"
#include "host/cli/ClientOutput.h"
#include "host/cli/EcuClient.h"
#include "host/cli/EcuSession.h"
#include "host/cli/QuorvanCli.h"
#include "host/cli/QuorvanDemo.h"
#include "host/common/BusNames.h"
#include "host/common/CommandLine.h"

namespace quorvan::host {

namespace {

using std::chrono::milliseconds;

constexpr int kInterruptedExit = 130;
constexpr milliseconds kFlashPoll{100};

class Interrupted : public std::runtime_error {
 public:
  Interrupted() : std::runtime_error("interrupted") {}
};

void printStatus(std::int32_t status) {
  fmt::print(stderr, "status: {}\n", StatusName(status));
}

// Waits for something the server answers by an event.
template <typename Done>
void awaitEvent(EcuClient& client, const CliOptions& o, const char* what, Done done) {
  if (client.waitUntil(done, SecondsToMs(o.timeoutSeconds))) return;
  if (Interruption::raised()) throw Interrupted();
  throw SessionError(fmt::format("no {} within {} s", what, o.timeoutSeconds));
}

int runPorts(EcuClient& client, const CliOptions& o) {
  SessionOptions s = SessionOptionsFor(o);
  s.device.reset();  // a port scan needs no controller family
  EcuSession session(client, s);
  session.start();
  const std::vector<bool> free = client.proxy().PortsFree(o.firstPort, o.lastPort);
  for (std::size_t i = 0; i < free.size(); ++i) {
    fmt::print("port {:>3}: {}\n", o.firstPort + static_cast<int>(i),
               free[i] ? "free" : "not usable");
  }
  return 0;
}

// MSE 1.1 answers nothing until asked: its identification is read from its EEPROM.
std::int32_t readMse11Ident(EcuClient& client, const CliOptions& o);

int runConnect(EcuClient& client, EcuSession& session, const CliOptions& o) {
  fmt::print("connected: {} on port {}, status {}\n", DeviceName(*session.options().device),
             session.options().port, StatusName(session.lastStatus()));
  const bool identified = o.device != ecuMSE11 || readMse11Ident(client, o) == flashReady;
  PrintIdentification(client);
  if (!identified) throw SessionError("the controller did not identify itself");
  return 0;
}

int runWatch(EcuClient& client, const CliOptions& o) {
  std::vector<WatchRow> rows;
  std::map<std::int16_t, std::size_t> rowOf;
  for (const WatchRequest& request : o.items) {
    rowOf[request.item] = rows.size();
    rows.push_back(WatchRow{request});
  }
  auto update = [&](std::int16_t item, std::string value) {
    auto it = rowOf.find(item);
    if (it == rowOf.end()) return;
    WatchRow& row = rows[it->second];
    row.value = std::move(value);
    ++row.updates;
  };
  ScopedEvents scoped(client);
  EcuEvents& ev = *scoped;
  ev.newData = [&](std::int16_t item, std::int32_t, const Variant& v) {
    update(item, FormatValue(v));
  };
  ev.newFlags = [&](std::int16_t item, std::int32_t, std::int32_t flags) {
    update(item, fmt::format("0x{:08X}", static_cast<std::uint32_t>(flags)));
  };
  ev.newFaults = [&](std::int16_t item, std::int32_t, const std::string& faults) {
    update(item, Printable(faults));
  };

  auto& server = client.proxy();
  server.ClearItems();
  for (const WatchRequest& request : o.items) {
    server.AddItem(request.item, request.addr, request.size, request.kind);
    server.Watch(request.item, request.priority);
  }

  ShowLive(client, o.seconds, [&] { return WatchTableLines(rows); });
  return 0;
}

int runFaults(EcuClient& client, const CliOptions& o) {
  std::optional<std::string> faults;
  ScopedEvents events(client);
  (*events).newFaults = [&](std::int16_t, std::int32_t, const std::string& text) { faults = text; };
  const std::int32_t addr = o.faultAddress.value_or(FaultListAddress(o.device));
  auto& server = client.proxy();
  server.ClearItems();
  server.AddItem(1, addr, 1, ecuFaults);
  server.Watch(1, 1);
  awaitEvent(client, o, "fault list", [&] { return faults.has_value(); });
  server.Watch(1, 0);
  fmt::print("{}\n", faults->empty() ? "no fault codes" : Printable(*faults));
  return 0;
}

int runClearFaults(EcuClient& client, const CliOptions& o) {
  std::optional<bool> cleared;
  ScopedEvents events(client);
  (*events).faultsCleared = [&](bool success) { cleared = success; };
  client.proxy().ClearFaults();
  awaitEvent(client, o, "FaultsCleared", [&] { return cleared.has_value(); });
  if (!*cleared && o.device == ecuMBE) {
    throw SessionError(
        "the fault codes were not cleared: an MBE module's cannot be cleared over its link");
  }
  if (!*cleared) throw SessionError("the controller did not clear the fault codes");
  fmt::print("fault codes cleared\n");
  return 0;
}

int runCommand(EcuClient& client, const CliOptions& o) {
  std::optional<bool> completed;
  ScopedEvents events(client);
  (*events).commandComplete = [&](bool success) { completed = success; };
  client.proxy().command(o.commandOp);
  awaitEvent(client, o, "CommandComplete", [&] { return completed.has_value(); });
  fmt::print("command {}: {}\n", o.commandOp, *completed ? "done" : "failed");
  if (const std::string results = client.ecuResults(); !results.empty()) {
    fmt::print("results: {}\n", Printable(results));
  }
  return *completed ? 0 : 1;
}

// Waits until the flash engine has finished the step it was given. The looks at its state
// are part of the wait: a server that stops answering them ends it at the same deadline.
std::int32_t awaitFlashStep(EcuClient& client, const CliOptions& o, const char* step) {
  const auto deadline = std::chrono::steady_clock::now() + SecondsToMs(o.timeoutSeconds);
  const auto flashStatus = [&] {
    return client.answeredBy(deadline, [&] { return client.proxy().FlashStatus(); });
  };
  std::int32_t mode = flashStatus();
  while (mode == flashBusy) {
    if (Interruption::raised()) throw Interrupted();
    if (std::chrono::steady_clock::now() >= deadline) {
      throw SessionError(fmt::format("{} did not finish within {} s", step, o.timeoutSeconds));
    }
    client.waitUntil([] { return false; }, kFlashPoll);
    mode = flashStatus();
  }
  return mode;
}

void requireFlashReady(std::int32_t mode, const char* step) {
  if (mode != flashReady) {
    throw SessionError(fmt::format("{} ended with {}", step, FlashModeName(mode)));
  }
}

std::string readImage(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw SessionError(fmt::format("cannot read {}", file.string()));
  std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (image.empty()) throw SessionError(fmt::format("{} is empty", file.string()));
  return image;
}

void flashImage(EcuClient& client, const CliOptions& o, const std::string& image) {
  auto& server = client.proxy();
  const std::int16_t blockSize = server.FlashInit();
  fmt::print("FlashInit: block size {}\n", blockSize);
  if (blockSize <= 0) {
    throw SessionError(fmt::format("{} takes no image through FlashInit (block size {})",
                                   DeviceName(o.device), blockSize));
  }
  std::int32_t mode = awaitFlashStep(client, o, "FlashInit");
  fmt::print("FlashInit: {}\n", FlashModeName(mode));
  requireFlashReady(mode, "FlashInit");

  const auto blocks = SplitBlocks(image, static_cast<std::size_t>(blockSize));
  const bool live = ::isatty(STDOUT_FILENO) != 0;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    client.FlashWrite(blocks[i]);
    mode = awaitFlashStep(client, o, "FlashWrite");
    const std::string bar = ProgressBar(i + 1, blocks.size());
    if (live) {
      fmt::print("\r{} {}\x1b[K", bar, FlashModeName(mode));
      std::fflush(stdout);
    } else {
      fmt::print("{} {}\n", bar, FlashModeName(mode));
    }
    requireFlashReady(mode, "FlashWrite");
  }
  if (live) fmt::print("\n");

  const std::int32_t checksum = FlashVerifyValue(o.device, image);
  server.FlashVerify(checksum);
  mode = awaitFlashStep(client, o, "FlashVerify");
  fmt::print("FlashVerify 0x{:04X}: {}\n", static_cast<std::uint32_t>(checksum),
             FlashModeName(mode));
  requireFlashReady(mode, "FlashVerify");
}

void abortFlash(EcuClient& client) {
  try {
    client.proxy().FlashAbort();
    fmt::print(stderr, "flash session aborted\n");
  } catch (const std::exception&) {
  }
}

int runFlash(EcuClient& client, const CliOptions& o, const std::string& image) {
  try {
    flashImage(client, o, image);
  } catch (const sdbus::Error& e) {
    if (!IsUnanswered(e)) abortFlash(client);  // a server that does not answer is left alone
    throw;
  } catch (...) {
    abortFlash(client);
    throw;
  }
  return 0;
}

int runInfo(EcuClient& client, const CliOptions& o) {
  fmt::print("{}\n", Printable(client.GetInfo(o.infoIndex)));
  return 0;
}

std::int32_t readMse11Ident(EcuClient& client, const CliOptions& o) {
  client.FlashIdent();
  const std::int32_t mode = awaitFlashStep(client, o, "FlashIdent");
  fmt::print(stderr, "FlashIdent: {}\n", FlashModeName(mode));
  return mode;
}

int runIdent(EcuClient& client, const CliOptions& o) {
  if (o.device == ecuMSE11) readMse11Ident(client, o);
  PrintIdentification(client);
  if (const std::string results = client.ecuResults(); !results.empty()) {
    fmt::print("results: {}\n", Printable(results));
  }
  return 0;
}

// The image of a flash command, read and checked against what the family takes before
// anything connects: a missing file or an image the controller cannot take must not cost
// a session, let alone an erase.
std::string imageToFlash(const CliOptions& o) {
  if (o.command != CliCommand::Flash) return {};
  std::string image = readImage(o.flashFile);
  if (const std::string problem = ImageProblem(o.device, image, o.regionBlocks); !problem.empty()) {
    throw SessionError(fmt::format("{}: {}", o.flashFile.string(), problem));
  }
  return image;
}

int runConnected(EcuClient& client, const CliOptions& o, const std::string& image) {
  // ecuReady only says that the server's comm thread started; the link's statuses come
  // from opening the port on.
  bool linkStatuses = false;
  EcuSession session(client, SessionOptionsFor(o), [&](std::int32_t status) {
    if (linkStatuses) printStatus(status);
  });
  session.start();
  linkStatuses = true;
  session.open();
  switch (o.command) {
    case CliCommand::Connect:
      return runConnect(client, session, o);
    case CliCommand::Watch:
      return runWatch(client, o);
    case CliCommand::Faults:
      return runFaults(client, o);
    case CliCommand::ClearFaults:
      return runClearFaults(client, o);
    case CliCommand::Command:
      return runCommand(client, o);
    case CliCommand::Flash:
      return runFlash(client, o, image);
    case CliCommand::Info:
      return runInfo(client, o);
    case CliCommand::Ident:
      return runIdent(client, o);
    default:
      return 0;
  }
}

int run(const CliOptions& o) {
  if (o.command == CliCommand::Demo) return RunDemo(o);
  const std::string image = imageToFlash(o);
  EcuClient client(SecondsToMs(o.timeoutSeconds));
  if (o.command == CliCommand::Ports) return runPorts(client, o);
  return runConnected(client, o, image);
}

std::string busErrorText(const sdbus::Error& e, const CliOptions& o) {
  if (IsUnanswered(e))
    return fmt::format("the server did not answer within {} s", o.timeoutSeconds);
  std::string text = fmt::format("{} [{}]", e.getMessage(), e.getName());
  if (e.getName() == "org.freedesktop.DBus.Error.ServiceUnknown") {
    text += fmt::format(" (is the server registered? run: EcuQuorvanBT --regserver)");
  }
  return text;
}

}  // namespace

int QuorvanMain(int argc, char** argv) {
  QuorvanCli cli;
  if (const auto code = ParseCommandLine(cli.app(), [&] { cli.parse(argc, argv); })) {
    return *code;
  }
  Interruption::catchSignals();
  try {
    return run(cli.options());
  } catch (const Interrupted&) {
    fmt::print(stderr, "quorvan: interrupted\n");
    return kInterruptedExit;
  } catch (const sdbus::Error& e) {
    fmt::print(stderr, "quorvan: {}\n", busErrorText(e, cli.options()));
  } catch (const std::exception& e) {
    fmt::print(stderr, "quorvan: {}\n", e.what());
  }
  return Interruption::raised() ? kInterruptedExit : 1;
}

}  // namespace quorvan::host
