#pragma once
// The server program: serves the client class on the session bus, or registers itself
// for D-Bus activation.
namespace quorvan::host {

// Serves until the server ends; returns the process's exit code.
int Serve();

// The command line of EcuQuorvanBT: --regserver, --unregserver, --help, or nothing to
// serve.
int ServerMain(int argc, char** argv);

}  // namespace quorvan::host
