#pragma once
// The ECU simulator program: a simulated controller in real time behind a pseudo-terminal
// published as a serial port.
namespace quorvan::host {

// The command line of ecusim (see SimulatorCli.h); returns the exit code.
int SimulatorMain(int argc, char** argv);

}  // namespace quorvan::host
