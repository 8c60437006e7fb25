// The commands of `quorvan`: each runs one client session against the server.
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>

#include "catalog/Catalog.h"
#include "client/Enums.h"
#include "host/cli/ClientCommands.h"
#include "host/cli/ClientOutput.h"
#include "host/cli/EcuClient.h"
#include "host/cli/EcuSession.h"
#include "host/cli/ExitCodes.h"
#include "host/cli/QuorvanCli.h"
#include "host/cli/QuorvanDemo.h"
#include "host/cli/WatchLog.h"
#include "host/common/BusNames.h"
#include "host/common/CommandLine.h"

namespace quorvan::host {

namespace {

using std::chrono::milliseconds;

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
  nlohmann::json ports = nlohmann::json::array();
  for (std::size_t i = 0; i < free.size(); ++i) {
    const int port = o.firstPort + static_cast<int>(i);
    if (o.json) {
      ports.push_back({{"port", port}, {"free", static_cast<bool>(free[i])}});
    } else {
      fmt::print("port {:>3}: {}\n", port, free[i] ? "free" : "not usable");
    }
  }
  if (o.json) PrintJson({{"ports", ports}});
  return 0;
}

int runItems(const CliOptions& o) {
  const auto items = catalog::ItemsOf(o.device);
  if (o.json) {
    nlohmann::json list = nlohmann::json::array();
    for (const catalog::CatalogItem& item : items) {
      list.push_back({{"name", item.name},
                      {"address", item.address},
                      {"size", item.size},
                      {"kind", KindName(item.kind)},
                      {"unit", item.unit},
                      {"scale", item.scale},
                      {"offset", item.offset},
                      {"description", item.description}});
    }
    PrintJson({{"device", DeviceName(o.device)}, {"items", list}});
    return 0;
  }
  if (items.empty()) {
    fmt::print("{} controllers serve no watch items (identification and reflash only)\n",
               DeviceName(o.device));
    return 0;
  }
  for (const std::string& line : ItemsTableLines(o.device)) fmt::print("{}\n", line);
  const auto example = std::find_if(items.begin(), items.end(),
                                    [](const auto& item) { return item.kind == ecuData; });
  fmt::print("\nWatch them by name: quorvan watch --device {} --port N --item {} (or --all)\n",
             DeviceName(o.device), example == items.end() ? items.front().name : example->name);
  return 0;
}

// MSE 1.1 answers nothing until asked: its identification is read from its EEPROM.
std::int32_t readMse11Ident(EcuClient& client, const CliOptions& o);

int runConnect(EcuClient& client, EcuSession& session, const CliOptions& o) {
  const std::string status = StatusName(session.lastStatus());
  if (!o.json) {
    fmt::print("connected: {} on port {}, status {}\n", DeviceName(*session.options().device),
               session.options().port, status);
  }
  const bool identified = o.device != ecuMSE11 || readMse11Ident(client, o) == flashReady;
  if (o.json) {
    nlohmann::json doc = {{"device", DeviceName(o.device)},
                          {"port", o.port},
                          {"status", status},
                          {"identified", identified}};
    doc.update(IdentificationJson(client));
    PrintJson(doc);
  } else {
    PrintIdentification(client);
  }
  if (!identified) {
    throw SessionError("the controller did not identify itself: check --device",
                       exitcode::kRefused);
  }
  return 0;
}

// The log of a watch, opened before anything connects: a file that cannot be written
// must not cost a session.
std::unique_ptr<WatchLog> openLog(const CliOptions& o) {
  if (o.command != CliCommand::Watch || !o.csvFile) return nullptr;
  try {
    return std::make_unique<WatchLog>(*o.csvFile);
  } catch (const std::runtime_error& e) {
    throw SessionError(fmt::format("{}: give --csv a file in a folder you can write to", e.what()),
                       exitcode::kBadArguments);
  }
}

int runWatch(EcuClient& client, const CliOptions& o, WatchLog* log) {
  std::vector<WatchRow> rows;
  std::map<std::int16_t, std::size_t> rowOf;
  for (const WatchRequest& request : o.items) {
    rowOf[request.item] = rows.size();
    rows.push_back(WatchRow{request, 0, "-", {}});
  }
  auto update = [&](std::int16_t item, std::int32_t timeStamp, const auto& reading) {
    auto it = rowOf.find(item);
    if (it == rowOf.end()) return;
    WatchRow& row = rows[it->second];
    const Reading r = reading(row.request);
    Record(row, r);
    if (log) log->write(static_cast<std::uint32_t>(timeStamp), row.request, r);
  };
  ScopedEvents scoped(client);
  EcuEvents& ev = *scoped;
  ev.newData = [&](std::int16_t item, std::int32_t timeStamp, const Variant& v) {
    update(item, timeStamp, [&](const WatchRequest& r) { return DataReading(r, v); });
  };
  ev.newFlags = [&](std::int16_t item, std::int32_t timeStamp, std::int32_t flags) {
    update(item, timeStamp, [&](const WatchRequest&) { return FlagsReading(flags); });
  };
  ev.newFaults = [&](std::int16_t item, std::int32_t timeStamp, const std::string& faults) {
    update(item, timeStamp, [&](const WatchRequest&) { return FaultsReading(faults); });
  };

  auto& server = client.proxy();
  server.ClearItems();
  for (const WatchRequest& request : o.items) {
    server.AddItem(request.item, request.addr, request.size, request.kind);
    server.Watch(request.item, request.priority);
  }

  ShowLive(client, o.seconds, [&] {
    if (log && !log->failure().empty()) throw SessionError(log->failure());
    return WatchTableLines(rows);
  });
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
  if (o.json) {
    nlohmann::json codes = nlohmann::json::array();
    for (const std::string& code : FaultCodes(*faults)) codes.push_back(code);
    PrintJson({{"device", DeviceName(o.device)}, {"faults", codes}, {"text", Printable(*faults)}});
  } else {
    fmt::print("{}\n", faults->empty() ? "no fault codes" : Printable(*faults));
  }
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
        "the fault codes were not cleared: an MBE module's cannot be cleared over its link",
        exitcode::kRefused);
  }
  if (!*cleared) {
    throw SessionError(
        "the controller did not clear the fault codes: with the engine stopped and the "
        "ignition on, try again",
        exitcode::kRefused);
  }
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
  if (!*completed) fmt::print(stderr, "quorvan: the controller failed command {}\n", o.commandOp);
  return *completed ? exitcode::kSuccess : exitcode::kRefused;
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
    throw SessionError(fmt::format("{} ended with {}: the controller keeps its image only once a "
                                   "flash has ended with flashReady; run the flash again",
                                   step, FlashModeName(mode)),
                       exitcode::kRefused);
  }
}

// What a flash shows of each step: a line of text, or with --json an object per line.
void reportFlashStep(const CliOptions& o, const nlohmann::json& step, const std::string& text) {
  if (o.json) {
    PrintJson(step);
  } else {
    fmt::print("{}\n", text);
  }
}

std::string readImage(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    throw SessionError(fmt::format("cannot read {}: check its permissions", file.string()),
                       exitcode::kBadArguments);
  }
  std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (image.empty()) {
    throw SessionError(fmt::format("{} is empty: give the image file", file.string()),
                       exitcode::kBadArguments);
  }
  return image;
}

void flashImage(EcuClient& client, const CliOptions& o, const std::string& image) {
  auto& server = client.proxy();
  const std::int16_t blockSize = server.FlashInit();
  reportFlashStep(o, {{"step", "FlashInit"}, {"blockSize", blockSize}},
                  fmt::format("FlashInit: block size {}", blockSize));
  if (blockSize <= 0) {
    throw SessionError(fmt::format("{} takes no image through FlashInit (block size {})",
                                   DeviceName(o.device), blockSize),
                       exitcode::kRefused);
  }
  std::int32_t mode = awaitFlashStep(client, o, "FlashInit");
  reportFlashStep(o, {{"step", "FlashInit"}, {"status", FlashModeName(mode)}},
                  fmt::format("FlashInit: {}", FlashModeName(mode)));
  requireFlashReady(mode, "FlashInit");

  const auto blocks = SplitBlocks(image, static_cast<std::size_t>(blockSize));
  const bool live = !o.json && ::isatty(STDOUT_FILENO) != 0;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    client.FlashWrite(blocks[i]);
    mode = awaitFlashStep(client, o, "FlashWrite");
    const std::string bar = ProgressBar(i + 1, blocks.size());
    if (live) {
      fmt::print("\r{} {}\x1b[K", bar, FlashModeName(mode));
      std::fflush(stdout);
    } else {
      reportFlashStep(o,
                      {{"step", "FlashWrite"},
                       {"block", i + 1},
                       {"blocks", blocks.size()},
                       {"status", FlashModeName(mode)}},
                      fmt::format("{} {}", bar, FlashModeName(mode)));
    }
    requireFlashReady(mode, "FlashWrite");
  }
  if (live) fmt::print("\n");

  const std::int32_t checksum = FlashVerifyValue(o.device, image);
  server.FlashVerify(checksum);
  mode = awaitFlashStep(client, o, "FlashVerify");
  reportFlashStep(o,
                  {{"step", "FlashVerify"},
                   {"checksum", static_cast<std::uint32_t>(checksum)},
                   {"status", FlashModeName(mode)}},
                  fmt::format("FlashVerify 0x{:04X}: {}", static_cast<std::uint32_t>(checksum),
                              FlashModeName(mode)));
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
  const std::string text = Printable(client.GetInfo(o.infoIndex));
  if (o.json) {
    PrintJson({{"index", o.infoIndex}, {"text", text}});
  } else {
    fmt::print("{}\n", text);
  }
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
  const std::string results = client.ecuResults();
  if (o.json) {
    nlohmann::json doc = {{"device", DeviceName(o.device)}};
    doc.update(IdentificationJson(client));
    doc["results"] = Printable(results);
    PrintJson(doc);
    return 0;
  }
  PrintIdentification(client);
  if (!results.empty()) fmt::print("results: {}\n", Printable(results));
  return 0;
}

// The image of a flash command, read and checked against what the family takes before
// anything connects: a missing file or an image the controller cannot take must not cost
// a session, let alone an erase.
std::string imageToFlash(const CliOptions& o) {
  if (o.command != CliCommand::Flash) return {};
  std::string image = readImage(o.flashFile);
  if (const std::string problem = ImageProblem(o.device, image, o.regionBlocks); !problem.empty()) {
    throw SessionError(fmt::format("{}: {}", o.flashFile.string(), problem),
                       exitcode::kBadArguments);
  }
  return image;
}

int runConnected(EcuClient& client, const CliOptions& o, const std::string& image, WatchLog* log) {
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
      return runWatch(client, o, log);
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

// The client on the session bus; without a bus there is no server to reach.
std::unique_ptr<EcuClient> connectToBus(const CliOptions& o) {
  try {
    return std::make_unique<EcuClient>(SecondsToMs(o.timeoutSeconds));
  } catch (const sdbus::Error& e) {
    throw SessionError(fmt::format("no session bus to reach the server on ({}): run quorvan in "
                                   "a desktop session, or under dbus-run-session",
                                   e.getMessage()),
                       exitcode::kNoServer);
  }
}

int run(const CliOptions& o) {
  if (o.command == CliCommand::Demo) return RunDemo(o);
  if (o.command == CliCommand::Items) return runItems(o);
  const std::string image = imageToFlash(o);
  const std::unique_ptr<WatchLog> log = openLog(o);
  const std::unique_ptr<EcuClient> client = connectToBus(o);
  if (o.command == CliCommand::Ports) return runPorts(*client, o);
  return runConnected(*client, o, image, log.get());
}

bool isMissingServer(const sdbus::Error& e) {
  return e.getName() == "org.freedesktop.DBus.Error.ServiceUnknown";
}

std::string busErrorText(const sdbus::Error& e, const CliOptions& o) {
  if (IsUnanswered(e))
    return fmt::format("the server did not answer within {} s", o.timeoutSeconds);
  std::string text = fmt::format("{} [{}]", e.getMessage(), e.getName());
  if (isMissingServer(e)) {
    text += fmt::format(" (is the server registered? run: EcuQuorvanBT --regserver)");
  }
  return text;
}

}  // namespace

int QuorvanMain(int argc, char** argv) {
  QuorvanCli cli;
  if (const auto code = ParseCommandLine(cli.app(), [&] { cli.parse(argc, argv); })) {
    return *code == 0 ? exitcode::kSuccess : exitcode::kBadArguments;
  }
  Interruption::catchSignals();
  int code = exitcode::kFailed;
  try {
    return run(cli.options());
  } catch (const Interrupted&) {
    fmt::print(stderr, "quorvan: interrupted\n");
    return exitcode::kInterrupted;
  } catch (const sdbus::Error& e) {
    fmt::print(stderr, "quorvan: {}\n", busErrorText(e, cli.options()));
    if (isMissingServer(e)) code = exitcode::kNoServer;
  } catch (const SessionError& e) {
    fmt::print(stderr, "quorvan: {}\n", e.what());
    code = e.exitCode();
  } catch (const std::exception& e) {
    fmt::print(stderr, "quorvan: {}\n", e.what());
  }
  return Interruption::raised() ? exitcode::kInterrupted : code;
}

}  // namespace quorvan::host
