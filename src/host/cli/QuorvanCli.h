#pragma once
// The command line of `quorvan`, the command-line client. Parsing is kept apart from
// running so that argument errors are found before anything reaches the bus.
#include <CLI/CLI.hpp>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "catalog/Catalog.h"
#include "kline/VisteonImage.h"

namespace quorvan::host {

enum class CliCommand {
  None,
  Ports,
  Connect,
  Watch,
  Faults,
  ClearFaults,
  Command,
  Flash,
  Info,
  Ident,
  Items,
  Demo
};

// One --item: N:ADDR:SIZE:KIND[:PRIORITY], or NAME[:PRIORITY] of the family's catalog.
struct WatchRequest {
  std::int16_t item = 0;
  std::int32_t addr = 0;
  std::int16_t size = 0;
  std::int32_t kind = 0;
  std::int16_t priority = 1;
  const catalog::CatalogItem* named = nullptr;  // the catalog item it was asked by
  bool operator==(const WatchRequest&) const = default;
};

struct CliOptions {
  CliCommand command = CliCommand::None;
  bool debug = false;
  std::int32_t device = 0;
  std::int16_t port = 0;
  double timeoutSeconds = 20;
  std::int16_t firstPort = 1;
  std::int16_t lastPort = 16;
  std::vector<WatchRequest> items;
  std::optional<double> seconds;
  std::optional<std::int32_t> faultAddress;
  std::int16_t commandOp = 0;
  std::filesystem::path flashFile;
  std::size_t regionBlocks = kVisteonRegionBlocks;  // flash on visteon
  std::int16_t infoIndex = 0;
  std::optional<std::filesystem::path> csvFile;  // watch --csv
  bool json = false;
};

// Parsers behind the options (with those of host/common/CommandLine.h); they throw
// std::invalid_argument with a message for the user.
// faults, flags, data, clear, idle, or 0..4.
std::int32_t ParseKind(const std::string& text);
// N:ADDR:SIZE:KIND[:PRIORITY]; N 1..200, ADDR 32 bits (0x... up to 0xFFFFFFFF), SIZE
// 0..32767, PRIORITY 0..32767 (default 1).
WatchRequest ParseWatchItem(const std::string& text);
// Whether the text is meant as a catalog name (NAME[:PRIORITY]: a letter first, at most
// two fields) rather than the raw form.
bool IsNamedItem(const std::string& text);
// The items of a watch: the raw ones at their numbers, the named ones (NAME[:PRIORITY],
// any case) and, with `all`, every data and flags item of the family's catalog not
// named already, numbered from the lowest free number up. Throws std::invalid_argument
// for an unknown name, an item given twice, or nothing to watch.
std::vector<WatchRequest> WatchItems(const std::vector<std::string>& texts, bool all,
                                     std::int32_t device);

// Where the fault list sits in the watch table: 0x300 on Visteon, 0 otherwise.
std::int32_t FaultListAddress(std::int32_t device);

// "faults" for 0, ..., the number for others.
std::string KindName(std::int32_t kind);

class QuorvanCli {
 public:
  QuorvanCli();
  QuorvanCli(const QuorvanCli&) = delete;
  QuorvanCli& operator=(const QuorvanCli&) = delete;

  // Throws CLI::ParseError (CLI::CallForHelp for --help).
  void parse(int argc, const char* const* argv);
  const CliOptions& options() const { return options_; }
  CLI::App& app() { return app_; }

 private:
  CLI::App* addSubcommand(const char* name, const char* description, CliCommand command);
  void addConnectOptions(CLI::App* sub);
  void addJsonFlag(CLI::App* sub);

  CLI::App app_;
  CliOptions options_;
  std::vector<std::string> itemTexts_;
  bool allItems_ = false;
};

// The program: parses, runs, and turns every failure into one line on stderr and a
// non-zero exit code.
int QuorvanMain(int argc, char** argv);

}  // namespace quorvan::host
