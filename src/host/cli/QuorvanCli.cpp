#include "host/cli/QuorvanCli.h"

#include <fmt/format.h>

#include <array>
#include <cctype>
#include <limits>
#include <set>
#include <stdexcept>
#include <utility>

#include "catalog/Catalog.h"
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

bool IsNamedItem(const std::string& text) {
  return !text.empty() && std::isalpha(static_cast<unsigned char>(text[0])) != 0 &&
         splitFields(text, ':').size() <= 2;
}

namespace {

// NAME[:PRIORITY] of the family's catalog, its item number still to be given.
WatchRequest namedItem(const std::string& text, std::int32_t device) {
  const std::vector<std::string> f = splitFields(text, ':');
  const catalog::CatalogItem* item = f.size() <= 2 ? catalog::FindItem(device, f[0]) : nullptr;
  if (item == nullptr) {
    throw std::invalid_argument(
        fmt::format("{} has no item '{}' (quorvan items --device {} lists them)",
                    DeviceName(device), text, DeviceName(device)));
  }
  WatchRequest request{0, item->address, item->size, item->kind, 1, item};
  if (f.size() == 2) {
    try {
      request.priority = static_cast<std::int16_t>(ParseInteger(f[1], 0, 32767));
    } catch (const std::invalid_argument& e) {
      throw std::invalid_argument(fmt::format("item '{}': {}", text, e.what()));
    }
  }
  return request;
}

// Gives the named items the lowest numbers the raw ones leave free.
void numberItems(std::vector<WatchRequest>& requests) {
  std::set<std::int16_t> taken;
  for (const WatchRequest& r : requests) {
    if (r.item != 0 && !taken.insert(r.item).second) {
      throw std::invalid_argument(fmt::format("item {} is given twice", r.item));
    }
  }
  std::int16_t next = 1;
  for (WatchRequest& r : requests) {
    if (r.item != 0) continue;
    while (taken.count(next) != 0) ++next;
    if (next > kWatchTableSize)
      throw std::invalid_argument("more items than the watch table holds");
    r.item = next;
    taken.insert(next);
  }
}

}  // namespace

std::vector<WatchRequest> WatchItems(const std::vector<std::string>& texts, bool all,
                                     std::int32_t device) {
  std::vector<WatchRequest> requests;
  std::set<const catalog::CatalogItem*> named;
  for (const std::string& text : texts) {
    requests.push_back(IsNamedItem(text) ? namedItem(text, device) : ParseWatchItem(text));
    if (requests.back().named && !named.insert(requests.back().named).second) {
      throw std::invalid_argument(
          fmt::format("item '{}' is given twice", requests.back().named->name));
    }
  }
  if (all) {
    for (const catalog::CatalogItem& item : catalog::ItemsOf(device)) {
      if (item.kind == ecuFaults || named.count(&item) != 0) continue;
      requests.push_back(WatchRequest{0, item.address, item.size, item.kind, 1, &item});
    }
  }
  if (requests.empty()) {
    throw std::invalid_argument(
        catalog::ItemsOf(device).empty()
            ? fmt::format("nothing to watch: {} has no named items; give --item N:ADDR:SIZE:KIND",
                          DeviceName(device))
            : fmt::format("nothing to watch: give --item NAME (quorvan items --device {} lists "
                          "them), --all, or --item N:ADDR:SIZE:KIND",
                          DeviceName(device)));
  }
  numberItems(requests);
  return requests;
}

std::int32_t FaultListAddress(std::int32_t device) {
  const catalog::CatalogItem* faults = catalog::FindItem(device, "faults");
  return faults ? faults->address : 0;
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
      "Start here:\n"
      "  quorvan items --device visteon          the named readings of a family\n"
      "  quorvan watch --device visteon --port 1 --item rpm --item coolant\n"
      "  quorvan watch --device visteon --port 1 --all --csv ride.csv --seconds 600\n"
      "  quorvan ident --device visteon --port 1 --json\n"
      "  quorvan faults --device visteon --port 1 --json\n"
      "  quorvan demo                            a simulated controller, no hardware\n"
      "COMMAND --help shows a command's options.\n\n"
      "Exit status:\n"
      "  0    the command did its work (watch and demo also when Ctrl-C ends them)\n"
      "  1    it failed otherwise, e.g. a wait reached --timeout\n"
      "  2    a mistake on the command line, or an image file that cannot be flashed\n"
      "  3    no server: no session bus, or the server is not registered or does not start\n"
      "  4    no link: the port cannot be opened, or the controller does not answer\n"
      "  5    the controller refused the request (clear faults, command, flash, ident)\n"
      "  130  Ctrl-C cut a wait short\n"
      "Every failure ends with one line on stderr that says what went wrong and what to do.\n");
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

  addJsonFlag(ports);

  auto* items = addSubcommand(
      "items",
      "List the named readings of a family's catalog (no server needed): name, watch-table "
      "address, size, kind, unit and description. watch --item NAME takes these names",
      CliCommand::Items);
  items
      ->add_option("--device", options_.device,
                   "The controller family: mse10, mse11, visteon, ficht, mbe, or a number")
      ->required()
      ->transform(numberFrom(parseDeviceWide, "DEVICE"));
  addJsonFlag(items);

  auto* connect =
      addSubcommand("connect",
                    "Connect to the controller, print its identification and the link status, and "
                    "leave",
                    CliCommand::Connect);
  addConnectOptions(connect);
  addJsonFlag(connect);

  auto* watch = addSubcommand(
      "watch", "Watch items live: a table of their values, refreshed in place until Ctrl-C",
      CliCommand::Watch);
  addConnectOptions(watch);
  watch
      ->add_option("--item", itemTexts_,
                   "An item to watch: a name from `quorvan items` (any case), NAME[:PRIORITY], "
                   "or the raw form N:ADDR:SIZE:KIND[:PRIORITY]: item number 1..200, address "
                   "(decimal or 0x...), size in bytes, kind (faults, flags, data, clear, idle "
                   "or 0..4). PRIORITY polls the item every n-th pass (default 1). Repeat for "
                   "more items")
      ->check(AcceptedBy([](const std::string& text) {
        if (!IsNamedItem(text)) ParseWatchItem(text);
      }));
  watch->add_flag("--all", allItems_,
                  "Watch every reading of the family's catalog (its fault lists excepted)");
  watch
      ->add_option("--csv", options_.csvFile,
                   "Log to this file (created or replaced): a row per value received, "
                   "time_ms (the server's time stamp),item,raw,value (in units),unit; each row "
                   "is written out as it comes")
      ->check(CLI::NonexistentPath | CLI::ExistingFile);
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
  addJsonFlag(faults);

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
  addJsonFlag(flash);

  auto* info =
      addSubcommand("info", "Print the server's diagnostic text N (GetInfo)", CliCommand::Info);
  addConnectOptions(info);
  info->add_option("N", options_.infoIndex, "Which text: 1 overview, 2 trace list to file, ...")
      ->required()
      ->transform(numberFrom(ParseIntegerOf<std::int16_t>, "N"));
  addJsonFlag(info);

  auto* ident = addSubcommand(
      "ident", "Print the controller's identification (on mse11 read from its EEPROM first)",
      CliCommand::Ident);
  addConnectOptions(ident);
  addJsonFlag(ident);

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

void QuorvanCli::addJsonFlag(CLI::App* sub) {
  sub->add_flag("--json", options_.json,
                "Print JSON instead of text: one document, or one object per line for a "
                "stream");
}

void QuorvanCli::parse(int argc, const char* const* argv) {
  options_.device = ecuVisteon;  // the demo's default; the other commands require theirs
  app_.parse(argc, argv);
  options_.items.clear();
  if (options_.command == CliCommand::Watch) {
    try {
      options_.items = WatchItems(itemTexts_, allItems_, options_.device);
    } catch (const std::invalid_argument& e) {
      throw CLI::ValidationError("--item", e.what());
    }
  }
  if (options_.command == CliCommand::Ports && options_.lastPort < options_.firstPort) {
    throw CLI::ValidationError("--last", "the last port comes before the first");
  }
}

}  // namespace quorvan::host
