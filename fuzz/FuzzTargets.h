#pragma once
// The fuzz targets: each is a plain function of the input's bytes, so that libFuzzer's
// entry point and the test suite's replay of the corpora call the very same code. A
// target returns normally for any input; a fault it finds aborts (a sanitizer report, an
// uncaught exception or a broken rule of the parser checked by FuzzCheck).
#include <cstdint>
#include <span>
#include <string_view>

namespace quorvan::fuzz {

struct FuzzTarget {
  const char* name;
  void (*run)(std::string_view input);
};

// Every target built into this program, by name.
std::span<const FuzzTarget> FuzzTargets();
// The target of that name, or nullptr.
const FuzzTarget* FindFuzzTarget(std::string_view name);

// A rule a parser must keep for any input; a broken one is a finding.
void FuzzCheck(bool holds, const char* rule);

// The targets.
void FuzzVisteonReply(std::string_view input);
void FuzzMse10Block(std::string_view input);
void FuzzKwp2000Reply(std::string_view input);
void FuzzFichtReply(std::string_view input);
void FuzzMbeReply(std::string_view input);
void FuzzHostText(std::string_view input);
void FuzzHostVariant(std::string_view input);
void FuzzCommandLine(std::string_view input);
void FuzzOptionValues(std::string_view input);
void FuzzSessionVisteon(std::string_view input);
void FuzzSessionMse10(std::string_view input);
void FuzzSessionMse11(std::string_view input);
void FuzzSessionFicht(std::string_view input);
void FuzzSessionMbe(std::string_view input);

}  // namespace quorvan::fuzz
