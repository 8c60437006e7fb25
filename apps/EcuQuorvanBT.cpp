// The ECU communications server on the session bus.
#include "host/server/ServerMain.h"

int main(int argc, char** argv) {
  return quorvan::host::ServerMain(argc, argv);
}
