#pragma once
// The private state of a family on a comm form, for the few checks that cannot be made
// from the wire or the client's events (error counters, the pump's pass).
#include "client/Enums.h"
#include "mse10/Mse10Family.h"
#include "runtime/frmCommThread.h"
#include "visteon/VisteonFamily.h"

namespace quorvan::testing {

inline const Mse10Link& Mse10State(const frmCommThread& f) {
  return static_cast<const Mse10Family&>(f.families.forDevice(ecuMSE10)).link;
}

inline Mse10Link& Mse10State(frmCommThread& f) {
  return static_cast<Mse10Family&>(f.families.forDevice(ecuMSE10)).link;
}

inline VisteonLink& VisteonState(frmCommThread& f) {
  return static_cast<VisteonFamily&>(f.families.forDevice(ecuVisteon)).link;
}

}  // namespace quorvan::testing
