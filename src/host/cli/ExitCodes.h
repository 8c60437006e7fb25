#pragma once
// The exit codes of `quorvan`, as its --help documents them.
namespace quorvan::host::exitcode {

inline constexpr int kSuccess = 0;
inline constexpr int kFailed = 1;        // anything else: a wait ran out, an answer was wrong
inline constexpr int kBadArguments = 2;  // the command line, or a file it names
inline constexpr int kNoServer = 3;      // no session bus, or the server cannot be reached
inline constexpr int kNoLink = 4;        // the port cannot be opened or the link stays down
inline constexpr int kRefused = 5;       // the controller refused or failed the request
inline constexpr int kInterrupted = 130;

}  // namespace quorvan::host::exitcode
