// The D-Bus host's parsers: the byte mapping of texts, the VARIANT mapping, the command
// lines of quorvan and ecusim and the parsers of their option values.
#include <sdbus-c++/Error.h>

#include <sstream>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "FuzzTargets.h"
#include "host/cli/QuorvanCli.h"
#include "host/common/CommandLine.h"
#include "host/common/TextMapping.h"
#include "host/common/VariantMapping.h"
#include "host/ecusim/SimulatorCli.h"

namespace quorvan::fuzz {
namespace {

using host::BadVariantType;
using host::TextMappingError;

// A VARIANT of the type the selector names, holding the input's bytes. Nothing when the
// bus itself would not carry it (a string that is not UTF-8).
std::optional<sdbus::Variant> BusVariantOf(std::uint8_t selector, FuzzInput& in) {
  const std::string_view bytes = in.rest();
  std::vector<std::int32_t> numbers;
  while (!in.empty()) numbers.push_back(in.long32());
  try {
    switch (selector % 8) {
      case 0:
        return sdbus::Variant(numbers.empty() ? 0 : numbers.front());
      case 1:
        return sdbus::Variant(static_cast<std::int16_t>(numbers.empty() ? 0 : numbers.front()));
      case 2:
        return sdbus::Variant(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
      case 3:
        return sdbus::Variant(numbers);
      case 4:
        return sdbus::Variant(std::string(bytes));
      case 5:
        return sdbus::Variant(static_cast<double>(numbers.empty() ? 0 : numbers.front()));
      case 6:
        return sdbus::Variant(!bytes.empty());
      default:
        return sdbus::Variant(std::vector<std::string>{std::string(bytes)});
    }
  } catch (const sdbus::Error&) {
    return std::nullopt;
  }
}

// The command line split at NULs, with the program's name in front.
std::vector<std::string> Arguments(const char* program, std::string_view bytes) {
  std::vector<std::string> args{program};
  std::string_view rest = bytes;
  while (!rest.empty()) {
    const std::size_t end = std::min(rest.find('\0'), rest.size());
    args.emplace_back(rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));
  }
  return args;
}

template <typename Cli>
void ParseWith(const char* program, std::string_view bytes) {
  const std::vector<std::string> args = Arguments(program, bytes);
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  Cli cli;
  std::ostringstream out;
  std::ostringstream err;
  const auto exitCode = host::ParseCommandLine(
      cli.app(), [&] { cli.parse(static_cast<int>(argv.size()), argv.data()); }, out, err);
  FuzzCheck(!exitCode || *exitCode == 0 || !err.str().empty(), "a refused command line says why");
}

// One option value through one of the parsers; a refusal is std::invalid_argument.
void ParseOptionValue(std::uint8_t selector, const std::string& text) {
  switch (selector % 9) {
    case 0: {
      const std::int32_t device = host::ParseDevice(text);
      FuzzCheck(host::ParseDevice(host::DeviceName(device)) == device,
                "a device's name is read back");
      break;
    }
    case 1:
      host::ParsePidSetting(text);
      break;
    case 2: {
      const host::MemoryValue v = host::ParseMemoryValue(text);
      FuzzCheck(v.size != 0 && v.size >= -4 && v.size <= 4, "a memory value is 1 to 4 bytes");
      break;
    }
    case 3: {
      const std::size_t bytes = selector / 9 % 4 + 1;
      FuzzCheck(host::ParseFaultCode(text, bytes).size() == bytes, "a fault code has its bytes");
      break;
    }
    case 4: {
      const host::BusyAnswers busy = host::ParseBusyAnswers(text);
      FuzzCheck(busy.times >= 1 && busy.times <= 1000, "busy answers are 1..1000");
      break;
    }
    case 5:
      host::KindName(host::ParseKind(text));
      break;
    case 6: {
      const host::WatchRequest item = host::ParseWatchItem(text);
      FuzzCheck(item.item >= 1 && item.item <= 200 && item.size >= 0 && item.priority >= 0,
                "an item is within its ranges");
      break;
    }
    case 7: {
      const std::int64_t n = host::ParseInteger(text, -1000, 1000);
      FuzzCheck(n >= -1000 && n <= 1000, "a number is within its range");
      break;
    }
    default:
      host::ParseIntegerOf<std::uint16_t>(text);
      break;
  }
}

}  // namespace

// Any bytes survive the way to a D-Bus text and back; any text is either refused or
// taken as bytes that map back to an equal text.
void FuzzHostText(std::string_view input) {
  const std::string bytes(input);
  const std::string text = host::BytesToText(bytes);
  FuzzCheck(host::TextToBytes(text) == bytes, "bytes come back from their text");
  try {
    const std::string taken = host::TextToBytes(bytes);
    FuzzCheck(host::TextToBytes(host::BytesToText(taken)) == taken, "a text's bytes map back");
  } catch (const TextMappingError&) {
  }
}

// A VARIANT of any type is taken or refused; what is taken goes back to the bus and is
// taken again unchanged.
void FuzzHostVariant(std::string_view input) {
  FuzzInput in(input);
  const std::uint8_t selector = in.byte();
  const auto bus = BusVariantOf(selector, in);
  if (!bus) return;
  try {
    const Variant value = host::FromBusVariant(*bus);
    if (!value.isEmpty()) {
      FuzzCheck(host::FromBusVariant(host::ToBusVariant(value)) == value, "a value travels back");
    }
  } catch (const BadVariantType&) {
  } catch (const TextMappingError&) {
  }
}

// The command lines of quorvan and ecusim, arguments separated by NULs.
void FuzzCommandLine(std::string_view input) {
  FuzzInput in(input);
  if (in.byte() % 2 == 0) {
    ParseWith<host::QuorvanCli>("quorvan", in.rest());
  } else {
    ParseWith<host::SimulatorCli>("ecusim", in.rest());
  }
}

// The values of the options, each through its own parser.
void FuzzOptionValues(std::string_view input) {
  FuzzInput in(input);
  const std::uint8_t selector = in.byte();
  try {
    ParseOptionValue(selector, std::string(in.rest()));
  } catch (const std::invalid_argument&) {
  }
}

}  // namespace quorvan::fuzz
