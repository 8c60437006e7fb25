#pragma once
// The scan for usable serial ports: a port is usable when it opens within the longest
// wake-up time of a laptop's port, the system does not call it a modem, and it does not
// answer a modem's "AT".
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "serial/Waits.h"
#include "serial/commSerial.h"
#include "trace/TraceLog.h"

namespace quorvan {

struct PortDiscovery {
  commSerial& port;
  std::string& blockBuf;  // filled by the receive handler while the probe waits
  Waits& waits;
  TraceLog& trace;
  ProcessControl& process;
  Clock& clock;
  SerialBackend& backend;
};

inline constexpr std::uint32_t kMaxLaptopWakeMs = 1600;
inline constexpr std::int32_t kModemProbeWaitMs = 500;

// freePorts[i] answers for port firstPort + i; on return an entry is true only for a
// usable port. The port is closed afterwards.
void FindAvailablePorts(const PortDiscovery& ctx, std::int16_t firstPort,
                        std::vector<bool>& freePorts);

}  // namespace quorvan
