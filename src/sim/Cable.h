#pragma once
// The interface cables between the server's serial port and the vehicle, and what
// each one loops back on the port's modem lines.
#include <string_view>

namespace quorvan::sim {

enum class CableKind {
  None,   // nothing in the serial port
  KLine,  // the K-line interface: no loop-backs
  Ficht,  // RTS looped to CTS, DTR looped to DSR and CD
  Smart,  // DTR looped to DSR
  Mbe,    // the MBE module's lead: separate send and receive wires, no loop-backs
};

// The modem-line inputs the server's port reads.
struct ModemInputs {
  bool cts = false;
  bool dsr = false;
  bool cd = false;
  bool operator==(const ModemInputs&) const = default;
};

// What the cable feeds back to the port's inputs from its DTR and RTS outputs.
ModemInputs CableLoopbacks(CableKind cable, bool dtr, bool rts);

std::string_view CableName(CableKind cable);

// Whether the cable puts both directions on one wire: the server then hears its own
// bytes and frames sent from both ends at once collide.
bool CableSharesOneWire(CableKind cable);

}  // namespace quorvan::sim
