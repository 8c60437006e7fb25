// The command-line client of the ECU communications server.
#include "host/cli/QuorvanCli.h"

int main(int argc, char** argv) {
  return quorvan::host::QuorvanMain(argc, argv);
}
