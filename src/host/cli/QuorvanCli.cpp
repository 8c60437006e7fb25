#include "host/cli/QuorvanCli.h"

#include <fmt/format.h>

#include <array>
#include <limits>
#include <set>
#include <stdexcept>
#include <utility>

#include "client/Enums.h"
#include "client/WatchTable.h"
#include "host/common/CommandLine.h"

namespace quorvan::host {

namespace {

constexpr std::array<const char*, 5> kKinds = {"faults", "flags", "data", "clear", "idle"};

std::vector<std::string> splitFields(const std::string& text, char separator) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    fields.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return fields;
    start = end + 1;
  }
}

// A validator that replaces the text by the number `parse` makes of it, or reports its
// complaint.
CLI::Validator numberFrom(std::int64_t (*parse)(const std::string&), const char* what) {
  return CLI::Validator(
      [parse](std::string& text) {
        try {
          text = std::to_string(parse(text));
          return std::string();
        } catch (const std::invalid_argument& e) {
          return std::string(e.what());
        }
      },
      what);
}

std::int64_t parseDeviceWide(const std::string& text) {
  return ParseDevice(text);
}

// The families the simulator knows.
std::int64_t parseDemoDevice(const std::string& text) {
  const std::int32_t device = ParseDevice(text);
  if (device != ecuVisteon && device != ecuMSE10 && device != ecuMBE && device != ecuFicht) {
    throw std::invalid_argument(
        fmt::format("the demo simulates visteon, mse10, mbe or ficht, not '{}'", text));
  }
  return device;
}

}  // namespace

std::int32_t ParseKind(const std::string& text) {
  const std::string name = LowerCase(text);
  for (std::size_t i = 0; i < kKinds.size(); ++i) {
    if (name == kKinds[i]) return static_cast<std::int32_t>(i);
  }
  try {
    return static_cast<std::int32_t>(ParseInteger(text, ecuFaults, ecuIdle));
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument(
        fmt::format("unknown kind '{}' (use faults, flags, data, clear, idle or 0..4)", text));
  }
}

WatchRequest ParseWatchItem(const std::string& text) {
  const std::vector<std::string> f = splitFields(text, ':');
  if (f.size() != 4 && f.size() != 5) {
    throw std::invalid_argument(fmt::format("item '{}' is not N:ADDR:SIZE:KIND[:PRIORITY]", text));
  }
  try {
    WatchRequest request;
    request.item = static_cast<std::int16_t>(ParseInteger(f[0], 1, kWatchTableSize));
    // Addresses are 32-bit patterns: 0x80000000 and above are taken as written.
    request.addr = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(ParseInteger(f[1], std::numeric_limits<std::int32_t>::min(),
                                                std::numeric_limits<std::uint32_t>::max())));
    request.size = static_cast<std::int16_t>(ParseInteger(f[2], 0, 32767));
    request.kind = ParseKind(f[3]);
    if (f.size() == 5) request.priority = static_cast<std::int16_t>(ParseInteger(f[4], 0, 32767));
    return request;
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(fmt::format("item '{}': {}", text, e.what()));
  }
}

std::int32_t FaultListAddress(std::int32_t device) {
  constexpr std::int32_t kVisteonFaultList = 0x300;
  constexpr std::int32_t kMbeFaultBytes = 0x30000;  // current faults and history
  constexpr std::int32_t kFichtHistoryAndCurrentFaults = 0x30000;
  if (device == ecuMBE) return kMbeFaultBytes;
  if (device == ecuFicht) return kFichtHistoryAndCurrentFaults;
  return device == ecuVisteon ? kVisteonFaultList : 0;
}

std::string KindName(std::int32_t kind) {
  if (kind >= 0 && static_cast<std::size_t>(kind) < kKinds.size()) {
    return kKinds[static_cast<std::size_t>(kind)];
  }
  return std::to_string(kind);
}

// ---- The command line ----

QuorvanCli::QuorvanCli()
    : app_(
          "quorvan: the command-line client of the EcuQuorvanBT server (on the session bus; "
          "the first call starts the server). Each run is one client session: it connects, "
          "does its work and leaves, and the server ends once its client has gone.",
          "quorvan") {
  app_.footer(
      "Exit status: 0 when the command has done its work (watch and demo also when Ctrl-C "
      "ends them); 1 when it failed, with a last line on stderr that says why, among them a "
      "wait that reached --timeout: for the server, the link, an event, or an answer to a "
      "call; 130 when Ctrl-C cut a wait short; another non-zero code for a mistake on the "
      "command line.");
  app_.require_subcommand(1);
  app_.add_flag("--debug", options_.debug,
                "Switch the server's DebugMode on (trace lines, trace file, alerts)");

  auto* ports =
      addSubcommand("ports", "List which serial ports are free (PortsFree)", CliCommand::Ports);
  ports->add_option("--first", options_.firstPort, "First port number")
      ->capture_default_str()
      ->check(CLI::Range(1, 32767));
  ports->add_option("--last", options_.lastPort, "Last port number")
      ->capture_default_str()
      ->check(CLI::Range(1, 32767));
  ports
      ->add_option("--timeout", options_.timeoutSeconds,
                   "Seconds to wait for the server to start, and for each of its answers")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);

  auto* connect =
      addSubcommand("connect",
                    "Connect to the controller, print its identification and the link status, and "
                    "leave",
                    CliCommand::Connect);
  addConnectOptions(connect);

  auto* watch = addSubcommand(
      "watch", "Watch items live: a table of their values, refreshed in place until Ctrl-C",
      CliCommand::Watch);
  addConnectOptions(watch);
  watch
      ->add_option("--item", itemTexts_,
                   "An item to watch, N:ADDR:SIZE:KIND[:PRIORITY]: item number 1..200, address "
                   "(decimal or 0x...), size in bytes, kind (faults, flags, data, clear, idle "
                   "or 0..4), priority (poll every n-th pass; default 1). Repeat for more items")
      ->required()
      ->check(AcceptedBy([](const std::string& text) { ParseWatchItem(text); }));
  watch->add_option("--seconds", options_.seconds, "Stop after this many seconds")
      ->check(CLI::PositiveNumber);

  auto* faults =
      addSubcommand("faults", "Read the fault codes once and print them", CliCommand::Faults);
  addConnectOptions(faults);
  faults
      ->add_option("--addr", options_.faultAddress,
                   "Address of the fault list in the watch table (default 0x300 for visteon, "
                   "0x30000 (current faults and history) for mbe and ficht, 0 otherwise)")
      ->transform(numberFrom(ParseIntegerOf<std::int32_t>, "ADDR"));

  auto* clear =
      addSubcommand("clear-faults", "Clear the fault codes (ClearFaults)", CliCommand::ClearFaults);
  addConnectOptions(clear);

  auto* command =
      addSubcommand("command", "Send a diagnostic command code and wait for CommandComplete",
                    CliCommand::Command);
  addConnectOptions(command);
  command->add_option("N", options_.commandOp, "The command code (16-bit)")
      ->required()
      ->transform(numberFrom(ParseIntegerOf<std::int16_t>, "N"));

  auto* flash = addSubcommand(
      "flash",
      "Reprogram the controller with an image: FlashInit, FlashWrite of each block (the block "
      "size is what FlashInit answers), then FlashVerify with the image's checksum. The image "
      "is checked before anything is erased and must be exactly what the controller's region "
      "holds: on visteon 64 blocks of 1024 bytes (65536 bytes; --region-blocks for a smaller "
      "region), verified by the 16-bit sum of its bytes; on mse11 63232 bytes (252 blocks of "
      "250 and a last one of 232), verified by the 32-bit sum. The other families take no "
      "image. The flash status is shown at each step; on a failure or Ctrl-C the session is "
      "aborted (FlashAbort), unless the server has stopped answering",
      CliCommand::Flash);
  addConnectOptions(flash);
  flash
      ->add_option("--region-blocks", options_.regionBlocks,
                   "visteon: the controller's flash region in 1 kB blocks, when smaller than "
                   "the 64 from block 33 (ecusim --flash-blocks)")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, kVisteonRegionBlocks));
  flash->add_option("FILE", options_.flashFile, "The image file")
      ->required()
      ->check(CLI::ExistingFile);

  auto* info =
      addSubcommand("info", "Print the server's diagnostic text N (GetInfo)", CliCommand::Info);
  addConnectOptions(info);
  info->add_option("N", options_.infoIndex, "Which text: 1 overview, 2 trace list to file, ...")
      ->required()
      ->transform(numberFrom(ParseIntegerOf<std::int16_t>, "N"));

  auto* ident = addSubcommand(
      "ident", "Print the controller's identification (on mse11 read from its EEPROM first)",
      CliCommand::Ident);
  addConnectOptions(ident);

  auto* demo = addSubcommand(
      "demo",
      "Run the demo: start the ECU simulator (ecusim) on a pseudo-terminal, a private session "
      "bus when none is running, and the server on it; connect, show the identification, "
      "then the simulated controller's values and fault codes live until Ctrl-C. Everything "
      "it started is ended and removed when it ends (killed outright, what it started ends "
      "with it, and the next demo removes what it made)",
      CliCommand::Demo);
  demo->add_option("--device", options_.device,
                   "The simulated controller: visteon, mse10, mbe or ficht")
      ->transform(numberFrom(parseDemoDevice, "DEVICE"))
      ->default_str("visteon");
  demo->add_option("--seconds", options_.seconds, "Stop after this many seconds")
      ->check(CLI::PositiveNumber);
  demo->add_option("--timeout", options_.timeoutSeconds,
                   "Seconds to wait for the simulator, the server and the link to come up, "
                   "and for each of the server's answers")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
}

CLI::App* QuorvanCli::addSubcommand(const char* name, const char* description, CliCommand command) {
  CLI::App* sub = app_.add_subcommand(name, description);
  sub->parse_complete_callback([this, command] { options_.command = command; });
  return sub;
}

void QuorvanCli::addConnectOptions(CLI::App* sub) {
  sub->add_option("--device", options_.device,
                  "The controller family: mse10, mse11, visteon, ficht, mbe, or a number")
      ->required()
      ->transform(numberFrom(parseDeviceWide, "DEVICE"));
  sub->add_option("--port", options_.port, "The serial port number")
      ->required()
      ->check(CLI::Range(1, 32767));
  sub->add_option("--timeout", options_.timeoutSeconds,
                  "Seconds to wait for the server and for the link to come up, for each of "
                  "the server's answers and for each event the command waits for")
      ->capture_default_str()
      ->check(CLI::PositiveNumber);
}

void QuorvanCli::parse(int argc, const char* const* argv) {
  options_.device = ecuVisteon;  // the demo's default; the other commands require theirs
  app_.parse(argc, argv);
  options_.items.clear();
  std::set<std::int16_t> seen;
  for (const std::string& text : itemTexts_) {
    options_.items.push_back(ParseWatchItem(text));
    if (!seen.insert(options_.items.back().item).second) {
      throw CLI::ValidationError("--item",
                                 fmt::format("item {} is given twice", options_.items.back().item));
    }
  }
  if (options_.command == CliCommand::Ports && options_.lastPort < options_.firstPort) {
    throw CLI::ValidationError("--last", "the last port comes before the first");
  }
}

}  // namespace quorvan::host
