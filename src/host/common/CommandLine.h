#pragma once
// What the command lines of the three programs have in common: how parsing ends early
// (help, mistakes), and the parsers of numbers and controller families their options use.
#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <iostream>
#include <limits>
#include <optional>
#include <string>

namespace quorvan::host {

// Runs `parse`, a parse of `app`'s command line that throws as CLI::App::parse does.
// Nothing when the program is to go on; else the code it is to exit with: 0 after --help
// or --help-all, whose help goes to `out`; after a mistake, the mistake's exit code (1
// when that is 0) and "NAME: MESSAGE (see --help)" on `err`, NAME being the app's name.
std::optional<int> ParseCommandLine(CLI::App& app, const std::function<void()>& parse,
                                    std::ostream& out = std::cout, std::ostream& err = std::cerr);

// Parsers behind the options; they throw std::invalid_argument with a message for the
// user.
// A whole number: decimal, or hexadecimal after 0x; within [min, max].
std::int64_t ParseInteger(const std::string& text, std::int64_t min, std::int64_t max);
// A whole number that fits T.
template <typename T>
std::int64_t ParseIntegerOf(const std::string& text) {
  return ParseInteger(text, std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
}
// mse10, mse11, visteon, ficht, mbe (any case), or a number.
std::int32_t ParseDevice(const std::string& text);

// A validator that accepts what `parse` accepts and otherwise reports the
// std::invalid_argument it throws.
CLI::Validator AcceptedBy(std::function<void(const std::string&)> parse);

// Names on the command line are taken in any case: this is the one they are compared in.
std::string LowerCase(std::string text);

// "mse10" for 1, ..., the number for others.
std::string DeviceName(std::int32_t device);

}  // namespace quorvan::host
