#pragma once
// `quorvan demo`: the simulator, the server and a live view in one command.
#include "host/cli/QuorvanCli.h"

namespace quorvan::host {

// Runs the demo for o.device and o.seconds (nothing: until interrupted); returns the exit
// code. Throws like the other commands.
int RunDemo(const CliOptions& o);

}  // namespace quorvan::host
