#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "host/common/CommandLine.h"

namespace quorvan::host {
namespace {

using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::Eq;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Matcher;
using ::testing::StartsWith;

// What a program learns from its command line, and what it printed on the way.
struct Outcome {
  std::optional<int> code;
  std::string out;
  std::string err;
};

// A small program's command line: --level 1..3, and a check after parsing that finds a
// mistake which carries no exit code of its own (as the programs' own checks might).
Outcome parseSmallProgram(std::vector<std::string> args) {
  CLI::App app("A small program", "small");
  app.set_help_all_flag("--help-all");
  int level = 1;
  app.add_option("--level", level, "How much")->check(CLI::Range(1, 3));
  bool odd = false;
  app.add_flag("--odd", odd, "Ask for the mistake without a code");
  std::ostringstream out;
  std::ostringstream err;
  args.insert(args.begin(), "small");
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  const auto code = ParseCommandLine(
      app,
      [&] {
        app.parse(static_cast<int>(argv.size()), argv.data());
        if (odd) throw CLI::ParseError("--odd is a mistake without a code", 0);
      },
      out, err);
  return {code, out.str(), err.str()};
}

TEST(CommandLine, HelpEndsWellAndMistakesEndWithOneLineAndTheirCode) {
  const auto mistake = [](const char* says) -> Matcher<std::string> {
    return AllOf(StartsWith("small: "), HasSubstr(says), EndsWith(" (see --help)\n"));
  };
  const struct {
    std::vector<std::string> args;
    std::optional<int> code;
    Matcher<std::string> out;
    Matcher<std::string> err;
  } cases[] = {
      {{"--level", "2"}, std::nullopt, IsEmpty(), IsEmpty()},
      {{"--help"}, 0, HasSubstr("--level"), IsEmpty()},
      {{"--help-all"}, 0, HasSubstr("--level"), IsEmpty()},
      {{"--bogus"}, static_cast<int>(CLI::ExitCodes::ExtrasError), IsEmpty(), mistake("--bogus")},
      {{"--level", "9"},
       static_cast<int>(CLI::ExitCodes::ValidationError),
       IsEmpty(),
       mistake("--level")},
      {{"--odd"}, 1, IsEmpty(), Eq("small: --odd is a mistake without a code (see --help)\n")},
  };
  for (const auto& c : cases) {
    const std::string args = ::testing::PrintToString(c.args);
    const Outcome outcome = parseSmallProgram(c.args);
    EXPECT_EQ(outcome.code, c.code) << args;
    EXPECT_THAT(outcome.out, c.out) << args;
    EXPECT_THAT(outcome.err, c.err) << args;
  }
}

}  // namespace
}  // namespace quorvan::host
