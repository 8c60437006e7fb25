#pragma once
// The command line of `ecusim`, the ECU simulator. Parsing is kept apart from running so
// that mistakes are reported before a pseudo-terminal is published.
#include <CLI/CLI.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorvan::host {

// One --value ADDR:SIZE=V (MSE 1.0 memory).
struct MemoryValue {
  std::uint16_t address = 0;
  std::int8_t size = 1;  // 1..4 least significant byte first, -1..-4 most significant first
  std::uint32_t value = 0;
  bool operator==(const MemoryValue&) const = default;
};

// One --busy SERVICE:N.
struct BusyAnswers {
  std::uint8_t service = 0;
  int times = 1;
  bool operator==(const BusyAnswers&) const = default;
};

struct SimulatorOptions {
  std::int32_t device = 0;  // ecuVisteon, ecuMSE10, ecuMSE11, ecuMBE or ecuFicht
  std::optional<int> port;  // else the first free port number
  bool verbose = false;
  std::map<std::uint8_t, std::uint16_t> pids;  // Visteon: fixed PID answers
  std::vector<MemoryValue> values;             // MSE 1.0, MBE: fixed memory values
  // Stored fault codes as the controller holds them (2 bytes each on Visteon, 3 on MSE
  // 1.0, a current and a history fault byte on MBE); nothing: the controller's own.
  std::optional<std::vector<std::string>> faults;
  std::vector<BusyAnswers> busy;
  bool silent = false;
  std::optional<double> unplugAfter;
  std::optional<double> unplugFor;  // nothing: plugged in again never
  std::size_t flashBlocks = 64;     // Visteon: 1 kB blocks of its flash region
  // A bit rate the server's serial driver sets on the terminal in place of the one it
  // was asked for (Wine 8 sets 38400 when asked for 10400): taken as the one meant.
  std::optional<std::pair<std::uint32_t, std::uint32_t>> rateAlias;  // seen, meant
};

// Parsers behind the options; each throws std::invalid_argument with a message for the
// user.
// PID=VALUE, both in hexadecimal ("0C=1AF8"); a 0x in front is allowed.
std::pair<std::uint8_t, std::uint16_t> ParsePidSetting(const std::string& text);
// ADDR:SIZE=V; ADDR 0..0xFFFF and V as numbers (decimal or 0x...), SIZE 1..4 or -1..-4,
// V fitting SIZE bytes.
MemoryValue ParseMemoryValue(const std::string& text);
// A fault code in hexadecimal, `bytes` bytes long ("0123" for 2), as bytes.
std::string ParseFaultCode(const std::string& text, std::size_t bytes);
// Bytes of one --fault code of the device (2 Visteon, 3 MSE 1.0, 1 Ficht).
std::size_t FaultCodeBytes(std::int32_t device);
// SERVICE:N, the service (or MSE 1.0 block title) in hexadecimal, N 1..1000.
BusyAnswers ParseBusyAnswers(const std::string& text);

class SimulatorCli {
 public:
  SimulatorCli();
  SimulatorCli(const SimulatorCli&) = delete;
  SimulatorCli& operator=(const SimulatorCli&) = delete;

  // Throws CLI::ParseError (CLI::CallForHelp for --help).
  void parse(int argc, const char* const* argv);
  const SimulatorOptions& options() const { return options_; }
  CLI::App& app() { return app_; }

 private:
  void checkAgainstDevice();

  CLI::App app_;
  SimulatorOptions options_;
  std::vector<std::string> pidTexts_;
  std::vector<std::string> valueTexts_;
  std::vector<std::string> faultTexts_;
  std::vector<std::string> busyTexts_;
};

}  // namespace quorvan::host
