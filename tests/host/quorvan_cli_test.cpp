#include <gtest/gtest.h>

#include <fstream>
#include <initializer_list>
#include <vector>

#include "catalog/Catalog.h"
#include "client/Enums.h"
#include "host/cli/QuorvanCli.h"
#include "host/common/CommandLine.h"
#include "support/ServerFixture.h"

namespace quorvan::host {
namespace {

// Parses a command line (without the program name); the options when it is accepted.
CliOptions parse(QuorvanCli& cli, std::initializer_list<const char*> args) {
  std::vector<const char*> argv{"quorvan"};
  argv.insert(argv.end(), args);
  cli.parse(static_cast<int>(argv.size()), argv.data());
  return cli.options();
}

// The message of the parse error the command line gets.
std::string parseError(std::initializer_list<const char*> args) {
  QuorvanCli cli;
  try {
    parse(cli, args);
  } catch (const CLI::ParseError& e) {
    EXPECT_NE(e.get_exit_code(), 0);
    return e.what();
  }
  return "accepted";
}

TEST(QuorvanCli, DevicesByNameInAnyCaseOrByNumber) {
  const std::pair<const char*, std::int32_t> cases[] = {
      {"mse10", ecuMSE10}, {"MSE11", ecuMSE11}, {"visteon", ecuVisteon}, {"Ficht", ecuFicht},
      {"mbe", ecuMBE},     {"16", ecuWeber7A},  {"0x80", ecuWeberM7},
  };
  for (const auto& [name, value] : cases) {
    QuorvanCli cli;
    const CliOptions o = parse(cli, {"connect", "--device", name, "--port", "3"});
    EXPECT_EQ(o.command, CliCommand::Connect);
    EXPECT_EQ(o.device, value) << name;
    EXPECT_EQ(o.port, 3);
  }
}

TEST(QuorvanCli, UnknownDeviceNameIsRefusedWithTheNamesThatExist) {
  const std::string message = parseError({"connect", "--device", "mse12", "--port", "1"});
  EXPECT_NE(message.find("unknown device 'mse12'"), std::string::npos) << message;
  EXPECT_NE(message.find("visteon"), std::string::npos) << message;
}

TEST(QuorvanCli, WatchItemsAreParsedWithDefaultsAndHexAddresses) {
  QuorvanCli cli;
  const CliOptions o =
      parse(cli, {"--debug", "watch", "--device", "visteon", "--port", "1", "--item",
                  "1:0x10C:2:data", "--item", "200:0xFFFFFFFF:0:FLAGS:5", "--seconds", "2.5"});
  EXPECT_TRUE(o.debug);
  EXPECT_EQ(o.command, CliCommand::Watch);
  ASSERT_EQ(o.items.size(), 2u);
  EXPECT_EQ(o.items[0], (WatchRequest{1, 0x10C, 2, ecuData, 1}));
  EXPECT_EQ(o.items[1], (WatchRequest{200, -1, 0, ecuFlags, 5}));
  EXPECT_EQ(o.seconds, 2.5);
}

TEST(QuorvanCli, BadItemsAreRefusedWithTheReason) {
  const std::pair<const char*, const char*> cases[] = {
      {"1:2:3", "is not N:ADDR:SIZE:KIND"},  {"1:2:3:4:5:6", "is not N:ADDR:SIZE:KIND"},
      {"0:2:3:data", "outside 1..200"},      {"201:2:3:data", "outside 1..200"},
      {"x:2:3:data", "'x' is not a number"}, {"1:0x1FFFFFFFF:3:data", "outside"},
      {"1:2:-1:data", "outside 0..32767"},   {"1:2:3:temperature", "unknown kind 'temperature'"},
      {"1:2:3:5", "unknown kind '5'"},       {"1:2:3:data:", "'' is not a number"},
  };
  for (const auto& [item, reason] : cases) {
    const std::string message =
        parseError({"watch", "--device", "mse10", "--port", "1", "--item", item});
    EXPECT_NE(message.find(reason), std::string::npos) << item << ": " << message;
  }
}

// Names of the family's catalog, in any case, take the numbers the raw items leave free.
TEST(QuorvanCli, WatchItemsByNameAndRawSideBySide) {
  QuorvanCli cli;
  const CliOptions o = parse(cli, {"watch", "--device", "visteon", "--port", "1", "--item", "RPM",
                                   "--item", "1:0x105:1:data", "--item", "faults:5"});
  ASSERT_EQ(o.items.size(), 3u);
  EXPECT_EQ(o.items[0],
            (WatchRequest{2, 0x10C, 2, ecuData, 1, catalog::FindItem(ecuVisteon, "rpm")}));
  EXPECT_EQ(o.items[1], (WatchRequest{1, 0x105, 1, ecuData, 1}));
  EXPECT_EQ(o.items[2].item, 3);
  EXPECT_EQ(o.items[2].addr, 0x300);
  EXPECT_EQ(o.items[2].kind, ecuFaults);
  EXPECT_EQ(o.items[2].priority, 5);

  // The same name means another address on another family.
  QuorvanCli mbe;
  EXPECT_EQ(parse(mbe, {"watch", "--device", "mbe", "--port", "1", "--item", "rpm"}).items[0].addr,
            0x40);
}

TEST(QuorvanCli, AllWatchesEveryReadingOfTheCatalog) {
  QuorvanCli cli;
  const CliOptions o =
      parse(cli, {"watch", "--device", "visteon", "--port", "1", "--item", "rpm:3", "--all"});
  std::size_t readings = 0;
  for (const auto& item : catalog::ItemsOf(ecuVisteon)) readings += item.kind != ecuFaults;
  ASSERT_EQ(o.items.size(), readings);
  EXPECT_EQ(o.items[0].priority, 3);  // named first, not again
  for (std::size_t i = 0; i < o.items.size(); ++i) {
    EXPECT_EQ(o.items[i].item, static_cast<std::int16_t>(i + 1));
    EXPECT_NE(o.items[i].kind, ecuFaults);
  }
}

TEST(QuorvanCli, BadNamedItemsAreRefusedWithWhatToDo) {
  const std::pair<std::vector<const char*>, const char*> cases[] = {
      {{"--device", "visteon", "--item", "boost"},
       "visteon has no item 'boost' (quorvan items --device visteon lists them)"},
      {{"--device", "visteon", "--item", "rpm", "--item", "Rpm:2"}, "item 'rpm' is given twice"},
      {{"--device", "visteon", "--item", "rpm:x"}, "item 'rpm:x': 'x' is not a number"},
      {{"--device", "visteon"}, "nothing to watch: give --item NAME"},
      {{"--device", "mse11", "--all"}, "mse11 has no named items"},
  };
  for (const auto& [args, reason] : cases) {
    std::vector<const char*> argv{"watch", "--port", "1"};
    argv.insert(argv.end(), args.begin(), args.end());
    QuorvanCli cli;
    std::vector<const char*> full{"quorvan"};
    full.insert(full.end(), argv.begin(), argv.end());
    std::string message = "accepted";
    try {
      cli.parse(static_cast<int>(full.size()), full.data());
    } catch (const CLI::ParseError& e) {
      message = e.what();
    }
    EXPECT_NE(message.find(reason), std::string::npos) << reason << ": " << message;
  }
}

TEST(QuorvanCli, JsonAndCsvAreTakenWhereTheyBelong) {
  for (const char* command : {"connect", "ident", "faults"}) {
    QuorvanCli cli;
    EXPECT_TRUE(parse(cli, {command, "--device", "mbe", "--port", "1", "--json"}).json) << command;
  }
  QuorvanCli ports;
  EXPECT_TRUE(parse(ports, {"ports", "--json"}).json);
  QuorvanCli items;
  const CliOptions i = parse(items, {"items", "--device", "ficht"});
  EXPECT_EQ(i.command, CliCommand::Items);
  EXPECT_EQ(i.device, ecuFicht);
  QuorvanCli watch;
  EXPECT_EQ(
      parse(watch, {"watch", "--device", "mbe", "--port", "1", "--all", "--csv", "/tmp/x.csv"})
          .csvFile,
      std::filesystem::path("/tmp/x.csv"));
  EXPECT_NE(parseError({"watch", "--device", "mbe", "--port", "1", "--all", "--json"}), "accepted");
  EXPECT_NE(parseError({"items"}), "accepted");  // which family?
}

TEST(QuorvanCli, FlashNeedsAnExistingFile) {
  const std::string message =
      parseError({"flash", "--device", "visteon", "--port", "1", "/no/such/image.bin"});
  EXPECT_NE(message.find("/no/such/image.bin"), std::string::npos) << message;

  const auto dir = testing::FreshTempDir();
  const auto image = dir / "image.bin";
  std::ofstream(image) << "data";
  QuorvanCli cli;
  const CliOptions o = parse(cli, {"flash", "--device", "visteon", "--port", "1", image.c_str()});
  EXPECT_EQ(o.command, CliCommand::Flash);
  EXPECT_EQ(o.flashFile, image);
  std::filesystem::remove_all(dir);
}

TEST(QuorvanCli, MissingOrOutOfRangeArgumentsAreRefused) {
  const std::initializer_list<const char*> refused[] = {
      {},                                                        // no command
      {"connect", "--port", "1"},                                // no device
      {"connect", "--device", "mse10"},                          // no port
      {"connect", "--device", "mse10", "--port", "0"},           // ports count from 1
      {"watch", "--device", "mse11", "--port", "1"},             // no item
      {"command", "--device", "mse10", "--port", "1", "40000"},  // not 16-bit
      {"ports", "--first", "5", "--last", "2"},                  // backwards range
      {"watch", "--device", "mse10", "--port", "1", "--item", "3:1:1:data", "--item",
       "3:2:1:data"},  // one item twice
      {"connect", "--device", "mse10", "--port", "1", "--timeout", "0"},
  };
  for (const auto& args : refused) {
    EXPECT_NE(parseError(args), "accepted");
  }
}

TEST(QuorvanCli, CommandsTakeTheirNumbers) {
  QuorvanCli cli;
  EXPECT_EQ(parse(cli, {"command", "--device", "mse10", "--port", "1", "-1234"}).commandOp, -1234);
  QuorvanCli cli2;
  EXPECT_EQ(parse(cli2, {"info", "--device", "mse10", "--port", "1", "0x5"}).infoIndex, 5);
  QuorvanCli cli3;
  const CliOptions o = parse(cli3, {"ports"});
  EXPECT_EQ(o.command, CliCommand::Ports);
  EXPECT_EQ(o.firstPort, 1);
  EXPECT_EQ(o.lastPort, 16);
}

TEST(QuorvanCli, TheDemoSimulatesVisteonUnlessToldMse10) {
  QuorvanCli plain;
  const CliOptions o = parse(plain, {"demo"});
  EXPECT_EQ(o.command, CliCommand::Demo);
  EXPECT_EQ(o.device, ecuVisteon);
  EXPECT_FALSE(o.seconds);
  QuorvanCli mse10;
  const CliOptions m = parse(mse10, {"demo", "--device", "mse10", "--seconds", "20"});
  EXPECT_EQ(m.device, ecuMSE10);
  EXPECT_EQ(m.seconds, 20.0);
  QuorvanCli mbe;
  EXPECT_EQ(parse(mbe, {"demo", "--device", "mbe"}).device, ecuMBE);
  QuorvanCli ficht;
  EXPECT_EQ(parse(ficht, {"demo", "--device", "ficht"}).device, ecuFicht);
  EXPECT_NE(parseError({"demo", "--device", "mse11"})
                .find("the demo simulates visteon, mse10, mbe or ficht"),
            std::string::npos);
  EXPECT_NE(parseError({"demo", "--port", "1"}), "accepted");  // the simulator picks the port
  EXPECT_NE(parseError({"demo", "--seconds", "0"}), "accepted");
}

TEST(QuorvanCli, IntegersAreDecimalOrHexWithinTheirRange) {
  EXPECT_EQ(ParseInteger("42", 0, 100), 42);
  EXPECT_EQ(ParseInteger("-0x10", -100, 100), -16);
  EXPECT_EQ(ParseInteger("0X7fff", 0, 32767), 32767);
  EXPECT_EQ(ParseInteger("010", 0, 100), 10);  // no octal surprise
  for (const char* bad : {"", "-", "0x", "12a", " 1", "1.5", "99999999999999999999"}) {
    EXPECT_THROW(ParseInteger(bad, -1000, 1000), std::invalid_argument) << bad;
  }
  EXPECT_THROW(ParseInteger("101", 0, 100), std::invalid_argument);
}

}  // namespace
}  // namespace quorvan::host
