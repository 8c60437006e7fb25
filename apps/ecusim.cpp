// The ECU simulator: a controller behind a pseudo-terminal, published as a serial port.
#include "host/ecusim/SimulatorMain.h"

int main(int argc, char** argv) {
  return quorvan::host::SimulatorMain(argc, argv);
}
