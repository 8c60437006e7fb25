#include "runtime/CableTests.h"

#include "runtime/frmCommThread.h"
#include "trace/Text.h"

namespace quorvan {

namespace {

struct LoopCheck {
  bool drive;                // level driven on the output line
  bool (commSerial::*in)();  // the input that must follow it
  void (commSerial::*out)(bool);
};

bool allHold(commSerial& port, std::initializer_list<LoopCheck> checks) {
  for (const LoopCheck& c : checks) {
    (port.*c.out)(c.drive);
    if ((port.*c.in)() != c.drive) return false;
  }
  return true;
}

}  // namespace

bool FichtCableTest(frmCommThread& f) {
  const std::uint32_t t0 = f.now();
  commSerial& port = f.commSerial;
  const bool rts = port.RTSEnable();
  const bool dtr = port.DTREnable();
  bool isFicht = false;
  if (port.PortOpen()) {
    isFicht = allHold(port, {{true, &commSerial::CTSHolding, &commSerial::setRTSEnable},
                             {false, &commSerial::CTSHolding, &commSerial::setRTSEnable},
                             {true, &commSerial::DSRHolding, &commSerial::setDTREnable},
                             {true, &commSerial::CDHolding, &commSerial::setDTREnable},
                             {false, &commSerial::DSRHolding, &commSerial::setDTREnable},
                             {false, &commSerial::CDHolding, &commSerial::setDTREnable}});
  }
  port.setRTSEnable(rts);
  port.setDTREnable(dtr);
  f.SetFamilyBitRate();
  f.LogIt("Ficht CableTest time was " + std::to_string(ElapsedMs(f.now(), t0)) +
          " mS, isFicht= " + BoolText(isFicht));
  return isFicht;
}

bool SmartCableTest(frmCommThread& f) {
  const std::uint32_t t0 = f.now();
  commSerial& port = f.commSerial;
  const bool dtr = port.DTREnable();
  bool isSmart = false;
  if (port.PortOpen()) {
    isSmart = allHold(port, {{true, &commSerial::DSRHolding, &commSerial::setDTREnable},
                             {false, &commSerial::DSRHolding, &commSerial::setDTREnable}});
  }
  port.setDTREnable(dtr);
  const auto events = static_cast<std::uint32_t>(f.modemLineEvents);
  f.trace.deltaN = events - f.trace.deltaN;
  f.LogIt("Smart CableTest time was " + std::to_string(ElapsedMs(f.now(), t0)) +
          " mS, isKVR= " + BoolText(isSmart) + " deltaN=" + std::to_string(f.trace.deltaN));
  return isSmart;
}

}  // namespace quorvan
