#include "host/ecusim/SimulatorCli.h"

#include <fmt/format.h>

#include <charconv>
#include <limits>
#include <stdexcept>

#include "client/Enums.h"
#include "host/common/CommandLine.h"

namespace quorvan::host {

namespace {

constexpr int kMaxBusyAnswers = 1000;
constexpr std::size_t kMaxFlashBlocks = 64;  // the controller's whole region

// Hexadecimal digits (after an optional 0x), at most `maxValue`.
std::uint64_t parseHex(const std::string& text, std::uint64_t maxValue) {
  std::string_view digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
  }
  std::uint64_t value = 0;
  const auto [end, error] =
      std::from_chars(digits.data(), digits.data() + digits.size(), value, 16);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) {
    throw std::invalid_argument(fmt::format("'{}' is not a hexadecimal number", text));
  }
  if (value > maxValue) {
    throw std::invalid_argument(fmt::format("{} is above 0x{:X}", text, maxValue));
  }
  return value;
}

// Splits "left<sep>right"; both sides must be there.
std::pair<std::string, std::string> splitOnce(const std::string& text, char separator,
                                              const char* form) {
  const std::size_t at = text.find(separator);
  if (at == std::string::npos || at == 0 || at + 1 == text.size()) {
    throw std::invalid_argument(fmt::format("'{}' is not {}", text, form));
  }
  return {text.substr(0, at), text.substr(at + 1)};
}

template <typename Parse>
auto explained(const std::string& text, Parse parse) {
  try {
    return parse();
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(fmt::format("'{}': {}", text, e.what()));
  }
}

}  // namespace

std::pair<std::uint8_t, std::uint16_t> ParsePidSetting(const std::string& text) {
  const auto [pid, value] = splitOnce(text, '=', "PID=VALUE");
  // Captured by name: clang 15 cannot capture structured bindings.
  return explained(text, [&pid = pid, &value = value] {
    return std::pair{static_cast<std::uint8_t>(parseHex(pid, 0xFF)),
                     static_cast<std::uint16_t>(parseHex(value, 0xFFFF))};
  });
}

MemoryValue ParseMemoryValue(const std::string& text) {
  const auto [where, value] = splitOnce(text, '=', "ADDR:SIZE=V");
  const auto [address, size] = splitOnce(where, ':', "ADDR:SIZE=V");
  return explained(text, [&address = address, &size = size, &value = value] {
    MemoryValue v;
    v.address = static_cast<std::uint16_t>(ParseInteger(address, 0, 0xFFFF));
    v.size = static_cast<std::int8_t>(ParseInteger(size, -4, 4));
    if (v.size == 0) throw std::invalid_argument("a size of 0");
    const int bytes = v.size < 0 ? -v.size : v.size;
    const std::int64_t most = (std::int64_t{1} << (8 * bytes)) - 1;
    v.value = static_cast<std::uint32_t>(ParseInteger(value, 0, most));
    return v;
  });
}

std::string ParseFaultCode(const std::string& text, std::size_t bytes) {
  const std::size_t digits = text.size() - (text.starts_with("0x") ? 2 : 0);
  if (digits != 2 * bytes) {
    throw std::invalid_argument(
        fmt::format("fault code '{}' is not {} hexadecimal digits", text, 2 * bytes));
  }
  const std::uint64_t code = parseHex(text, ~0ull);
  std::string out;
  for (std::size_t i = bytes; i-- > 0;) out.push_back(static_cast<char>(code >> (8 * i)));
  return out;
}

BusyAnswers ParseBusyAnswers(const std::string& text) {
  const auto [service, times] = splitOnce(text, ':', "SERVICE:N");
  return explained(text, [&service = service, &times = times] {
    return BusyAnswers{static_cast<std::uint8_t>(parseHex(service, 0xFF)),
                       static_cast<int>(ParseInteger(times, 1, kMaxBusyAnswers))};
  });
}

SimulatorCli::SimulatorCli()
    : app_(
          "ecusim: an engine controller on the far end of a K-line cable, simulated in real "
          "time behind a pseudo-terminal. It publishes the terminal as serial port N (the "
          "link comN in $QUORVAN_PORTS, by default ~/.local/share/quorvan/ports), prints "
          "\"N LINK\" on one line, and serves until Ctrl-C or SIGTERM, when it removes the "
          "link (beside it, .comN.owner records the owner while it runs: the link of a "
          "simulator that was killed is taken over by the next). Its values drift slowly (engine "
          "speed, throttle, temperatures) and it holds "
          "two stored fault codes.",
          "ecusim") {
  options_.device = ecuVisteon;
  app_.add_option("--device", options_.device,
                  "The controller family: visteon, mse10, mse11 (MSE 1.1 over KWP2000: "
                  "identification and the reflash of its 63232-byte image), mbe or ficht")
      ->transform(CLI::Validator(
          [](std::string& text) {
            try {
              const std::int32_t device = ParseDevice(text);
              if (device != ecuVisteon && device != ecuMSE10 && device != ecuMSE11 &&
                  device != ecuMBE && device != ecuFicht) {
                return std::string("ecusim simulates visteon, mse10, mse11, mbe or ficht");
              }
              text = std::to_string(device);
              return std::string();
            } catch (const std::invalid_argument& e) {
              return std::string(e.what());
            }
          },
          "DEVICE"))
      ->default_str("visteon");
  app_.add_option("--port", options_.port,
                  "Publish as this port number (default: the first free); refused while another "
                  "program holds it")
      ->check(CLI::Range(1, 32767));
  app_.add_flag("--verbose", options_.verbose,
                "Print one line per exchange with the server (requests and answers in hex)");
  app_.add_option("--pid", pidTexts_,
                  "visteon: answer PID with a fixed VALUE, both hexadecimal (e.g. 0C=1AF8: "
                  "engine speed 1726 rpm). Repeat for more PIDs")
      ->check(AcceptedBy([](const std::string& t) { ParsePidSetting(t); }));
  app_.add_option("--value", valueTexts_,
                  "mse10, mbe, ficht: a fixed value in memory, ADDR:SIZE=V (numbers decimal or "
                  "0x...; SIZE 1..4 bytes least significant first, on mse10 also -1..-4 most "
                  "significant first, always most significant first on ficht; e.g. "
                  "0x40:2=6000). Repeat for more values")
      ->check(AcceptedBy([](const std::string& t) { ParseMemoryValue(t); }));
  app_.add_option("--fault", faultTexts_,
                  "A stored fault code in hexadecimal, replacing the two the controller holds: "
                  "4 digits on visteon (e.g. 0123), 6 on mse10 (e.g. 012305; a last byte of 80 "
                  "or more marks a fault no longer present), 4 on mbe: its current fault "
                  "byte, then its fault history byte, one bit per fault (e.g. 0485: fault 3 "
                  "present, faults 1, 3 and 8 in the history; repeats are combined), 2 on "
                  "ficht (a current fault number 01..FF, e.g. 17 for fault 23; its history "
                  "stays). Repeat for more; 'none' for none");
  app_.add_option("--busy", busyTexts_,
                  "Answer the next N requests of SERVICE (hexadecimal; on mse10 the block "
                  "title, on ficht the address) with busy (visteon, mse11: 7F SERVICE 21) or a "
                  "refusal (mse10, ficht: NAK) instead of serving them, e.g. 31:3")
      ->check(AcceptedBy([](const std::string& t) { ParseBusyAnswers(t); }));
  app_.add_flag("--silent", options_.silent, "The controller answers nothing at all");
  app_.add_option("--unplug-after", options_.unplugAfter,
                  "Pull the cable's vehicle connector after this many seconds")
      ->check(CLI::PositiveNumber);
  app_.add_option("--unplug-for", options_.unplugFor,
                  "Plug it in again after this many seconds (default: never)")
      ->check(CLI::PositiveNumber);
  app_.add_option("--flash-blocks", options_.flashBlocks,
                  "visteon: size of the reprogrammable flash region in 1 kB blocks (a smaller "
                  "region also erases sooner)")
      ->capture_default_str()
      ->check(CLI::Range(std::size_t{1}, kMaxFlashBlocks));
  app_.add_option("--rate-alias", options_.rateAlias,
                  "SEEN MEANT: take the bit rate SEEN on the terminal as MEANT, for a server "
                  "whose serial driver sets another rate than it was asked for (Wine 8 sets "
                  "38400 for 10400: --rate-alias 38400 10400)");
}

std::size_t FaultCodeBytes(std::int32_t device) {
  if (device == ecuVisteon || device == ecuMBE) return 2;
  return device == ecuFicht ? 1 : 3;
}

void SimulatorCli::parse(int argc, const char* const* argv) {
  app_.parse(argc, argv);
  checkAgainstDevice();
}

void SimulatorCli::checkAgainstDevice() {
  const bool visteon = options_.device == ecuVisteon;
  const bool mbe = options_.device == ecuMBE;
  auto onlyFor = [&](const char* option, bool given, bool allowed, const char* family) {
    if (given && !allowed) {
      throw CLI::ValidationError(option, fmt::format("{} is for {} only", option, family));
    }
  };
  onlyFor("--pid", !pidTexts_.empty(), visteon, "visteon");
  onlyFor("--flash-blocks", app_.count("--flash-blocks") > 0, visteon, "visteon");
  const bool mse10 = options_.device == ecuMSE10;
  const bool mse11 = options_.device == ecuMSE11;
  onlyFor("--value", !valueTexts_.empty(), !visteon && !mse11, "mse10, mbe and ficht");
  onlyFor("--busy", !busyTexts_.empty(), !mbe, "visteon, mse10, mse11 and ficht");
  onlyFor("--fault", !faultTexts_.empty(), !mse11, "visteon, mse10, mbe and ficht");
  if (mse10 && busyTexts_.size() > 1) {
    throw CLI::ValidationError("--busy", "mse10 refuses one kind of block at a time");
  }
  if (options_.unplugFor && !options_.unplugAfter) {
    throw CLI::ValidationError("--unplug-for", "needs --unplug-after");
  }

  options_.pids.clear();
  for (const auto& text : pidTexts_) {
    const auto [pid, value] = ParsePidSetting(text);
    options_.pids[pid] = value;
  }
  options_.values.clear();
  for (const auto& text : valueTexts_) options_.values.push_back(ParseMemoryValue(text));
  for (const MemoryValue& v : options_.values) {
    if (mbe && v.size < 0) {
      throw CLI::ValidationError("--value", "mbe keeps its numbers least significant byte first");
    }
  }
  options_.busy.clear();
  for (const auto& text : busyTexts_) options_.busy.push_back(ParseBusyAnswers(text));
  options_.faults.reset();
  if (faultTexts_.empty()) return;
  options_.faults.emplace();
  if (faultTexts_ == std::vector<std::string>{"none"}) return;
  for (const auto& text : faultTexts_) {
    try {
      options_.faults->push_back(ParseFaultCode(text, FaultCodeBytes(options_.device)));
    } catch (const std::invalid_argument& e) {
      throw CLI::ValidationError("--fault", e.what());
    }
  }
}

}  // namespace quorvan::host
