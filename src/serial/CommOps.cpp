#include "serial/CommOps.h"

#include <exception>

#include "trace/Text.h"

namespace quorvan {

void ApplyPortSettings(commSerial& port, std::int16_t portNum) {
  port.RThreshold = 1;
  port.SThreshold = 0;
  port.InBufferSize = 4096;
  port.OutBufferSize = 2048;
  port.Handshaking = 0;
  port.InputMode = 1;
  port.NullDiscard = false;
  port.InputLen = 0;
  port.CommPort = portNum;
  port.setSettings(kPortSettings);
}

void CommOutStr(commSerial& port, const std::string& outStr) {
  if (outStr.empty()) return;
  port.setOutput(outStr);
}

std::string CommInStr(commSerial& port, TraceLog& trace) {
  try {
    if (port.InBufferCount() < 1) return {};
    return port.Input();
  } catch (const std::exception& e) {
    const ErrInfo err = ErrFromException(e);
    trace.LogIt("*** Error " + std::to_string(err.number) + " in CommInStr: " + err.description);
    return {};
  }
}

bool SetBaudRate(commSerial& port, std::uint32_t rate, Alerts& alerts) {
  port.setSettings(kPortSettings);  // the control resets its line parameters
  commSerial::DCB dcb;
  if (!port.GetCommState(dcb)) {
    // The state can only be missing on a closed port, whose handle is the invalid -1.
    alerts.messageBox("Couldn't get CommState! hComms = -1", mb::vbCritical, "");
    return false;
  }
  dcb.BaudRate = rate;
  return port.SetCommState(dcb);
}

bool ClearAbortOnError(commSerial& port) {
  commSerial::DCB dcb;
  if (!port.GetCommState(dcb)) return false;
  dcb.fFlags &= 0xFFFF3FFFu;
  return port.SetCommState(dcb);
}

bool MaskCommEvents(commSerial& port, std::uint32_t mask) {
  std::uint32_t current = 0;
  if (!port.GetCommMask(current)) return false;
  return port.SetCommMask(current & ~mask);
}

bool IsModemPort(SerialBackend& backend, std::int16_t portNum) {
  try {
    return backend.isModemPort(portNum);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace quorvan
