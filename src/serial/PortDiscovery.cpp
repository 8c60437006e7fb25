#include "serial/PortDiscovery.h"

#include <exception>

#include "serial/CommOps.h"
#include "trace/Text.h"

namespace quorvan {
namespace {

// Runs one step of a port's turn; a failure rules the port out and the turn goes on
// with the next step, which may fail the same way.
template <typename Step>
void tryStep(std::vector<bool>::reference usable, Step step) {
  try {
    step();
  } catch (const std::exception&) {
    usable = false;
  }
}

void probeOnePort(const PortDiscovery& ctx, std::int16_t n, std::vector<bool>::reference usable) {
  const std::string portText = "--- port " + std::to_string(n);
  usable = true;
  tryStep(usable, [&] { ApplyPortSettings(ctx.port, n); });
  std::uint32_t t0 = ctx.clock.timeGetTime();
  tryStep(usable, [&] { ctx.port.setPortOpen(true); });
  tryStep(usable, [&] { ctx.port.setInBufferCount(0); });
  tryStep(usable, [&] { ClearAbortOnError(ctx.port); });
  if (usable) {
    const std::uint32_t openTime = ElapsedMs(ctx.clock.timeGetTime(), t0);
    ctx.trace.LogIt(portText + " appears OK, openTime=" + std::to_string(openTime) +
                    "; Checking for Modem...");
    if (openTime > kMaxLaptopWakeMs) {
      ctx.trace.LogIt(portText + " eliminated, due to openTime > 1600 mS (max laptopWake)");
      usable = false;
    } else if (IsModemPort(ctx.backend, n)) {
      ctx.trace.LogIt(portText + " eliminated, due to ConfigType=6");
      usable = false;
    } else {
      ctx.blockBuf.clear();
      t0 = ctx.clock.timeGetTime();
      tryStep(usable, [&] { CommOutStr(ctx.port, "AT\r"); });
      ctx.waits.WaitForOK(kModemProbeWaitMs, ctx.blockBuf);
      const std::string reply = ctx.blockBuf;
      const std::uint32_t elapsed = ElapsedMs(ctx.clock.timeGetTime(), t0);
      if (reply.find("OK") != std::string::npos) {
        usable = false;
        ctx.trace.LogIt(portText + " eliminated; ackTime: " + std::to_string(elapsed) +
                        "; reply=" + PktToHex(reply));
      } else {
        ctx.trace.LogIt(portText + " is fine (not a Modem); maxWait: " + std::to_string(elapsed) +
                        "; reply=" + PktToHex(reply));
      }
    }
  }
  ctx.port.setPortOpen(false);
}

}  // namespace

void FindAvailablePorts(const PortDiscovery& ctx, std::int16_t firstPort,
                        std::vector<bool>& freePorts) {
  ctx.process.setPriorityClass(priority::NORMAL_PRIORITY_CLASS);
  ctx.trace.LogIt("--- checking available serial Ports, @9600 baud (+allPropertyInit) ---");
  for (std::size_t i = 0; i < freePorts.size(); ++i) {
    probeOnePort(ctx, static_cast<std::int16_t>(firstPort + static_cast<int>(i)), freePorts[i]);
  }
  ctx.process.setPriorityClass(priority::REALTIME_PRIORITY_CLASS);
  ctx.process.setThreadPriority(priority::THREAD_PRIORITY_HIGHEST);
}

}  // namespace quorvan
