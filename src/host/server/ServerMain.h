#pragma once
// The server program: serves the client class on the session bus, or registers itself
// for D-Bus activation.
#include <chrono>

namespace quorvan::host {

// Serves until the server ends; returns the process's exit code. A loop that does not
// turn for `stallLimit` ends the process (see StallGuard).
int Serve(std::chrono::milliseconds stallLimit);

// The command line of EcuQuorvanBT: --regserver, --unregserver, --help, or nothing (or
// --stall-limit) to serve.
int ServerMain(int argc, char** argv);

}  // namespace quorvan::host
