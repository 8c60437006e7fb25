#include "sim/Cable.h"

namespace quorvan::sim {

ModemInputs CableLoopbacks(CableKind cable, bool dtr, bool rts) {
  switch (cable) {
    case CableKind::Ficht:
      return {.cts = rts, .dsr = dtr, .cd = dtr};
    case CableKind::Smart:
      return {.cts = false, .dsr = dtr, .cd = false};
    case CableKind::None:
    case CableKind::KLine:
    case CableKind::Mbe:
      break;
  }
  return {};
}

std::string_view CableName(CableKind cable) {
  switch (cable) {
    case CableKind::None:
      return "no cable";
    case CableKind::KLine:
      return "K-line cable";
    case CableKind::Ficht:
      return "Ficht cable";
    case CableKind::Smart:
      return "smart cable";
    case CableKind::Mbe:
      return "MBE lead";
  }
  return "?";
}

bool CableSharesOneWire(CableKind cable) {
  return cable != CableKind::Mbe;
}

}  // namespace quorvan::sim
