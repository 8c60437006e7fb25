#include <gtest/gtest.h>

#include <vector>

#include "client/Enums.h"
#include "host/common/PublishedPort.h"
#include "host/ecusim/SimulatorCli.h"

namespace quorvan::host {
namespace {

SimulatorOptions parse(SimulatorCli& cli, const std::vector<const char*>& args) {
  std::vector<const char*> argv{"ecusim"};
  argv.insert(argv.end(), args.begin(), args.end());
  cli.parse(static_cast<int>(argv.size()), argv.data());
  return cli.options();
}

std::string parseError(const std::vector<const char*>& args) {
  SimulatorCli cli;
  try {
    parse(cli, args);
  } catch (const CLI::ParseError& e) {
    return e.what();
  }
  return "accepted";
}

template <typename Parse>
std::string refusal(Parse parse) {
  try {
    parse();
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "accepted";
}

TEST(SimulatorCli, WithoutOptionsAVisteonControllerWithItsOwnFaults) {
  SimulatorCli cli;
  const SimulatorOptions o = parse(cli, {});
  EXPECT_EQ(o.device, ecuVisteon);
  EXPECT_FALSE(o.port);
  EXPECT_FALSE(o.faults);
  EXPECT_EQ(o.flashBlocks, 64u);
  EXPECT_FALSE(o.silent);
  EXPECT_FALSE(o.verbose);
}

TEST(SimulatorCli, EachFamilyTakesItsOwnSettings) {
  SimulatorCli visteon;
  const SimulatorOptions v = parse(
      visteon, {"--pid",          "0C=1AF8", "--pid",          "0x05=5a", "--fault",      "0123",
                "--fault",        "1ABC",    "--busy",         "31:3",    "--busy",       "01:1",
                "--flash-blocks", "3",       "--unplug-after", "2.5",     "--unplug-for", "1",
                "--port",         "7",       "--silent"});
  EXPECT_EQ(v.pids, (std::map<std::uint8_t, std::uint16_t>{{0x0C, 0x1AF8}, {0x05, 0x5A}}));
  EXPECT_EQ(v.faults, (std::vector<std::string>{"\x01\x23", "\x1A\xBC"}));
  EXPECT_EQ(v.busy, (std::vector<BusyAnswers>{{0x31, 3}, {0x01, 1}}));
  EXPECT_EQ(v.flashBlocks, 3u);
  EXPECT_EQ(v.unplugAfter, 2.5);
  EXPECT_EQ(v.unplugFor, 1.0);
  EXPECT_EQ(v.port, 7);
  EXPECT_TRUE(v.silent);

  SimulatorCli mse10;
  const SimulatorOptions m = parse(mse10, {"--device", "MSE10", "--value", "0x40:2=6000", "--value",
                                           "66:-2=0x1234", "--fault", "012385", "--busy", "07:2"});
  EXPECT_EQ(m.device, ecuMSE10);
  EXPECT_EQ(m.values, (std::vector<MemoryValue>{{0x40, 2, 6000}, {66, -2, 0x1234}}));
  EXPECT_EQ(m.faults, (std::vector<std::string>{std::string("\x01\x23\x85", 3)}));

  SimulatorCli mse11;
  const SimulatorOptions k =
      parse(mse11, {"--device", "mse11", "--busy", "27:2", "--busy", "31:1"});
  EXPECT_EQ(k.device, ecuMSE11);
  EXPECT_EQ(k.busy, (std::vector<BusyAnswers>{{0x27, 2}, {0x31, 1}}));

  SimulatorCli none;
  EXPECT_EQ(parse(none, {"--fault", "none"}).faults, std::vector<std::string>{});
}

TEST(SimulatorCli, SettingsOfTheOtherFamilyOrWithoutSenseAreRefused) {
  const std::pair<std::vector<const char*>, const char*> cases[] = {
      {{"--device", "3"}, "ecusim simulates visteon, mse10, mse11, mbe or ficht"},
      {{"--device", "mse11", "--fault", "0123"},
       "--fault is for visteon, mse10, mbe and ficht only"},
      {{"--device", "mse11", "--value", "1:1=1"}, "--value is for mse10, mbe and ficht only"},
      {{"--device", "mse10", "--pid", "0C=1"}, "--pid is for visteon only"},
      {{"--device", "mse10", "--flash-blocks", "2"}, "--flash-blocks is for visteon only"},
      {{"--value", "1:1=1"}, "--value is for mse10, mbe and ficht only"},
      {{"--device", "mbe", "--value", "0x40:-2=1"}, "least significant byte first"},
      {{"--device", "mbe", "--busy", "01:1"}, "--busy is for visteon, mse10, mse11 and ficht only"},
      {{"--device", "mbe", "--fault", "012305"}, "is not 4 hexadecimal digits"},
      {{"--device", "ficht", "--pid", "0C=1"}, "--pid is for visteon only"},
      {{"--device", "ficht", "--fault", "0123"}, "is not 2 hexadecimal digits"},
      {{"--fault", "012345"}, "is not 4 hexadecimal digits"},
      {{"--device", "mse10", "--fault", "0123"}, "is not 6 hexadecimal digits"},
      {{"--device", "mse10", "--busy", "01:1", "--busy", "07:1"}, "one kind of block at a time"},
      {{"--unplug-for", "1"}, "needs --unplug-after"},
      {{"--flash-blocks", "65"}, "--flash-blocks"},
      {{"--port", "0"}, "--port"},
  };
  for (const auto& [args, says] : cases) {
    const std::string message = parseError(args);
    EXPECT_NE(message.find(says), std::string::npos) << says << ": " << message;
  }
}

TEST(SimulatorCli, SettingParsersSayWhatIsWrong) {
  const std::pair<std::function<void()>, const char*> cases[] = {
      {[] { ParsePidSetting("0C"); }, "is not PID=VALUE"},
      {[] { ParsePidSetting("=5"); }, "is not PID=VALUE"},
      {[] { ParsePidSetting("100=1"); }, "above 0xFF"},
      {[] { ParsePidSetting("0C=10000"); }, "above 0xFFFF"},
      {[] { ParsePidSetting("0C=zz"); }, "not a hexadecimal number"},
      {[] { ParseMemoryValue("0x40=1"); }, "is not ADDR:SIZE=V"},
      {[] { ParseMemoryValue("0x10000:1=1"); }, "outside 0..65535"},
      {[] { ParseMemoryValue("1:0=1"); }, "a size of 0"},
      {[] { ParseMemoryValue("1:5=1"); }, "outside -4..4"},
      {[] { ParseMemoryValue("1:1=256"); }, "outside 0..255"},
      {[] { ParseMemoryValue("1:-2=65536"); }, "outside 0..65535"},
      {[] { ParseFaultCode("01x3", 2); }, "not a hexadecimal number"},
      {[] { ParseBusyAnswers("31:0"); }, "outside 1..1000"},
      {[] { ParseBusyAnswers("31"); }, "is not SERVICE:N"},
  };
  for (const auto& [parse, says] : cases) {
    const std::string message = refusal(parse);
    EXPECT_NE(message.find(says), std::string::npos) << says << ": " << message;
  }
  EXPECT_EQ(ParseMemoryValue("1:4=0xFFFFFFFF").value, 0xFFFFFFFFu);
  EXPECT_EQ(ParseFaultCode("0x0123", 2), "\x01\x23");
}

TEST(SimulatorCli, ThePortLineReadsBackAsWritten) {
  const std::string line = PublishedPortLine(12, "/home/a b/ports/com12");
  EXPECT_EQ(line, "12 /home/a b/ports/com12");
  const auto parsed = ParsePublishedPortLine(line);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->first, 12);
  EXPECT_EQ(parsed->second, "/home/a b/ports/com12");
  for (const char* bad : {"", "12", "12 ", "x /a", "0 /a", "ecusim: cannot open"}) {
    EXPECT_FALSE(ParsePublishedPortLine(bad)) << bad;
  }
}

}  // namespace
}  // namespace quorvan::host
