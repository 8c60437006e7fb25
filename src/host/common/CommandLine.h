#pragma once
// What the command lines of the programs have in common: the parsers of numbers and
// controller families their options use.
#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

namespace quorvan::host {

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
