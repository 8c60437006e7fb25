#pragma once
// The byte transfers and the device-control-block operations of the serial control.
#include <cstdint>
#include <string>

#include "platform/Alerts.h"
#include "serial/commSerial.h"
#include "trace/TraceLog.h"

namespace quorvan {

// The line settings every port is opened with.
inline constexpr const char* kPortSettings = "9600,N,8,1";

// The server's settings for port portNum: thresholds, buffers, no handshaking, binary
// input, kPortSettings. The port must be closed.
void ApplyPortSettings(commSerial& port, std::int16_t portNum);
// Writes the bytes in one transfer; an empty string writes nothing.
void CommOutStr(commSerial& port, const std::string& outStr);
// Every byte waiting (empty when none). A failure is traced and gives the empty string.
std::string CommInStr(commSerial& port, TraceLog& trace);
// Puts the port on a bit rate the settings string cannot express (10400, 57600...).
bool SetBaudRate(commSerial& port, std::uint32_t rate, Alerts& alerts);
// Clears the abort-on-error flag so that a line error does not stall the port.
bool ClearAbortOnError(commSerial& port);
// Removes the given event bits from the port's event mask.
bool MaskCommEvents(commSerial& port, std::uint32_t mask);
// True when the system describes the port as a modem.
bool IsModemPort(SerialBackend& backend, std::int16_t portNum);

}  // namespace quorvan
